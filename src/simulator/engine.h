// The engine: runs a circuit on a fresh state vector, applies the global phase and samples.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "core/complex.h"
#include "core/precision.h"
#include "core/state_vector.h"
#include "simulator/circuit.h"
#include "simulator/sampling.h"

namespace vorn::sim {

template <typename T>
struct RunResult {
  Counts counts;
  core::StateVector<T> statevector;
};

// One alternative per precision, F32 first.
using SimulationResult = std::variant<RunResult<float>, RunResult<double>>;

// Creates the state, then the generator (from seed, or from the operating system's entropy),
// applies every gate in order, the global phase, and samples when the circuit measures and
// shots > 0. Failures throw core::Abort (0 qubits, capacity overflow, entropy failure) or
// core::AllocationFailure.
SimulationResult run(const Circuit& circuit, std::uint64_t shots, std::optional<std::uint64_t> seed,
                     core::Precision precision);

// The steps of run, for callers that hold the amplitudes themselves (a slice of a distributed
// state, a benchmark). v.size() must be 2^m with every gate operand below m.

// Applies every gate of ops in order, in passes over the state (simulator/passes.h): the same
// bits as each gate through its kernel in turn. Measurements are skipped. Returns whether ops
// holds a measurement.
template <typename T>
bool apply_operations(std::span<core::Complex<T>> v, std::span<const Operation> ops);

// Multiplies every amplitude by e^{i phase}. The factor is computed in double and rounded once
// for float; the products are then formed in T. The caller skips a phase of +0.0 or -0.0.
template <typename T>
void apply_global_phase(std::span<core::Complex<T>> v, double phase);

extern template bool apply_operations<float>(std::span<core::Complex<float>>,
                                             std::span<const Operation>);
extern template bool apply_operations<double>(std::span<core::Complex<double>>,
                                              std::span<const Operation>);
extern template void apply_global_phase<float>(std::span<core::Complex<float>>, double);
extern template void apply_global_phase<double>(std::span<core::Complex<double>>, double);

}  // namespace vorn::sim
