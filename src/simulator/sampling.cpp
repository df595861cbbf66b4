// Sampling: cumulative table, fixed-shape search, tally, keys.
#include "simulator/sampling.h"

#include <algorithm>
#include <array>

#include "core/abort.h"
#include "simulator/messages.h"

namespace vorn::sim {

template <typename T>
std::vector<double> cumulative_probabilities(const core::StateVector<T>& state) {
  const std::span<const core::Complex<T>> v = state.amplitudes();
  std::vector<double> cumulative(v.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    // The probability is formed in the state's own float type, then widened.
    const T p = v[i].re * v[i].re + v[i].im * v[i].im;
    sum = i == 0 ? static_cast<double>(p) : sum + static_cast<double>(p);
    cumulative[i] = sum;
  }
  // Whatever the total falls short of (or exceeds) 1.0 goes to (or comes off) the last outcome.
  cumulative.back() = 1.0;
  return cumulative;
}

template std::vector<double> cumulative_probabilities<float>(const core::StateVector<float>&);
template std::vector<double> cumulative_probabilities<double>(const core::StateVector<double>&);

std::uint64_t search_window_base(std::span<const double> cumulative, double u) {
  // The same number of steps for every u: halve the window, moving its base up whenever u is
  // not below the midpoint's value.
  std::uint64_t base = 0;
  std::uint64_t size = cumulative.size();
  while (size > 1) {
    const std::uint64_t half = size / 2;
    const std::uint64_t mid = base + half;
    if (u >= cumulative[mid]) {
      base = mid;
    }
    size -= half;
  }
  return base;
}

std::uint64_t search_cumulative(std::span<const double> cumulative, double u) {
  const std::uint64_t base = search_window_base(cumulative, u);
  const std::uint64_t k = u >= cumulative[base] ? base + 1 : base;
  return std::min<std::uint64_t>(k, cumulative.size() - 1);
}

std::string outcome_key(std::uint64_t index, std::uint64_t width) {
  if (width > MAX_KEY_WIDTH) {
    core::abort_with(messages::KEY_TOO_WIDE);
  }
  std::string key(width, '0');
  for (std::uint64_t bit = 0; bit < width && bit < 64; ++bit) {
    if (((index >> bit) & 1) != 0) {
      key[width - 1 - bit] = '1';
    }
  }
  return key;
}

namespace {

// Draws `shots` outcomes and hands each index to `record`, in draw order. The search has the
// same shape for every u, so a batch of shots walks it in lockstep: each level's loads are
// independent of each other and their cache misses overlap. Every shot still makes exactly the
// comparisons of search_cumulative.
template <typename Record>
void draw_outcomes(std::span<const double> cumulative, std::uint64_t shots, SampleRng& rng,
                   Record record) {
  constexpr std::uint64_t kBatch = 16;
  const std::uint64_t last = cumulative.size() - 1;
  std::array<double, kBatch> u{};
  std::array<std::uint64_t, kBatch> base{};
  for (std::uint64_t done = 0; done < shots;) {
    const std::uint64_t batch = std::min(kBatch, shots - done);
    for (std::uint64_t b = 0; b < batch; ++b) {
      u[b] = uniform_from_draw(rng.next_u64());
      base[b] = 0;
    }
    for (std::uint64_t size = cumulative.size(); size > 1;) {
      const std::uint64_t half = size / 2;
      for (std::uint64_t b = 0; b < batch; ++b) {
        const std::uint64_t mid = base[b] + half;
        base[b] = u[b] >= cumulative[mid] ? mid : base[b];
      }
      size -= half;
    }
    for (std::uint64_t b = 0; b < batch; ++b) {
      const std::uint64_t k = u[b] >= cumulative[base[b]] ? base[b] + 1 : base[b];
      record(std::min(k, last));
    }
    done += batch;
  }
}

}  // namespace

template <typename T>
Counts sample_counts(const core::StateVector<T>& state, std::uint64_t shots, SampleRng& rng) {
  Counts counts;
  if (shots == 0) {
    return counts;
  }
  const std::uint64_t width = state.num_qubits();
  if (width > MAX_KEY_WIDTH) {
    core::abort_with(messages::KEY_TOO_WIDE);
  }
  const std::vector<double> cumulative = cumulative_probabilities(state);
  // Tally by index, then write each distinct key once: the same counts as incrementing the
  // key of every shot, without formatting a string per shot. The tally is dense unless the
  // shots are far fewer than the outcomes; then a hash map keeps few shots on a large state
  // from taking memory beyond the cumulative table.
  const std::uint64_t outcomes = cumulative.size();
  if (shots >= outcomes / 16) {
    std::vector<std::uint64_t> tally(outcomes, 0);
    draw_outcomes(cumulative, shots, rng, [&tally](std::uint64_t k) { ++tally[k]; });
    counts.reserve(static_cast<std::size_t>(
        outcomes - static_cast<std::uint64_t>(std::count(tally.begin(), tally.end(), 0))));
    for (std::uint64_t k = 0; k < outcomes; ++k) {
      if (tally[k] != 0) {
        counts.emplace(outcome_key(k, width), tally[k]);
      }
    }
  } else {
    std::unordered_map<std::uint64_t, std::uint64_t> tally;
    draw_outcomes(cumulative, shots, rng, [&tally](std::uint64_t k) { ++tally[k]; });
    counts.reserve(tally.size());
    for (const auto& [k, n] : tally) {
      counts.emplace(outcome_key(k, width), n);
    }
  }
  return counts;
}

template Counts sample_counts<float>(const core::StateVector<float>&, std::uint64_t, SampleRng&);
template Counts sample_counts<double>(const core::StateVector<double>&, std::uint64_t, SampleRng&);

}  // namespace vorn::sim
