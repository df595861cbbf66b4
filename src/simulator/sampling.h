// Whole-register outcome sampling from a final state into counts.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/state_vector.h"
#include "simulator/rng.h"

namespace vorn::sim {

// Outcome key (n_qubits characters of '0'/'1', qubit 0 rightmost) to its number of shots.
// Iteration order is unspecified and nothing may depend on it.
using Counts = std::unordered_map<std::string, std::uint64_t>;

// Draws exactly `shots` values from rng; nothing is built or drawn for 0 shots.
template <typename T>
Counts sample_counts(const core::StateVector<T>& state, std::uint64_t shots, SampleRng& rng);

extern template Counts sample_counts<float>(const core::StateVector<float>&, std::uint64_t,
                                            SampleRng&);
extern template Counts sample_counts<double>(const core::StateVector<double>&, std::uint64_t,
                                             SampleRng&);

}  // namespace vorn::sim
