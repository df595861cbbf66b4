// Parallel scaling of the kernels: the time per gate with a pool of 1 and of 2 threads (or any
// list of sizes), for states of 14 to 24 qubits, gate by gate, and the cost of one hand-off to
// the pool on its own.
//
// Each gate runs back to back on the same state, as in a circuit: a batch of calls lasting at
// least --min-ms milliseconds is timed as a whole, and the best batch of --repeat gives the time
// per gate. The ratio column is the time with the last pool size over the time with the first
// (0.5 is perfect scaling for 1 → 2 threads). The cpu columns are the processor time of all
// the process's threads per gate, and their ratio the work the larger pool spends on the same
// gate (1 when the second thread adds no overhead): unlike the wall time, it does not depend on
// whether the machine had a core free for the second thread. "hand-off" (median of single calls) is
// a parallel loop with one item per pool thread, each waiting until all have started: what a kernel
// call pays, back to back with the one before, to reach every thread of the pool and to pass its
// barrier.
//
// Usage: scaling_bench [--qubits 14,16,18,20,22,24] [--threads 1,2] [--precision f64,f32]
//                      [--repeat 5] [--min-ms 20]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/complex.h"
#include "core/gates.h"
#include "core/kernels.h"
#include "core/parallel.h"
#include "core/state_vector.h"
#include "sweep_options.h"

