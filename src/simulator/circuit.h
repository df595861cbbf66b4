// The circuit record: an ordered list of operations over a fixed register, a classical-bit
// count and an accumulated global phase. Its one rule: no operation naming a qubit outside the
// register ever enters the list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <variant>
#include <vector>

#include "core/gates.h"

namespace vorn::sim {

using core::Gate;
using core::GateKind;

// A gate with its operands in the order of the gate table: the first arity(kind) entries of
// `qubits` are used, the rest are zero.
struct GateOp {
  Gate gate;
  std::array<std::uint64_t, 3> qubits{};

  GateKind kind() const { return gate.kind; }
  unsigned arity() const { return core::arity(gate.kind); }
};

// A single-qubit gate of the set on a target, times e^{i phase}, wherever every control holds its
// value: 1 for a control, 0 for a negated one (OpenQASM 3's ctrl @ and negctrl @ on a gate of one
// target). The operands are distinct qubits; a phase other than 0 comes only with U3 (any 2x2
// unitary is e^{i phase} U3(theta, phi, lambda)). Only programs hold these; the circuit record's
// own methods never make one.
struct ControlledGate {
  Gate gate{GateKind::X};
  double phase = 0.0;
  std::uint64_t target = 0;
  std::vector<std::uint64_t> controls;
  std::vector<std::uint8_t> values;  // one per control: 1 or 0

  // The 2x2 matrix in double precision: core::matrix_2x2 of the gate, each entry then multiplied
  // by (cos phase, sin phase) unless the phase is +0.0 or -0.0. A run in float rounds each entry
  // once.
  core::Matrix2<double> matrix() const;

  // The controls as a mask and the values they want at its bits. Precondition: every operand is
  // below 64 (true of any state that can be allocated).
  std::uint64_t control_mask() const {
    std::uint64_t mask = 0;
    for (const std::uint64_t q : controls) {
      mask |= std::uint64_t{1} << q;
    }
    return mask;
  }
  std::uint64_t control_values() const {
    std::uint64_t bits = 0;
    for (std::size_t j = 0; j < controls.size(); ++j) {
      bits |= static_cast<std::uint64_t>(values[j] != 0) << controls[j];
    }
    return bits;
  }
  // Every operand: the controls in order, then the target.
  std::vector<std::uint64_t> qubits() const {
    std::vector<std::uint64_t> all = controls;
    all.push_back(target);
    return all;
  }
};

struct Measure {
  std::uint64_t qubit;
  std::uint64_t cbit;
};

struct MeasureAll {};

using Operation = std::variant<GateOp, Measure, MeasureAll, ControlledGate>;

// Whether an operation acts on the state as a gate.
inline bool is_gate(const Operation& op) {
  return std::holds_alternative<GateOp>(op) || std::holds_alternative<ControlledGate>(op);
}

class Circuit {
 public:
  // An empty circuit; any qubit count is accepted, 0 included.
  explicit Circuit(std::uint64_t n_qubits) : n_qubits_(n_qubits) {}

  // Checks every operand, in list order, against n_qubits and appends the gate. The first
  // operand that is not less than n_qubits throws core::Abort
  // "큐비트 인덱스 {}가 범위를 벗어남 (n_qubits={})" and leaves the circuit unchanged.
  // An operand list whose length is not arity(gate.kind) throws core::Abort as well.
  void append_gate(const Gate& gate, std::initializer_list<std::uint64_t> qubits);

  void h(std::uint64_t qubit) { append_gate({GateKind::H}, {qubit}); }
  void x(std::uint64_t qubit) { append_gate({GateKind::X}, {qubit}); }
  void y(std::uint64_t qubit) { append_gate({GateKind::Y}, {qubit}); }
  void z(std::uint64_t qubit) { append_gate({GateKind::Z}, {qubit}); }
  void s(std::uint64_t qubit) { append_gate({GateKind::S}, {qubit}); }
  void sdg(std::uint64_t qubit) { append_gate({GateKind::Sdg}, {qubit}); }
  void t(std::uint64_t qubit) { append_gate({GateKind::T}, {qubit}); }
  void tdg(std::uint64_t qubit) { append_gate({GateKind::Tdg}, {qubit}); }
  void id(std::uint64_t qubit) { append_gate({GateKind::Id}, {qubit}); }
  void rx(double theta, std::uint64_t qubit) { append_gate({GateKind::Rx, theta}, {qubit}); }
  void ry(double theta, std::uint64_t qubit) { append_gate({GateKind::Ry, theta}, {qubit}); }
  void rz(double theta, std::uint64_t qubit) { append_gate({GateKind::Rz, theta}, {qubit}); }
  void u3(double theta, double phi, double lambda, std::uint64_t qubit) {
    append_gate({GateKind::U3, theta, phi, lambda}, {qubit});
  }
  void cx(std::uint64_t control, std::uint64_t target) {
    append_gate({GateKind::CX}, {control, target});
  }
  void cz(std::uint64_t qubit0, std::uint64_t qubit1) {
    append_gate({GateKind::CZ}, {qubit0, qubit1});
  }
  void swap(std::uint64_t qubit0, std::uint64_t qubit1) {
    append_gate({GateKind::SWAP}, {qubit0, qubit1});
  }
  void ccx(std::uint64_t ctrl1, std::uint64_t ctrl2, std::uint64_t target) {
    append_gate({GateKind::CCX}, {ctrl1, ctrl2, target});
  }
  void cswap(std::uint64_t control, std::uint64_t target1, std::uint64_t target2) {
    append_gate({GateKind::CSWAP}, {control, target1, target2});
  }

  // Checks qubit like append_gate (cbit is not checked), raises n_cbits to cbit + 1 when cbit
  // is not below it, and appends Measure.
  void measure(std::uint64_t qubit, std::uint64_t cbit);

  // Sets n_cbits to n_qubits (a plain assignment, which may lower it) and appends MeasureAll.
  void measure_all();

  const std::vector<Operation>& ops() const { return ops_; }
  std::uint64_t n_qubits() const { return n_qubits_; }
  std::uint64_t n_cbits() const { return n_cbits_; }
  double global_phase() const { return global_phase_; }

  void add_global_phase(double phase) { global_phase_ = global_phase_ + phase; }

  // For passes that rebuild the list: take it out, then put a list back. Precondition of
  // replace_ops: every operation satisfies the operand invariant (for instance, it was taken
  // from this circuit or built on the same qubits).
  std::vector<Operation> take_ops() { return std::move(ops_); }
  void replace_ops(std::vector<Operation> ops) { ops_ = std::move(ops); }

 private:
  void check_qubit(std::uint64_t qubit) const;

  std::vector<Operation> ops_;
  std::uint64_t n_qubits_;
  std::uint64_t n_cbits_ = 0;
  double global_phase_ = 0.0;
};

}  // namespace vorn::sim
