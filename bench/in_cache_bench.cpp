// The exact arithmetic of the kernels inside the cache, on Google Benchmark: the time per
// amplitude of one gate applied to a block that stays in the level-2 cache, over every target
// of the block in turn, as the blockwise passes apply it (Placement::InCache, no software
// prefetching), for every kernel table this CPU runs.
//
// The gates run on three kinds of state, each kept by the gates that run on it, so that the
// buffer never needs resetting: "ordinary" (random complex amplitudes; every gate), "real"
// (real amplitudes, as after H on |0...0>; the real gates H, X, Z, RY, CX, CZ) and "split"
// (amplitudes real where the index has an even number of ones and imaginary elsewhere, as
// after RX on |0...0>; RX and Y). The last two are the states on which the AVX2 kernels for
// matrices with zero parts must fall back to the full products: every output has a zero part.
// CX takes the next qubit up as its control, and CZ as its second operand; each runs through the
// kernel the engine runs it with.
//
// Benchmark names read <precision>/<table>/<gate>/<state>, for example f64/avx2/RY/ordinary, so
// that --benchmark_filter='avx2/R' selects rotations. Each benchmark is repeated (5 times by
// default) and the least of the repetitions is shown; the counter ns_per_amplitude is the time of
// one gate over the block divided by its amplitudes.
//
// Usage: in_cache_bench [--block B] [--precision f64,f32] [Google Benchmark flags]
//   --block picks blocks of 2^B amplitudes (default: the passes' block size for this machine's
//   caches).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/gates.h"
#include "core/kernels/dispatch.h"
#include "simulator/passes.h"
#include "sweep_options.h"

