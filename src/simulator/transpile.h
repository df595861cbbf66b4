// The peephole pass: drops trivial single-qubit operations, cancels adjacent inverse pairs and
// fuses adjacent same-axis rotations, repeating until nothing changes or max_iters passes ran.
#pragma once

#include <cstdint>

#include "simulator/circuit.h"

namespace vorn::sim {

inline constexpr double ANGLE_EPS = 1e-12;

bool is_trivial_angle(double theta);
// Returns the number of passes run. Changes only the circuit's operation list.
std::uint64_t transpile_pass(Circuit& circuit, std::uint64_t max_iters);

}  // namespace vorn::sim
