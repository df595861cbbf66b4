// Circuit appends with their operand checks.
#include "simulator/circuit.h"

#include <string>

#include "core/abort.h"

namespace vorn::sim {

std::uint8_t operation_tag(const Operation& op) {
  if (const auto* gate = std::get_if<GateOp>(&op)) {
    return static_cast<std::uint8_t>(gate->gate.kind);
  }
  return std::holds_alternative<Measure>(op) ? MEASURE_TAG : MEASURE_ALL_TAG;
}

void Circuit::check_qubit(std::uint64_t qubit) const {
  if (qubit >= n_qubits_) {
    core::abort_with("큐비트 인덱스 " + std::to_string(qubit) +
                     "가 범위를 벗어남 (n_qubits=" + std::to_string(n_qubits_) + ")");
  }
}

void Circuit::append_gate(const Gate& gate, std::initializer_list<std::uint64_t> qubits) {
  // The engine reads operands by position; a list of another length than the kind's arity
  // would make it read an unset slot as qubit 0, so refuse it here, before any change.
  if (qubits.size() != core::arity(gate.kind)) {
    core::abort_with("append_gate: " + std::to_string(qubits.size()) + " operands for a gate of " +
                     std::to_string(core::arity(gate.kind)));
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
