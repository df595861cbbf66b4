// Whole-register outcome sampling from a final state into counts.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/state_vector.h"
#include "simulator/rng.h"

namespace vorn::sim {

// Outcome key (n_qubits characters of '0'/'1', qubit 0 rightmost) to its number of shots.
// Iteration order is unspecified and nothing may depend on it.
using Counts = std::unordered_map<std::string, std::uint64_t>;

// Keys are limited to this many characters.
inline constexpr std::uint64_t MAX_KEY_WIDTH = 65535;

// Draws exactly `shots` values from rng; nothing is built or drawn for 0 shots.
template <typename T>
Counts sample_counts(const core::StateVector<T>& state, std::uint64_t shots, SampleRng& rng);

extern template Counts sample_counts<float>(const core::StateVector<float>&, std::uint64_t,
                                            SampleRng&);
extern template Counts sample_counts<double>(const core::StateVector<double>&, std::uint64_t,
                                             SampleRng&);

// The pieces of sample_counts, exposed so that each step can be checked on its own.

// c[i] = p[0] + ... + p[i], with p[i] = re^2 + im^2 in T, widened and summed in double strictly
// left to right; the last entry is then set to exactly 1.0.
template <typename T>
std::vector<double> cumulative_probabilities(const core::StateVector<T>& state);

extern template std::vector<double> cumulative_probabilities<float>(
    const core::StateVector<float>&);
extern template std::vector<double> cumulative_probabilities<double>(
    const core::StateVector<double>&);

// The uniform value in [0, 1) made from the top 53 bits of a draw.
inline double uniform_from_draw(std::uint64_t draw) {
  return static_cast<double>(draw >> 11) * 0x1.0p-53;
}

// The halving steps of the fixed-shape search over a table whose length is a power of two: the
// window's base after the last step. Each step moves the base up by half the window whenever u
// is not below the entry there, so a table split into equal consecutive parts can be searched in
// two stages (first over the parts' first entries, then inside the part found) with the same
// comparisons.
std::uint64_t search_window_base(std::span<const double> cumulative, double u);

// The fixed-shape binary search: for a non-decreasing table, the number of entries <= u,
// clamped to the last index. Comparisons with NaN are false. Precondition: the length of
// `cumulative` is a power of two.
std::uint64_t search_cumulative(std::span<const double> cumulative, double u);

// `index` in binary, most significant digit first, left-padded with '0' to `width`
// characters. Throws core::Abort "Formatting argument out of range" when width > 65535.
std::string outcome_key(std::uint64_t index, std::uint64_t width);

}  // namespace vorn::sim