namespace {

using namespace vorn::core;
using Clock = std::chrono::steady_clock;

using Options = vorn::bench::SweepOptions;

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct PerCall {
  double wall = std::numeric_limits<double>::infinity();  // seconds
  double cpu = std::numeric_limits<double>::infinity();   // seconds of all the process's threads
};

// Best wall time and best processor time per call (each the least over the batches) of fn
// called back to back in batches of at least min-ms.
PerCall best_per_call(const std::function<void()>& fn, const Options& options) {
  fn();
  std::uint64_t calls = 1;
  for (;;) {
    const auto start = Clock::now();
    for (std::uint64_t i = 0; i < calls; ++i) {
      fn();
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (ms >= options.numbers.at("min-ms") || calls >= (std::uint64_t{1} << 30)) {
      break;
    }
    calls *= 2;
  }
  PerCall best;
  for (int r = 0; r < vorn::bench::repeat_count(options); ++r) {
    const double cpu_start = process_cpu_seconds();
    const auto start = Clock::now();
    for (std::uint64_t i = 0; i < calls; ++i) {
      fn();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = process_cpu_seconds() - cpu_start;
    best.wall = std::min(best.wall, wall / static_cast<double>(calls));
    best.cpu = std::min(best.cpu, cpu / static_cast<double>(calls));
  }
  return best;
}

// Median time of single calls, in seconds: a call that waits for a thread the machine has
// lent to another process would otherwise weigh in by milliseconds.
PerCall median_of_calls(const std::function<void()>& fn, int calls) {
  std::vector<double> times(static_cast<std::size_t>(calls));
  for (double& t : times) {
    const auto start = Clock::now();
    fn();
    t = std::chrono::duration<double>(Clock::now() - start).count();
  }
  std::nth_element(times.begin(), times.begin() + calls / 2, times.end());
  return {times[static_cast<std::size_t>(calls / 2)], std::numeric_limits<double>::quiet_NaN()};
}

struct Case {
  std::string label;
  std::function<void()> call;
};

template <typename T>
std::vector<Case> cases(std::span<Complex<T>> v, unsigned n) {
  const Matrix2<T> h = matrix_2x2<T>(Gate{GateKind::H});
  const Matrix2<T> x = matrix_2x2<T>(Gate{GateKind::X});
  const unsigned mid = n / 2;
  const unsigned top = n - 1;
  const auto name = [](const char* gate, unsigned a) {
    return std::string(gate) + "(" + std::to_string(a) + ")";
  };
  const auto name2 = [](const char* gate, unsigned a, unsigned b) {
    return std::string(gate) + "(" + std::to_string(a) + "," + std::to_string(b) + ")";
  };
  std::vector<Case> out;
  for (const unsigned q : {0u, mid, top}) {
    out.push_back({name("H", q), [v, h, q] { apply_single_qubit_gate<T>(v, h, q); }});
  }
  for (const auto& pair : {std::pair{0u, 1u}, std::pair{top, 2u}}) {
    const unsigned a = pair.first;
    const unsigned b = pair.second;
    out.push_back({name2("CX", a, b), [v, x, a, b] { apply_controlled_gate<T>(v, x, a, b); }});
  }
  for (const auto& pair : {std::pair{0u, 1u}, std::pair{top, 2u}}) {
    const unsigned a = pair.first;
    const unsigned b = pair.second;
    out.push_back(
        {name2("CZ", a, b), [v, a, b] { apply_two_qubit_gate<T>(v, CZ_MATRIX<T>, a, b); }});
    out.push_back(
        {name2("SWAP", a, b), [v, a, b] { apply_two_qubit_gate<T>(v, SWAP_MATRIX<T>, a, b); }});
  }
  return out;
}

template <typename T>
void run_size(unsigned n, const char* precision, const Options& options) {
  StateVector<T> state(n);
  const auto v = state.amplitudes();
  // A spread-out state of modest values: H keeps it bounded, CX/CZ/SWAP only move or negate.
  for (std::uint64_t i = 0; i < v.size(); ++i) {
    v[i] = {static_cast<T>(1.0 / (1 + i % 7)), static_cast<T>(0.5 / (1 + i % 5))};
  }
  const std::vector<Case> list = cases<T>(v, n);
  std::vector<std::vector<PerCall>> seconds(list.size() + 1);
  for (const std::size_t threads : options.threads) {
    testing::run_with_pool_size(threads, [&] {
      // Each thread of the pool takes one item and waits until all have theirs.
      const auto handoff = [threads] {
        std::atomic<std::size_t> arrived{0};
        parallel_for(0, threads, 1, [&](std::uint64_t, std::uint64_t) {
          arrived.fetch_add(1);
          const auto deadline = Clock::now() + std::chrono::milliseconds(10);
          while (arrived.load() < threads && Clock::now() < deadline) {
          }
        });
      };
      seconds[0].push_back(median_of_calls(handoff, 2000));
      for (std::size_t c = 0; c < list.size(); ++c) {
        seconds[c + 1].push_back(best_per_call(list[c].call, options));
      }
    });
  }
  std::printf("\nn=%u %s (%.1f MiB)\n%-12s", n, precision,
              static_cast<double>(state.amplitudes().size_bytes()) / (1 << 20), "case");
  for (const std::size_t threads : options.threads) {
    std::printf(" %10s%-3zu", "us pool=", threads);
  }
  std::printf(" %7s", "ratio");
  for (const std::size_t threads : options.threads) {
    std::printf(" %9s%-3zu", "cpu pool=", threads);
  }
  std::printf(" %7s\n", "ratio");
  for (std::size_t c = 0; c <= list.size(); ++c) {
    const std::vector<PerCall>& row = seconds[c];
    std::printf("%-12s", c == 0 ? "hand-off" : list[c - 1].label.c_str());
    for (const PerCall& t : row) {
      std::printf(" %13.2f", t.wall * 1e6);
    }
    std::printf(" %7.2f", row.back().wall / row.front().wall);
    for (const PerCall& t : row) {
      std::printf(" %12.2f", t.cpu * 1e6);
    }
    std::printf(" %7.2f\n", row.back().cpu / row.front().cpu);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.qubits = {14, 16, 18, 20, 22, 24};
  options.numbers = {{"repeat", 5}, {"min-ms", 20}};
  if (!vorn::bench::parse_sweep_options(argc, argv, options,
                                        "scaling_bench [--qubits 14,16,18,20,22,24] "
                                        "[--threads 1,2] [--precision f64,f32] [--repeat 5] "
                                        "[--min-ms 20]")) {
    return 2;
  }
  std::printf("time per gate in microseconds, best of %d batches of at least %.0f ms\n",
              vorn::bench::repeat_count(options), options.numbers.at("min-ms"));
  for (const unsigned n : options.qubits) {
    for (const auto& precision : options.precisions) {
      if (precision == "f32") {
        run_size<float>(n, "f32", options);
      } else {
        run_size<double>(n, "f64", options);
      }
    }
  }
  return 0;
}
