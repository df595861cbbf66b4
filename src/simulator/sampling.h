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
//
// The draws are taken on the calling thread, in order. The work on large tables and many shots
// (probabilities, order checks, the searches by bucket, the keys' hashes) is split over the
// worker pool, and no result depends on the pool's size.
template <typename T>
Counts sample_counts(const core::StateVector<T>& state, std::uint64_t shots, SampleRng& rng);

extern template Counts sample_counts<float>(const core::StateVector<float>&, std::uint64_t,
                                            SampleRng&);
extern template Counts sample_counts<double>(const core::StateVector<double>&, std::uint64_t,
                                             SampleRng&);

// The outcome index of every shot, in shot order: shot s gets
// search_cumulative(cumulative, uniform_from_draw(draw s)), with exactly `shots` draws taken
// from rng. The state's overload builds cumulative_probabilities(state) first; nothing is built
// or drawn for 0 shots.
template <typename T>
std::vector<std::uint64_t> sample_indices(const core::StateVector<T>& state, std::uint64_t shots,
                                          SampleRng& rng);
// Precondition: `cumulative` is not empty.
std::vector<std::uint64_t> sample_indices(std::span<const double> cumulative, std::uint64_t shots,
                                          SampleRng& rng);

extern template std::vector<std::uint64_t> sample_indices<float>(const core::StateVector<float>&,
                                                                 std::uint64_t, SampleRng&);
extern template std::vector<std::uint64_t> sample_indices<double>(const core::StateVector<double>&,
                                                                  std::uint64_t, SampleRng&);

// An outcome index and its number of shots.
struct IndexCount {
  std::uint64_t index = 0;
  std::uint64_t shots = 0;
  friend bool operator==(const IndexCount&, const IndexCount&) = default;
};

// The shots of sample_indices(cumulative, shots, rng) tallied by index: one entry per index
// drawn at least once, in increasing index order. Precondition: `cumulative` is not empty.
std::vector<IndexCount> sample_tally(std::span<const double> cumulative, std::uint64_t shots,
                                     SampleRng& rng);

// The counts map of a tally: the key of each index (outcome_key(index, width)) with its shots.
// Throws core::Abort "Formatting argument out of range" when width > 65535.
Counts counts_from_tally(std::span<const IndexCount> tally, std::uint64_t width);

// search_cumulative(cumulative, u) for every u of `uniforms` (any values, NaN included, in any
// order), in the order of `uniforms`. Precondition: `cumulative` is not empty.
std::vector<std::uint64_t> search_sorted(std::span<const double> cumulative,
                                         std::span<const double> uniforms);

// The pieces of sample_counts, exposed so that each step can be checked on its own.

// c[i] = p[0] + ... + p[i], with p[i] = re^2 + im^2 in T, widened and summed in double strictly
// left to right; the last entry is then set to exactly 1.0.
template <typename T>
std::vector<double> cumulative_probabilities(const core::StateVector<T>& state);
// The same table over any amplitudes (a branch's state, a slice); empty for no amplitudes.
template <typename T>
std::vector<double> cumulative_probabilities(std::span<const core::Complex<T>> amplitudes);

extern template std::vector<double> cumulative_probabilities<float>(
    const core::StateVector<float>&);
extern template std::vector<double> cumulative_probabilities<double>(
    const core::StateVector<double>&);
extern template std::vector<double> cumulative_probabilities<float>(
    std::span<const core::Complex<float>>);
extern template std::vector<double> cumulative_probabilities<double>(
    std::span<const core::Complex<double>>);

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
// clamped to the last index. Comparisons with NaN are false. The steps are those described for
// a table of 2^n entries; any other length >= 1 is searched by the same steps. Precondition:
// `cumulative` is not empty.
//
// Whenever the entries before the last one are non-decreasing (no NaN among them) and there are
// at least three entries, the result is the number of those leading entries <= u, whatever the
// last entry holds: the search compares u with the last entry only after u has been found not
// below the one before it, and then both outcomes clamp to the last index. (For two entries the
// first comparison is with the last entry, so this does not hold.) sample_indices and
// search_sorted count this way, over many uniforms at once, on such tables.
std::uint64_t search_cumulative(std::span<const double> cumulative, double u);

// `index` in binary, most significant digit first, left-padded with '0' to `width`
// characters. Throws core::Abort "Formatting argument out of range" when width > 65535.
std::string outcome_key(std::uint64_t index, std::uint64_t width);

}  // namespace vorn::sim
