// libFuzzer target of the engine's paths: a random circuit of up to 14 qubits (any finite
// angles) runs gate by gate on one thread, then in blocked passes with a random block size and
// random planning costs on 1 to 3 threads: the states (f32 and f64) are the same bytes and the
// counts the same. A random dynamic program (mid-circuit measurements, resets, bit assignments,
// nested if/else and while loops) gives the same per-shot memory, final bit arrays and final
// state, or stops at the same loop, for any pool size, blocking and copy policy, exact or fused
// (a fused run against the one-thread fused run).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/parallel.h"
#include "fuzz_support.h"
#include "simulator/dynamic.h"
#include "simulator/engine.h"
#include "simulator/passes.h"

namespace {

namespace sim = vorn::sim;
namespace core = vorn::core;
using vorn::fuzz::require;

template <typename T>
constexpr core::Precision precision_of() {
  return sizeof(T) == sizeof(float) ? core::Precision::F32 : core::Precision::F64;
}

struct Configuration {
  std::size_t pool = 1;
  sim::Blocking blocking;
  sim::PassCosts costs;
  sim::DynamicOptions options;
};

Configuration decode_configuration(FuzzedDataProvider& in) {
  Configuration c;
  c.pool = in.ConsumeIntegralInRange<std::size_t>(1, 3);
  c.blocking.block_qubits = in.ConsumeIntegralInRange<unsigned>(0, 12);
  c.blocking.low_qubits = in.ConsumeIntegralInRange<unsigned>(0, c.blocking.block_qubits);
  c.blocking.in_place_qubits = in.ConsumeIntegralInRange<unsigned>(0, 14);
  c.costs.gate = in.ConsumeFloatingPointInRange<double>(0.0, 4.0);
  c.costs.controlled = in.ConsumeFloatingPointInRange<double>(0.0, 4.0);
  c.costs.in_place = in.ConsumeFloatingPointInRange<double>(0.0, 4.0);
  c.costs.gathered = in.ConsumeFloatingPointInRange<double>(0.0, 4.0);
  c.costs.arithmetic = in.ConsumeFloatingPointInRange<double>(0.0, 1.0);
  c.options.force_replay = in.ConsumeBool();
  c.options.max_saved_states = in.ConsumeIntegralInRange<std::uint64_t>(0, 3);
  const unsigned fusion = in.ConsumeIntegralInRange<unsigned>(0, 5);
  c.options.fusion = fusion == 1 ? 0 : fusion;
  // Loops end within a few rounds, or the run stops: the same way for every configuration.
  c.options.max_loop_rounds = in.ConsumeIntegralInRange<std::uint64_t>(1, 6);
  return c;
}

// The one-thread, gate-by-gate run (fused as `c` is: a fused run's bits are its own, the same
// for any pool and blocking).
Configuration reference(const Configuration& c) {
  Configuration r;
  r.costs = sim::PassCosts{};
  r.options.fusion = c.options.fusion;
  r.options.max_loop_rounds = c.options.max_loop_rounds;
  return r;
}

template <typename Fn>
void configured(const Configuration& c, const Fn& fn) {
  core::testing::run_with_pool_size(c.pool, [&] {
    sim::testing::run_with_blocking(c.blocking,
                                    [&] { sim::testing::run_with_costs(c.costs, [&] { fn(); }); });
  });
}

template <typename T>
sim::RunResult<T> run_circuit(const sim::Circuit& circuit, std::uint64_t shots, std::uint64_t seed,
                              const Configuration& c) {
  std::optional<sim::RunResult<T>> out;
  configured(c, [&] {
    sim::SimulationResult result = sim::run(circuit, shots, seed, precision_of<T>());
    out.emplace(std::move(std::get<sim::RunResult<T>>(result)));
  });
  return std::move(*out);
}

template <typename T>
void check_circuit(const sim::Circuit& circuit, std::uint64_t shots, std::uint64_t seed,
                   const Configuration& c) {
  const sim::RunResult<T> base = run_circuit<T>(circuit, shots, seed, reference(c));
  const sim::RunResult<T> got = run_circuit<T>(circuit, shots, seed, c);
  require(vorn::fuzz::same_bits<T>(base.statevector.amplitudes(), got.statevector.amplitudes()));
  require(base.counts == got.counts);
}

// The run, or the message of the loop that stopped it.
template <typename T>
std::variant<sim::DynamicRun<T>, std::string> run_dynamic(const sim::Program& p,
                                                          std::uint64_t shots, std::uint64_t seed,
                                                          const Configuration& c) {
  std::optional<std::variant<sim::DynamicRun<T>, std::string>> out;
  configured(c, [&] {
    try {
      sim::DynamicRunResult result = sim::run_program(p, shots, seed, precision_of<T>(), c.options);
      out.emplace(std::move(std::get<sim::DynamicRun<T>>(result)));
    } catch (const sim::LoopLimit& e) {
      out.emplace(std::string(e.what()));
    }
  });
  return std::move(*out);
}

template <typename T>
void check_program(const sim::Program& p, std::uint64_t shots, std::uint64_t seed,
                   const Configuration& c) {
  auto base_run = run_dynamic<T>(p, shots, seed, reference(c));
  auto got_run = run_dynamic<T>(p, shots, seed, c);
  require(base_run.index() == got_run.index());
  if (const auto* stopped = std::get_if<std::string>(&base_run)) {
    require(*stopped == std::get<std::string>(got_run));
    return;
  }
  const sim::DynamicRun<T>& base = std::get<sim::DynamicRun<T>>(base_run);
  const sim::DynamicRun<T>& got = std::get<sim::DynamicRun<T>>(got_run);
  require(base.outcome.memory == got.outcome.memory);
  require(base.outcome.bit_arrays == got.outcome.bit_arrays);
  require(base.outcome.is_static == got.outcome.is_static);
  require(base.outcome.single_final_state == got.outcome.single_final_state);
  require(base.final_state.has_value() == got.final_state.has_value());
  if (base.final_state.has_value()) {
    require(
        vorn::fuzz::same_bits<T>(base.final_state->amplitudes(), got.final_state->amplitudes()));
  }
  require(base.outcome.memory.size() == shots);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool dynamic = in.ConsumeBool();
  const bool f32 = in.ConsumeBool();
  const Configuration c = decode_configuration(in);
  const auto seed = in.ConsumeIntegral<std::uint64_t>();
  if (!dynamic) {
    const auto shots = in.ConsumeIntegralInRange<std::uint64_t>(0, 64);
    const sim::Circuit circuit = vorn::fuzz::decode_circuit(in, 14, 40, false, true);
    if (f32) {
      check_circuit<float>(circuit, shots, seed, c);
    } else {
      check_circuit<double>(circuit, shots, seed, c);
    }
  } else {
    const auto shots = in.ConsumeIntegralInRange<std::uint64_t>(0, 48);
    const sim::Program program = vorn::fuzz::decode_program(in, 10, 32);
    if (f32) {
      check_program<float>(program, shots, seed, c);
    } else {
      check_program<double>(program, shots, seed, c);
    }
  }
  return 0;
}
