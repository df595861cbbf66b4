// Outcome sampling at scale: a 24-qubit GHZ-like state (H on every qubit, then a CX chain, so
// every one of the 2^24 outcomes is equally likely) sampled with 10^6 and 10^7 shots. Prints the
// cumulative table's cost, the draws alone, a plain per-shot search (one draw and one
// search_cumulative per shot), and the library's sample_indices, sample_tally, counts_from_tally
// and sample_counts, in microseconds per shot.
//
// Usage: sampling_bench [qubits] [f32|f64] [per-shot]   (defaults: 24 f64; "per-shot" adds the
// plain per-shot search, which takes over a microsecond a shot at 24 qubits)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <variant>
#include <vector>

#include "core/precision.h"
#include "simulator/circuit.h"
#include "simulator/engine.h"
#include "simulator/rng.h"
#include "simulator/sampling.h"

namespace {

using vorn::core::Precision;
using vorn::sim::Circuit;
using Clock = std::chrono::steady_clock;

// Wall time and the process's processor time (all threads) since construction: on a shared
// machine the wall time also holds the waits for a processor.
struct Timer {
  Clock::time_point wall = Clock::now();
  std::clock_t cpu = std::clock();
  double wall_seconds() const { return std::chrono::duration<double>(Clock::now() - wall).count(); }
  double cpu_seconds() const {
    return static_cast<double>(std::clock() - cpu) / static_cast<double>(CLOCKS_PER_SEC);
  }
};

Circuit ghz_like(std::uint64_t n) {
  Circuit c(n);
  for (std::uint64_t q = 0; q < n; ++q) {
    c.h(q);
  }
  for (std::uint64_t q = 0; q + 1 < n; ++q) {
    c.cx(q, q + 1);
  }
  c.measure_all();
  return c;
}

void report(const char* what, std::uint64_t shots, const Timer& timer, std::size_t distinct) {
  const double wall = timer.wall_seconds();
  const double cpu = timer.cpu_seconds();
  const double per_shot = 1e6 / static_cast<double>(shots);
  std::printf("  %-34s shots=%-9llu %8.3f s (%6.3f us/shot)  cpu %8.3f s (%6.3f us/shot)", what,
              static_cast<unsigned long long>(shots), wall, wall * per_shot, cpu, cpu * per_shot);
  if (distinct != 0) {
    std::printf("  %zu distinct", distinct);
  }
  std::printf("\n");
}

// One draw and one search per shot, in shot order: the definition, without batching.
std::uint64_t per_shot_search(const std::vector<double>& cumulative, std::uint64_t shots) {
  auto rng = vorn::sim::SampleRng::seed_from_u64(7);
  std::uint64_t checksum = 0;
  for (std::uint64_t s = 0; s < shots; ++s) {
    checksum +=
        vorn::sim::search_cumulative(cumulative, vorn::sim::uniform_from_draw(rng.next_u64()));
  }
  return checksum;
}

template <typename T>
void bench(std::uint64_t n, bool per_shot) {
  const Timer started;
  auto result =
      vorn::sim::run(ghz_like(n), 0, 1, std::is_same_v<T, float> ? Precision::F32 : Precision::F64);
  const auto& state = std::get<vorn::sim::RunResult<T>>(result).statevector;
  std::printf("%s, %llu qubits: run without shots %.3f s\n",
              std::is_same_v<T, float> ? "f32" : "f64", static_cast<unsigned long long>(n),
              started.wall_seconds());

  Timer start;
  const std::vector<double> cumulative = vorn::sim::cumulative_probabilities(state);
  std::printf("  cumulative table                   %8.3f s  cpu %8.3f s\n", start.wall_seconds(),
              start.cpu_seconds());

  for (const std::uint64_t shots : {std::uint64_t{1000000}, std::uint64_t{10000000}}) {
    if (per_shot) {
      start = Timer{};
      const std::uint64_t checksum = per_shot_search(cumulative, shots);
      report("per-shot search", shots, start, 0);
      if (checksum == 0) {
        std::printf("  (checksum 0)\n");
      }
    }

    auto rng = vorn::sim::SampleRng::seed_from_u64(7);
    start = Timer{};
    std::uint64_t sink = 0;
    for (std::uint64_t s = 0; s < shots; ++s) {
      sink += rng.next_u64() >> 63;
    }
    report("draws alone", shots, start, 0);
    if (sink == shots + 1) {
      std::printf("  (sink)\n");
    }

    rng = vorn::sim::SampleRng::seed_from_u64(7);
    start = Timer{};
    const std::vector<std::uint64_t> indices = vorn::sim::sample_indices(cumulative, shots, rng);
    report("sample_indices (given the table)", shots, start, 0);

    rng = vorn::sim::SampleRng::seed_from_u64(7);
    start = Timer{};
    const std::vector<vorn::sim::IndexCount> tally =
        vorn::sim::sample_tally(cumulative, shots, rng);
    report("sample_tally (given the table)", shots, start, tally.size());

    start = Timer{};
    const vorn::sim::Counts from_tally = vorn::sim::counts_from_tally(tally, n);
    report("counts_from_tally", shots, start, from_tally.size());

    rng = vorn::sim::SampleRng::seed_from_u64(7);
    start = Timer{};
    const vorn::sim::Counts counts = vorn::sim::sample_counts(state, shots, rng);
    report("sample_counts (table included)", shots, start, counts.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 24;
  const std::string_view precision = argc > 2 ? argv[2] : "f64";
  const bool per_shot = argc > 3 && std::string_view(argv[3]) == "per-shot";
  if (n < 2 || n > 30 || (precision != "f32" && precision != "f64")) {
    std::fprintf(stderr, "usage: %s [qubits 2..30] [f32|f64] [per-shot]\n", argv[0]);
    return 2;
  }
  if (precision == "f32") {
    bench<float>(n, per_shot);
  } else {
    bench<double>(n, per_shot);
  }
  return 0;
}
