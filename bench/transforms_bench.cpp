// Throughput of the OpenQASM writer and of the transpile pass, in operations per second, at
// 10^4, 10^5 and 10^6 operations; the fitted complexity line shows both are linear.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <utility>

#include "qasm/exporter.h"
#include "simulator/circuit.h"
#include "simulator/transpile.h"

namespace {

using vorn::sim::Circuit;

constexpr std::uint64_t kQubits = 20;

// A mixed circuit: Clifford gates, rotations with full-precision angles, two- and three-qubit
// gates and measurements, in proportions typical of compiled programs.
Circuit mixed_circuit(std::int64_t n_ops, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> angle(-3.2, 3.2);
  Circuit c(kQubits);
  for (std::int64_t k = 0; k < n_ops; ++k) {
    const std::uint64_t q = rng() % kQubits;
    const std::uint64_t r = (q + 1 + rng() % (kQubits - 1)) % kQubits;
    switch (rng() % 10) {
      case 0:
        c.h(q);
        break;
      case 1:
        c.x(q);
        break;
      case 2:
        c.s(q);
        break;
      case 3:
        c.t(q);
        break;
      case 4:
        c.rx(angle(rng), q);
        break;
      case 5:
        c.rz(angle(rng), q);
        break;
      case 6:
        c.u3(angle(rng), angle(rng), angle(rng), q);
        break;
      case 7:
        c.cx(q, r);
        break;
      case 8:
        c.cz(q, r);
        break;
      default:
        c.measure(q, q);
        break;
    }
  }
  return c;
}

// Single-qubit gates on three qubits, so that neighbours often share a qubit and the pass
// cancels, replaces and fuses over several passes.
Circuit reducible_circuit(std::int64_t n_ops, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const double angles[] = {0.25, -0.25, 3.141592653589793, 0.0, 1.5};
  Circuit c(3);
  for (std::int64_t k = 0; k < n_ops; ++k) {
    const std::uint64_t q = rng() % 3;
    switch (rng() % 8) {
      case 0:
        c.h(q);
        break;
      case 1:
        c.x(q);
        break;
      case 2:
        c.z(q);
        break;
      case 3:
        c.s(q);
        break;
      case 4:
        c.t(q);
        break;
      case 5:
        c.rz(angles[rng() % 5], q);
        break;
      case 6:
        c.rx(angles[rng() % 5], q);
        break;
      default:
        c.cx(q, (q + 1) % 3);
        break;
    }
  }
  return c;
}

void BM_ExportQasm(benchmark::State& state, vorn::qasm::QasmVersion version) {
  const Circuit c = mixed_circuit(state.range(0), 1);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = vorn::qasm::export_qasm(c, version);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.SetComplexityN(state.range(0));
}

void BM_Transpile(benchmark::State& state, Circuit (*build)(std::int64_t, std::uint64_t)) {
  const Circuit original = build(state.range(0), 2);
  std::uint64_t passes = 0;
  std::size_t remaining = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Circuit c = original;
    state.ResumeTiming();
    passes = vorn::sim::transpile_pass(c, 16);
    remaining = c.ops().size();
    benchmark::DoNotOptimize(remaining);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
  state.counters["passes"] = static_cast<double>(passes);
  state.counters["ops_left"] = static_cast<double>(remaining);
}

constexpr std::int64_t kSmall = 10'000;
constexpr std::int64_t kLarge = 1'000'000;

BENCHMARK_CAPTURE(BM_ExportQasm, v2, vorn::qasm::QasmVersion::V2)
    ->RangeMultiplier(10)
    ->Range(kSmall, kLarge)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK_CAPTURE(BM_ExportQasm, v3, vorn::qasm::QasmVersion::V3)
    ->RangeMultiplier(10)
    ->Range(kSmall, kLarge)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK_CAPTURE(BM_Transpile, mixed, mixed_circuit)
    ->RangeMultiplier(10)
    ->Range(kSmall, kLarge)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK_CAPTURE(BM_Transpile, reducible, reducible_circuit)
    ->RangeMultiplier(10)
    ->Range(kSmall, kLarge)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
