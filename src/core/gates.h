// The closed gate set: eighteen kinds with fixed tags, their angles, and their exact matrices.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "core/complex.h"

namespace vorn::core {

enum class GateKind : std::uint8_t {
  H = 0,
  X = 1,
  Y = 2,
  Z = 3,
  S = 4,
  Sdg = 5,
  T = 6,
  Tdg = 7,
  Rx = 8,
  Ry = 9,
  Rz = 10,
  U3 = 11,
  Id = 12,
  CX = 13,
  CZ = 14,
  SWAP = 15,
  CCX = 16,
  CSWAP = 17,
};

inline constexpr std::uint8_t GATE_KIND_COUNT = 18;

// Number of qubit operands of a kind: 1 for tags 0 to 12, 2 for 13 to 15, 3 for 16 and 17.
constexpr unsigned arity(GateKind kind) {
  const auto tag = static_cast<std::uint8_t>(kind);
  return tag <= 12 ? 1 : (tag <= 15 ? 2 : 3);
}

// The kind's name in lower case, as OpenQASM and the Python methods spell it ("h", "cx", "u3").
std::string_view gate_name(GateKind kind);

// A kind with the angles it carries, in radians, always double precision. Rx, Ry and Rz use
// theta; U3 uses theta, phi and lambda; the slots a kind does not use carry no meaning.
struct Gate {
  GateKind kind;
  double theta = 0.0;
  double phi = 0.0;
  double lambda = 0.0;
};

template <typename T>
using Matrix2 = std::array<Complex<T>, 4>;  // row-major m00, m01, m10, m11

template <typename T>
using Matrix4 = std::array<Complex<T>, 16>;  // row-major; local index bit(q0) + 2*bit(q1)

// The 2x2 matrix of a single-qubit gate (tags 0 to 12), computed in double precision and
// rounded once per entry for float. Throws Abort for a multi-qubit kind.
template <typename T>
Matrix2<T> matrix_2x2(const Gate& gate);

template <>
Matrix2<float> matrix_2x2<float>(const Gate& gate);
template <>
Matrix2<double> matrix_2x2<double>(const Gate& gate);

// clang-format off
template <typename T>
inline constexpr Matrix4<T> CZ_MATRIX = {{
    {1, 0}, {0, 0}, {0, 0}, {0, 0},   //
    {0, 0}, {1, 0}, {0, 0}, {0, 0},   //
    {0, 0}, {0, 0}, {1, 0}, {0, 0},   //
    {0, 0}, {0, 0}, {0, 0}, {-1, 0},  //
}};

template <typename T>
inline constexpr Matrix4<T> SWAP_MATRIX = {{
    {1, 0}, {0, 0}, {0, 0}, {0, 0},  //
    {0, 0}, {0, 0}, {1, 0}, {0, 0},  //
    {0, 0}, {1, 0}, {0, 0}, {0, 0},  //
    {0, 0}, {0, 0}, {0, 0}, {1, 0},  //
}};
// clang-format on

}  // namespace vorn::core
