// Gate matrices. Every entry is computed in double precision; the float instantiation rounds
// each finished entry once.
#include "core/gates.h"

#include <cmath>

#include "core/abort.h"
#include "core/constants.h"
#include "core/messages.h"

namespace vorn::core {

std::string_view gate_name(GateKind kind) {
  static constexpr std::string_view kNames[GATE_KIND_COUNT] = {
      "h",  "x",  "y",  "z",  "s",  "sdg", "t",    "tdg", "rx",
      "ry", "rz", "u3", "id", "cx", "cz",  "swap", "ccx", "cswap",
  };
  return kNames[static_cast<std::uint8_t>(kind)];
}

namespace {

// FRAC_1_SQRT_2 (1/√2) rounds to the float 0x3F3504F3.

using C = Complex<double>;

// -i is stored with a negative-zero real part wherever it occurs (Y's m01, Sdg's m11).
constexpr C kMinusI = {-0.0, -1.0};

Matrix2<double> matrix_f64(const Gate& gate) {
  const C zero = {0.0, 0.0};
  const C one = {1.0, 0.0};
  switch (gate.kind) {
    case GateKind::H:
      return {C{FRAC_1_SQRT_2, 0.0}, C{FRAC_1_SQRT_2, 0.0}, C{FRAC_1_SQRT_2, 0.0},
              C{-FRAC_1_SQRT_2, 0.0}};
    case GateKind::X:
      return {zero, one, one, zero};
    case GateKind::Y:
      return {zero, kMinusI, C{0.0, 1.0}, zero};
    case GateKind::Z:
      return {one, zero, zero, C{-1.0, 0.0}};
    case GateKind::S:
      return {one, zero, zero, C{0.0, 1.0}};
    case GateKind::Sdg:
      return {one, zero, zero, kMinusI};
    case GateKind::T:
      return {one, zero, zero, C{FRAC_1_SQRT_2, FRAC_1_SQRT_2}};
    case GateKind::Tdg:
      return {one, zero, zero, C{FRAC_1_SQRT_2, -FRAC_1_SQRT_2}};
    case GateKind::Rx: {
      const double half = gate.theta * 0.5;
      const double c = std::cos(half);
      const double n = std::sin(half);
      return {C{c, 0.0}, C{0.0, -n}, C{0.0, -n}, C{c, 0.0}};
    }
    case GateKind::Ry: {
      const double half = gate.theta * 0.5;
      const double c = std::cos(half);
      const double n = std::sin(half);
      return {C{c, 0.0}, C{-n, 0.0}, C{n, 0.0}, C{c, 0.0}};
    }
    case GateKind::Rz: {
      const double neg_half = gate.theta * -0.5;
      const double half = gate.theta * 0.5;
      return {C{std::cos(neg_half), std::sin(neg_half)}, zero, zero,
              C{std::cos(half), std::sin(half)}};
    }
    case GateKind::U3: {
      const double half = gate.theta * 0.5;
      const double c = std::cos(half);
      const double n = std::sin(half);
      const double sum = gate.phi + gate.lambda;
      return {C{c, 0.0}, C{-n * std::cos(gate.lambda), -n * std::sin(gate.lambda)},
              C{n * std::cos(gate.phi), n * std::sin(gate.phi)},
              C{c * std::cos(sum), c * std::sin(sum)}};
    }
    case GateKind::Id:
      return {one, zero, zero, one};
    case GateKind::CX:
    case GateKind::CZ:
    case GateKind::SWAP:
    case GateKind::CCX:
    case GateKind::CSWAP:
      break;
  }
  abort_with(messages::MATRIX_2X2_SINGLE_QUBIT_ONLY);
}

}  // namespace

template <>
Matrix2<double> matrix_2x2<double>(const Gate& gate) {
  return matrix_f64(gate);
}

template <>
Matrix2<float> matrix_2x2<float>(const Gate& gate) {
  const Matrix2<double> m = matrix_f64(gate);
  Matrix2<float> out;
  for (std::size_t k = 0; k < m.size(); ++k) {
    out[k] = {static_cast<float>(m[k].re), static_cast<float>(m[k].im)};
  }
  return out;
}

}  // namespace vorn::core
