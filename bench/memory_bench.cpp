// What a run pays for its state's memory: the creation of the state, its first gate and the
// gates after it, for a first run and for a second run of the same size after the first state
// was released, as a run of the engine does them.
//
// For each size, precision and pool size: a state is created, H is applied to qubit 0 once
// (the first gate, which meets whatever the creation left untouched) and then --passes more
// times (later gates: one pass over the state each, best of them); the state is released and
// the same is done again (the second run). The first run always starts without a kept mapping,
// so it maps fresh memory; the second gets the first one's mapping (states from 2 MiB on).
// The first repetition of a size is the first time the process touches that much memory; on a
// virtual machine that can cost far more than the later first runs, which get pages the
// operating system has just taken back. The memory cost of a run is creation + first gate −
// one pass, shown in milliseconds and as a multiple of one pass. Every configuration is
// repeated --repeat times; the table shows each repetition's figures, so the noise is visible.
//
// Usage: memory_bench [--qubits 20,22,24,26] [--threads 1,2] [--precision f64,f32]
//                     [--repeat 3] [--passes 4]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
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

int passes(const Options& options) {
  return std::max(1, static_cast<int>(options.numbers.at("passes")));
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct RunFigures {
  double create = 0;
  double first = 0;
  double pass = 0;
  double cost() const { return create + first - pass; }
};

// One run's figures: the state is created, takes its gates and is released.
template <typename T>
RunFigures one_run(unsigned n, int passes) {
  const Matrix2<T> h = matrix_2x2<T>(Gate{GateKind::H});
  RunFigures f;
  auto start = Clock::now();
  std::optional<StateVector<T>> state(std::in_place, n);
  f.create = ms_since(start);
  const auto v = state->amplitudes();
  start = Clock::now();
  apply_single_qubit_gate<T>(v, h, 0);
  f.first = ms_since(start);
  f.pass = std::numeric_limits<double>::infinity();
  for (int i = 0; i < passes; ++i) {
    start = Clock::now();
    apply_single_qubit_gate<T>(v, h, 0);
    f.pass = std::min(f.pass, ms_since(start));
  }
  state.reset();
  return f;
}

template <typename T>
void run_config(unsigned n, const char* precision, std::size_t threads, const Options& options) {
  testing::run_with_pool_size(threads, [&] {
    for (int r = 0; r < vorn::bench::repeat_count(options); ++r) {
      // The first run maps fresh memory, as a process's first run of this size does.
      testing::release_spare_mapping();
      const RunFigures first = one_run<T>(n, passes(options));
      const RunFigures second = one_run<T>(n, passes(options));
      std::printf(
          "%3u %-4s %4zu %3d | %8.1f %8.1f %8.1f %8.1f %6.2fx | %8.1f %8.1f %8.1f %8.1f %6.2fx\n",
          n, precision, threads, r + 1, first.create, first.first, first.pass, first.cost(),
          first.cost() / first.pass, second.create, second.first, second.pass, second.cost(),
          second.cost() / second.pass);
      std::fflush(stdout);
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.qubits = {20, 22, 24, 26};
  options.numbers = {{"repeat", 3}, {"passes", 4}};
  if (!vorn::bench::parse_sweep_options(argc, argv, options,
                                        "memory_bench [--qubits 20,22,24,26] [--threads 1,2] "
                                        "[--precision f64,f32] [--repeat 3] [--passes 4]")) {
    return 2;
  }
  std::printf(
      "milliseconds; cost = create + first gate - pass, and as a multiple of one pass\n"
      "  n prec pool rep |  run 1: create    first     pass     cost  ×pass |"
      "  run 2: create    first     pass     cost  ×pass\n");
  for (const unsigned n : options.qubits) {
    for (const auto& precision : options.precisions) {
      for (const std::size_t threads : options.threads) {
        if (precision == "f32") {
          run_config<float>(n, "f32", threads, options);
        } else {
          run_config<double>(n, "f64", threads, options);
        }
      }
    }
  }
  return 0;
}
