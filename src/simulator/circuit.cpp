// Circuit appends with their operand checks.
#include "simulator/circuit.h"

#include <cmath>
#include <string>

#include "core/abort.h"
#include "simulator/messages.h"

namespace vorn::sim {

core::Matrix2<double> ControlledGate::matrix() const {
  core::Matrix2<double> m = core::matrix_2x2<double>(gate);
  // +0.0 and -0.0 leave the gate's own matrix; NaN compares unequal and is applied.
  if (phase != 0.0) {
    const core::Complex<double> factor{std::cos(phase), std::sin(phase)};
    for (core::Complex<double>& entry : m) {
      entry = core::mul(factor, entry);
    }
  }
  return m;
}

void Circuit::check_qubit(std::uint64_t qubit) const {
  if (qubit >= n_qubits_) {
    core::abort_with(messages::qubit_out_of_range(qubit, n_qubits_));
  }
}

void Circuit::append_gate(const Gate& gate, std::initializer_list<std::uint64_t> qubits) {
  // The engine reads operands by position; a list of another length than the kind's arity
  // would make it read an unset slot as qubit 0, so refuse it here, before any change.
  if (qubits.size() != core::arity(gate.kind)) {
    core::abort_with(messages::operand_count(qubits.size(), core::arity(gate.kind)));
  }
  for (const std::uint64_t q : qubits) {
    check_qubit(q);
  }
  GateOp op{gate, {}};
  std::size_t k = 0;
  for (const std::uint64_t q : qubits) {
    op.qubits[k++] = q;
  }
  ops_.emplace_back(op);
}

void Circuit::measure(std::uint64_t qubit, std::uint64_t cbit) {
  check_qubit(qubit);
  // cbit + 1 cannot overflow a meaningful count; a cbit of 2^64 - 1 wraps to a count of 0,
  // which the exporter would then not declare. Saturate instead.
  if (cbit >= n_cbits_) {
    n_cbits_ = cbit == UINT64_MAX ? UINT64_MAX : cbit + 1;
  }
  ops_.emplace_back(Measure{qubit, cbit});
}

void Circuit::measure_all() {
  n_cbits_ = n_qubits_;
  ops_.emplace_back(MeasureAll{});
}

}  // namespace vorn::sim
