// The engine: a fresh state, the run's generator, every gate in order through its kernel, the
// global phase, and the samples.
#include "simulator/engine.h"

#include <cmath>
#include <span>
#include <string>
#include <utility>

#include "core/abort.h"
#include "core/complex.h"
#include "core/gates.h"
#include "core/kernels.h"
#include "simulator/messages.h"

namespace vorn::sim {
namespace {

template <typename T>
void apply_gate(std::span<core::Complex<T>> v, const GateOp& op, const core::Matrix2<T>& x) {
  const auto& q = op.qubits;
  switch (op.gate.kind) {
    case GateKind::H:
    case GateKind::X:
    case GateKind::Y:
    case GateKind::Z:
    case GateKind::S:
    case GateKind::Sdg:
    case GateKind::T:
    case GateKind::Tdg:
    case GateKind::Rx:
    case GateKind::Ry:
    case GateKind::Rz:
    case GateKind::U3:
    case GateKind::Id:
      // Id is not skipped: it costs a full pass like any other single-qubit gate.
      core::apply_single_qubit_gate(v, core::matrix_2x2<T>(op.gate), q[0]);
      return;
    case GateKind::CX:
      core::apply_controlled_gate(v, x, q[0], q[1]);
      return;
    case GateKind::CZ:
      core::apply_two_qubit_gate(v, core::CZ_MATRIX<T>, q[0], q[1]);
      return;
    case GateKind::SWAP:
      core::apply_two_qubit_gate(v, core::SWAP_MATRIX<T>, q[0], q[1]);
      return;
    case GateKind::CCX:
      core::apply_doubly_controlled_gate(v, x, q[0], q[1], q[2]);
      return;
    case GateKind::CSWAP:
      core::apply_controlled_swap(v, q[0], q[1], q[2]);
      return;
  }
  core::abort_with(messages::unknown_gate_kind(static_cast<unsigned>(op.gate.kind)));
}

template <typename T>
RunResult<T> run_typed(const Circuit& circuit, std::uint64_t shots,
                       std::optional<std::uint64_t> seed) {
  // The state comes first (this is where 0 qubits and oversized registers are refused), then
  // the generator, before any gate and whether or not the circuit measures.
  core::StateVector<T> state(circuit.n_qubits());
  SampleRng rng = seed.has_value() ? SampleRng::seed_from_u64(*seed) : SampleRng::from_entropy();

  const std::span<core::Complex<T>> v = state.amplitudes();
  const bool measured = apply_operations(v, std::span<const Operation>(circuit.ops()));

  // +0.0 and -0.0 skip the pass; NaN compares unequal and is applied.
  if (circuit.global_phase() != 0.0) {
    apply_global_phase(v, circuit.global_phase());
  }

  Counts counts;
  if (measured && shots > 0) {
    counts = sample_counts(state, shots, rng);
  }
  return RunResult<T>{std::move(counts), std::move(state)};
}

}  // namespace

template <typename T>
bool apply_operations(std::span<core::Complex<T>> v, std::span<const Operation> ops) {
  const core::Matrix2<T> x = core::matrix_2x2<T>(core::Gate{GateKind::X});
  bool measured = false;
  for (const Operation& op : ops) {
    if (const auto* gate = std::get_if<GateOp>(&op)) {
      apply_gate(v, *gate, x);
    } else {
      // Measurements are recorded, not performed: the state is untouched.
      measured = true;
    }
  }
  return measured;
}

template <typename T>
void apply_global_phase(std::span<core::Complex<T>> v, double phase) {
  const T c = static_cast<T>(std::cos(phase));
  const T s = static_cast<T>(std::sin(phase));
  for (core::Complex<T>& a : v) {
    const T re = a.re;
    const T im = a.im;
    a.re = re * c - im * s;
    a.im = im * c + re * s;
  }
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
