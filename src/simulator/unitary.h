// Arbitrary single-qubit unitaries: the unitarity check, the Z-Y-Z decomposition and the append
// of its three rotations with the leftover phase.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/complex.h"
#include "core/gates.h"
#include "simulator/circuit.h"

namespace vorn::sim {

inline constexpr double UNITARY_TOL = 1e-10;
inline constexpr double ZYZ_EPS = 1e-12;

struct UnitarityViolation {
  std::uint64_t i;
  std::uint64_t j;
  core::Complex<double> value;
  core::Complex<double> expected;
  double error;
  double tol;
};

struct ZyzAngles {
  double alpha;
  double beta;
  double gamma;
  double delta;
};

std::optional<UnitarityViolation> check_unitary(const core::Matrix2<double>& m, double tol);
ZyzAngles decompose_zyz(const core::Matrix2<double>& m);
// Precondition: qubit < circuit.n_qubits().
void append_unitary(Circuit& circuit, const core::Matrix2<double>& m, std::uint64_t qubit);

}  // namespace vorn::sim
