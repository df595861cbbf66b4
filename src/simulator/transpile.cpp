// The peephole pass. Each pass is one linear scan that moves the kept operations to the front
// of the list, looking only at the last (and, for the H-sandwich, the last two) operations kept.
#include "simulator/transpile.h"

#include <cmath>
#include <utility>
#include <vector>

#include "core/constants.h"

namespace vorn::sim {
namespace {

enum class PairRule : unsigned char { None, Cancel, ReplaceZ, ReplaceS, ReplaceSdg, Fuse };

bool is_rotation(GateKind kind) {
  return kind == GateKind::Rx || kind == GateKind::Ry || kind == GateKind::Rz;
}

// The rule for the last kept gate p followed by op, both single-qubit gates on the same qubit.
PairRule pair_rule(GateKind p, GateKind op) {
  switch (p) {
    case GateKind::H:
    case GateKind::X:
    case GateKind::Y:
    case GateKind::Z:
      return op == p ? PairRule::Cancel : PairRule::None;
    case GateKind::S:
      return op == GateKind::S     ? PairRule::ReplaceZ
             : op == GateKind::Sdg ? PairRule::Cancel
                                   : PairRule::None;
    case GateKind::Sdg:
      return op == GateKind::Sdg ? PairRule::ReplaceZ
             : op == GateKind::S ? PairRule::Cancel
                                 : PairRule::None;
    case GateKind::T:
      return op == GateKind::T     ? PairRule::ReplaceS
             : op == GateKind::Tdg ? PairRule::Cancel
                                   : PairRule::None;
    case GateKind::Tdg:
      return op == GateKind::Tdg ? PairRule::ReplaceSdg
             : op == GateKind::T ? PairRule::Cancel
                                 : PairRule::None;
    case GateKind::Rx:
    case GateKind::Ry:
    case GateKind::Rz:
      return op == p ? PairRule::Fuse : PairRule::None;
    case GateKind::U3:
    case GateKind::Id:
    case GateKind::CX:
    case GateKind::CZ:
    case GateKind::SWAP:
    case GateKind::CCX:
    case GateKind::CSWAP:
      return PairRule::None;
  }
  return PairRule::None;
}

// The gate at `op` when it is a single-qubit gate on `qubit`, else null.
const GateOp* single_on(const Operation& op, std::uint64_t qubit) {
  const auto* gate = std::get_if<GateOp>(&op);
  if (gate == nullptr || gate->arity() != 1 || gate->qubits[0] != qubit) {
    return nullptr;
  }
  return gate;
}

GateOp make_gate(GateKind kind, std::uint64_t qubit, double theta = 0.0) {
  return GateOp{Gate{kind, theta}, {qubit, 0, 0}};
}

// The kept operations of a pass, written over the front of the list being read. Every
// operation read adds at most one to the kept ones, so the write position never passes the
// read position, and a pass needs no second list: one linear scan, no allocation.
class KeptPrefix {
 public:
  explicit KeptPrefix(std::vector<Operation>& ops) : ops_(ops) {}

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  Operation& back() { return ops_[size_ - 1]; }
  Operation& before_back() { return ops_[size_ - 2]; }
  void pop_back() { --size_; }
  // Keeps the operation at read position `read` (never below size()).
  void keep(std::size_t read) {
    if (read != size_) {
      ops_[size_] = std::move(ops_[read]);
    }
    ++size_;
  }

 private:
  std::vector<Operation>& ops_;
  std::size_t size_ = 0;
};

// One pass over `ops`, in place; returns the number of rewrites (fused or replaced gates).
std::uint64_t run_pass(std::vector<Operation>& ops) {
  std::uint64_t rewrites = 0;
  KeptPrefix out(ops);
  const std::size_t n = ops.size();
  for (std::size_t read = 0; read < n; ++read) {
    const auto* op = std::get_if<GateOp>(&ops[read]);
    // Measurements pass through.
    if (op == nullptr) {
      out.keep(read);
      continue;
    }
    const GateKind kind = op->kind();
    if ((is_rotation(kind) && is_trivial_angle(op->gate.theta)) || kind == GateKind::Id) {
      continue;
    }
    if (op->arity() > 1 || out.empty()) {
      out.keep(read);
      continue;
    }
    const std::uint64_t q = op->qubits[0];

    if (const GateOp* p = single_on(out.back(), q)) {
      const GateKind p_kind = p->kind();
      switch (pair_rule(p_kind, kind)) {
        case PairRule::None:
          break;
        case PairRule::Cancel:
          out.pop_back();
          continue;
        case PairRule::ReplaceZ:
          out.back() = make_gate(GateKind::Z, q);
          ++rewrites;
          continue;
        case PairRule::ReplaceS:
          out.back() = make_gate(GateKind::S, q);
          ++rewrites;
          continue;
        case PairRule::ReplaceSdg:
          out.back() = make_gate(GateKind::Sdg, q);
          ++rewrites;
          continue;
        case PairRule::Fuse: {
          // The plain sum, not reduced; a sum that is a whole number of turns cancels.
          const double phi = p->gate.theta + op->gate.theta;
          if (is_trivial_angle(phi)) {
            out.pop_back();
          } else {
            out.back() = make_gate(p_kind, q, phi);
            ++rewrites;
          }
          continue;
        }
      }
    }

    // H-sandwich: H, X, H becomes Z and H, Z, H becomes X (all on one qubit, adjacent).
    if (kind == GateKind::H && out.size() >= 2) {
      const GateOp* p = single_on(out.back(), q);
      const GateOp* before = single_on(out.before_back(), q);
      if (p != nullptr && (p->kind() == GateKind::X || p->kind() == GateKind::Z) &&
          before != nullptr && before->kind() == GateKind::H) {
        const GateKind replacement = p->kind() == GateKind::X ? GateKind::Z : GateKind::X;
        out.pop_back();
        out.back() = make_gate(replacement, q);
        ++rewrites;
        continue;
      }
    }
    out.keep(read);
  }
  ops.resize(out.size());
  return rewrites;
}

}  // namespace

bool is_trivial_angle(double theta) {
  double r = std::fmod(theta, core::TWO_PI);
  if (r < 0.0) {
    r += core::TWO_PI;
  }
  // NaN (also from an infinite theta) fails both comparisons.
  return r < ANGLE_EPS || core::TWO_PI - r < ANGLE_EPS;
}

std::uint64_t transpile_pass(Circuit& circuit, std::uint64_t max_iters) {
  std::uint64_t passes = 0;
  if (max_iters == 0) {
    return passes;
  }
  std::vector<Operation> ops = circuit.take_ops();
  const std::size_t original_capacity = ops.capacity();
  while (passes != max_iters) {
    const std::size_t n = ops.size();
    const std::uint64_t rewrites = run_pass(ops);
    ++passes;
    if (ops.size() == n && rewrites == 0) {
      break;
    }
  }
  // The passes only shrink the list; give back storage once it is mostly unused.
  if (ops.size() < original_capacity / 2) {
    ops.shrink_to_fit();
  }
  circuit.replace_ops(std::move(ops));
  return passes;
}

}  // namespace vorn::sim
