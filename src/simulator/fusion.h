// Gate fusion: consecutive gates multiplied into fewer, larger operations, planned from the gates
// alone. A dense group holds gates whose qubits together number at most k and becomes one matrix
// on them; a run of diagonal gates becomes one diagonal on any of their qubits (up to
// core::kernels::MAX_DIAGONAL_QUBITS); a gate that joins nothing keeps its controls. Gates on
// disjoint qubits commute, and diagonal gates commute with each other, which lets a gate join a
// group planned before gates it commutes with; nothing else is ever reordered. The matrices are
// products in double precision, in circuit order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.h"
#include "core/kernels/fused.h"
#include "simulator/circuit.h"

namespace vorn::sim {

// A gate as the planner takes it: `matrix` (2^t x 2^t, row-major, bit j of its index the value
// of targets[j]) applied where every control qubit is 1. Targets and controls are distinct
// qubits, at most core::kernels::MAX_FUSED_TARGETS targets.
struct FusionGate {
  std::vector<std::uint64_t> controls;
  std::vector<std::uint64_t> targets;
  std::vector<core::Complex<double>> matrix;
  // The circuit's own gate, when it has an exact kernel that may run it alone (a single-qubit
  // gate, CX or CCX with distinct operands).
  std::optional<GateOp> exact;
};

// One operation of a plan, in double precision: a dense matrix on `targets` (increasing) where
// every qubit of the controls mask is 1, or a diagonal on `targets`.
struct FusedOp {
  bool diagonal = false;
  std::vector<unsigned> targets;
  std::uint64_t controls = 0;
  std::vector<core::Complex<double>> entries;
  // How many gates the operation holds.
  std::size_t gates = 0;
  // Dense: the order in which each output's sum takes the columns (empty: increasing); set by
  // renamed_op.
  std::vector<unsigned> order;
  // A dense gate that joined nothing and has an exact kernel runs through that kernel (bit for
  // bit as exact execution), which costs less than its matrix.
  std::optional<GateOp> exact;
};

// What the planner weighs: an operation costs its arithmetic (a complex multiply-add per matrix
// column and amplitude it touches, one for a diagonal) plus `overhead` per amplitude it touches
// (its reading and writing); groups merge when the merged operation costs no more than its
// parts. The plan depends on the gates, k and these fixed numbers, never on the machine. The
// overhead of 6 stands for a fused kernel's own cost in the cache (a one- or two-target matrix
// costs about as much as three or four multiply-adds per amplitude) and its share of a pass.
struct FusionOptions {
  unsigned max_qubits = 4;
  unsigned max_diagonal_qubits = core::kernels::MAX_DIAGONAL_QUBITS;
  double overhead = 6.0;
};

// The gates of ops in order (measurements skipped), as the kernels apply them: Id is left out, a
// controlled gate keeps its controls (a negated one between two X on its qubit),
// and coinciding operands act as core/kernels.h describes (a control equal to its target, or a
// two-qubit gate on one qubit, changes nothing; two equal controls act as one; CSWAP with its
// control equal to its second target exchanges the targets without condition).
std::vector<FusionGate> fusion_gates(std::span<const Operation> ops);

// The plan of a list of gates. Precondition: options.max_qubits in 1..MAX_FUSED_TARGETS.
std::vector<FusedOp> plan_fusion(std::span<const FusionGate> gates, const FusionOptions& options);

// The operation with qubit q moved to position[q] (a permutation of the qubits): the targets in
// increasing order of their new positions, the entries permuted to match, and (dense) the sums
// taking the columns in the order of the old numbering, so that every amplitude is computed as
// before, bit for bit, at its new place. An exact gate's operands are renamed the same way.
FusedOp renamed_op(const FusedOp& op, std::span<const std::uint64_t> position);

// The operation rounded once to T.
template <typename T>
core::kernels::FusedGate<T> rounded_gate(const FusedOp& op);

}  // namespace vorn::sim
