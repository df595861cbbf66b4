// The engine: a fresh state, the run's generator, every gate in order (in passes over the
// state, simulator/passes.h), the global phase, and the samples.
#include "simulator/engine.h"

#include <cmath>
#include <span>
#include <string>
#include <utility>

#include "core/abort.h"
#include "core/complex.h"
#include "core/gates.h"
#include "simulator/messages.h"
#include "simulator/passes.h"

namespace vorn::sim {
namespace {

template <typename T>
RunResult<T> run_typed(const Circuit& circuit, std::uint64_t shots,
                       std::optional<std::uint64_t> seed) {
  // The state comes first (this is where 0 qubits and oversized registers are refused), then
  // the generator, before any gate and whether or not the circuit measures.
  core::StateVector<T> state(circuit.n_qubits());
  SampleRng rng = seed.has_value() ? SampleRng::seed_from_u64(*seed) : SampleRng::from_entropy();

  // +0.0 and -0.0 skip the phase; NaN compares unequal and is applied.
  std::optional<double> phase;
  if (circuit.global_phase() != 0.0) {
    phase = circuit.global_phase();
  }
  const bool measured =
      execute_operations(state.amplitudes(), std::span<const Operation>(circuit.ops()), phase);

  Counts counts;
  if (measured && shots > 0) {
    counts = sample_counts(state, shots, rng);
  }
  return RunResult<T>{std::move(counts), std::move(state)};
}

}  // namespace

template <typename T>
bool apply_operations(std::span<core::Complex<T>> v, std::span<const Operation> ops) {
  return execute_operations(v, ops, std::nullopt);
}

template <typename T>
void apply_global_phase(std::span<core::Complex<T>> v, double phase) {
  multiply_by_phase(v, PhaseFactor<T>(phase));
}

template bool apply_operations<float>(std::span<core::Complex<float>>, std::span<const Operation>);
template bool apply_operations<double>(std::span<core::Complex<double>>,
                                       std::span<const Operation>);
template void apply_global_phase<float>(std::span<core::Complex<float>>, double);
template void apply_global_phase<double>(std::span<core::Complex<double>>, double);

SimulationResult run(const Circuit& circuit, std::uint64_t shots, std::optional<std::uint64_t> seed,
                     core::Precision precision) {
  switch (precision) {
    case core::Precision::F32:
      return SimulationResult{std::in_place_index<0>, run_typed<float>(circuit, shots, seed)};
    case core::Precision::F64:
      return SimulationResult{std::in_place_index<1>, run_typed<double>(circuit, shots, seed)};
  }
  core::abort_with(messages::unknown_precision(static_cast<unsigned>(precision)));
}

}  // namespace vorn::sim
