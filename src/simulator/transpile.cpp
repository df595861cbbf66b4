// The peephole pass. Each pass is one linear scan that moves the operations into a new list,
// looking only at the last (and, for the H-sandwich, the last two) operations already kept.
#include "simulator/transpile.h"

#include <cmath>
#include <utility>
#include <vector>

namespace vorn::sim {
namespace {

// The double nearest 2π, 0x401921FB54442D18.
constexpr double kTwoPi = 6.283185307179586;

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

struct PassResult {
  std::vector<Operation> out;
  std::uint64_t rewrites = 0;
};

// Takes the list by value: its storage is released when the pass returns.
PassResult run_pass(std::vector<Operation> ops) {
  PassResult result;
  std::vector<Operation>& out = result.out;
  out.reserve(ops.size());
  for (Operation& item : ops) {
    const auto* op = std::get_if<GateOp>(&item);
    // Measurements pass through.
    if (op == nullptr) {
      out.push_back(std::move(item));
      continue;
    }
    const GateKind kind = op->kind();
    if ((is_rotation(kind) && is_trivial_angle(op->gate.theta)) || kind == GateKind::Id) {
      continue;
    }
    if (op->arity() > 1 || out.empty()) {
      out.push_back(std::move(item));
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
          ++result.rewrites;
          continue;
        case PairRule::ReplaceS:
          out.back() = make_gate(GateKind::S, q);
          ++result.rewrites;
          continue;
        case PairRule::ReplaceSdg:
          out.back() = make_gate(GateKind::Sdg, q);
          ++result.rewrites;
          continue;
        case PairRule::Fuse: {
          // The plain sum, not reduced; a sum that is a whole number of turns cancels.
          const double phi = p->gate.theta + op->gate.theta;
          if (is_trivial_angle(phi)) {
            out.pop_back();
          } else {
            out.back() = make_gate(p_kind, q, phi);
            ++result.rewrites;
          }
          continue;
        }
      }
    }

    // H-sandwich: H, X, H becomes Z and H, Z, H becomes X (all on one qubit, adjacent).
    if (kind == GateKind::H && out.size() >= 2) {
      const GateOp* p = single_on(out.back(), q);
      const GateOp* before = single_on(out[out.size() - 2], q);
      if (p != nullptr && (p->kind() == GateKind::X || p->kind() == GateKind::Z) &&
          before != nullptr && before->kind() == GateKind::H) {
        const GateKind replacement = p->kind() == GateKind::X ? GateKind::Z : GateKind::X;
        out.pop_back();
        out.back() = make_gate(replacement, q);
        ++result.rewrites;
        continue;
      }
    }
    out.push_back(std::move(item));
  }
  return result;
}

}  // namespace

bool is_trivial_angle(double theta) {
  double r = std::fmod(theta, kTwoPi);
  if (r < 0.0) {
    r += kTwoPi;
  }
  // NaN (also from an infinite theta) fails both comparisons.
  return r < ANGLE_EPS || kTwoPi - r < ANGLE_EPS;
}

std::uint64_t transpile_pass(Circuit& circuit, std::uint64_t max_iters) {
  std::uint64_t passes = 0;
  while (passes != max_iters) {
    std::vector<Operation> ops = circuit.take_ops();
    const std::size_t n = ops.size();
    PassResult result = run_pass(std::move(ops));
    const bool unchanged = result.out.size() == n && result.rewrites == 0;
    circuit.replace_ops(std::move(result.out));
    ++passes;
    if (unchanged) {
      break;
    }
  }
  return passes;
}

}  // namespace vorn::sim
