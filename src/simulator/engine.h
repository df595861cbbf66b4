// The engine: runs a circuit on a fresh state vector, applies the global phase and samples.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

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

}  // namespace vorn::sim