namespace {

using namespace vorn::core;
using vorn::core::kernels::KernelFunctions;
using vorn::core::kernels::KernelTable;
using Clock = std::chrono::steady_clock;

enum class StateKind { kOrdinary, kReal, kSplit };

const char* state_name(StateKind kind) {
  switch (kind) {
    case StateKind::kOrdinary:
      return "ordinary";
    case StateKind::kReal:
      return "real";
    case StateKind::kSplit:
      return "split";
  }
  return "?";
}

// The kernel a gate runs through in the engine: the single-qubit one, the controlled one (CX,
// with X) or the two-qubit one (CZ, with its 4x4 matrix); the second operand is the next qubit
// up.
enum class Via { kSingle, kControlled, kTwoQubit };

struct GateCase {
  const char* name;
  Gate gate;  // the single-qubit matrix (for CX: the one the control switches; unused for CZ)
  Via via;
  StateKind states[3];
  unsigned n_states;
};

const GateCase kGates[] = {
    {"H", {GateKind::H}, Via::kSingle, {StateKind::kOrdinary, StateKind::kReal}, 2},
    {"X", {GateKind::X}, Via::kSingle, {StateKind::kOrdinary, StateKind::kReal}, 2},
    {"Y", {GateKind::Y}, Via::kSingle, {StateKind::kOrdinary, StateKind::kSplit}, 2},
    {"Z", {GateKind::Z}, Via::kSingle, {StateKind::kOrdinary, StateKind::kReal}, 2},
    {"S", {GateKind::S}, Via::kSingle, {StateKind::kOrdinary}, 1},
    {"T", {GateKind::T}, Via::kSingle, {StateKind::kOrdinary}, 1},
    {"RX", {GateKind::Rx, 0.3}, Via::kSingle, {StateKind::kOrdinary, StateKind::kSplit}, 2},
    {"RY", {GateKind::Ry, 0.3}, Via::kSingle, {StateKind::kOrdinary, StateKind::kReal}, 2},
    {"RZ", {GateKind::Rz, 0.3}, Via::kSingle, {StateKind::kOrdinary}, 1},
    {"U3", {GateKind::U3, 0.3, 0.2, 0.1}, Via::kSingle, {StateKind::kOrdinary}, 1},
    {"CX", {GateKind::X}, Via::kControlled, {StateKind::kOrdinary, StateKind::kReal}, 2},
    {"CZ", {GateKind::Z}, Via::kTwoQubit, {StateKind::kOrdinary, StateKind::kReal}, 2},
};

template <typename T>
std::vector<Complex<T>> make_state(StateKind kind, unsigned qubits) {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Complex<T>> v(std::uint64_t{1} << qubits);
  const double scale = 1.0 / std::sqrt(static_cast<double>(v.size()));
  for (std::uint64_t i = 0; i < v.size(); ++i) {
    const T a = static_cast<T>(u(rng) * scale);
    const T b = static_cast<T>(u(rng) * scale);
    switch (kind) {
      case StateKind::kOrdinary:
        v[i] = {a, b};
        break;
      case StateKind::kReal:
        v[i] = {a, T{0}};
        break;
      case StateKind::kSplit:
        v[i] = std::popcount(i) % 2 == 0 ? Complex<T>{a, T{0}} : Complex<T>{T{0}, a};
        break;
    }
  }
  return v;
}

template <typename T>
void run_gate(benchmark::State& state, const KernelTable<T>* table, const GateCase& gc,
              StateKind kind, unsigned qubits) {
  std::vector<Complex<T>> v = make_state<T>(kind, qubits);
  const Matrix2<T> m = matrix_2x2<T>(gc.gate);
  const KernelFunctions<T>& f = table->in_cache;
  const auto sweep = [&] {
    for (unsigned q = 0; q < qubits; ++q) {
      const unsigned next = (q + 1) % qubits;
      switch (gc.via) {
        case Via::kSingle:
          f.single(v.data(), v.size(), m, q);
          break;
        case Via::kControlled:
          f.controlled(v.data(), v.size(), m, next, q);
          break;
        case Via::kTwoQubit:
          f.two_qubit(v.data(), v.size(), CZ_MATRIX<T>, q, next);
          break;
      }
    }
  };
  sweep();  // into the cache
  double seconds = 0.0;
  for (auto _ : state) {
    const auto start = Clock::now();
    sweep();
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    benchmark::DoNotOptimize(v.data());
  }
  const double amplitudes = static_cast<double>(qubits) * static_cast<double>(v.size());
  state.counters["ns_per_amplitude"] =
      seconds * 1e9 / (amplitudes * static_cast<double>(state.iterations()));
}

template <typename T>
void register_precision(const char* precision, unsigned qubits) {
  for (const KernelTable<T>* table : kernels::available_tables<T>()) {
    for (const GateCase& gc : kGates) {
      for (unsigned s = 0; s < gc.n_states; ++s) {
        const StateKind kind = gc.states[s];
        const std::string name =
            std::string(precision) + "/" + table->name + "/" + gc.name + "/" + state_name(kind);
        benchmark::RegisterBenchmark(name.c_str(),
                                     [table, &gc, kind, qubits](benchmark::State& st) {
                                       run_gate<T>(st, table, gc, kind, qubits);
                                     })
            ->Repetitions(5)
            ->ComputeStatistics("min",
                                [](const std::vector<double>& xs) {
                                  return *std::min_element(xs.begin(), xs.end());
                                })
            ->DisplayAggregatesOnly(true);
      }
    }
  }
}

// The console shows only the least of each benchmark's repetitions.
class LeastReporter : public benchmark::ConsoleReporter {
 public:
  // In colour on a terminal only.
  LeastReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> kept;
    std::copy_if(runs.begin(), runs.end(), std::back_inserter(kept),
                 [](const Run& r) { return r.aggregate_name == "min"; });
    if (!kept.empty()) {
      benchmark::ConsoleReporter::ReportRuns(kept);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  vorn::bench::SweepOptions options;
  options.numbers["block"] = 0;
  if (!vorn::bench::parse_sweep_options(
          argc, argv, options,
          "in_cache_bench [--block B] [--precision f64,f32] [Google Benchmark flags]")) {
    return 2;
  }
  const unsigned chosen = static_cast<unsigned>(options.numbers.at("block"));
  for (const std::string& p : options.precisions) {
    if (p == "f64") {
      const unsigned q =
          chosen != 0 ? chosen : vorn::sim::cache_blocking(sizeof(Complex<double>)).block_qubits;
      std::printf("f64: blocks of 2^%u amplitudes\n", q);
      register_precision<double>("f64", q);
    } else if (p == "f32") {
      const unsigned q =
          chosen != 0 ? chosen : vorn::sim::cache_blocking(sizeof(Complex<float>)).block_qubits;
      std::printf("f32: blocks of 2^%u amplitudes\n", q);
      register_precision<float>("f32", q);
    } else {
      std::fprintf(stderr, "unknown precision %s\n", p.c_str());
      return 2;
    }
  }
  LeastReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
