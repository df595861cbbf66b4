// Planning a distributed run: operands renamed through the qubit map, targets brought to local
// positions by exchanges chosen to be few, controls left at global positions where that keeps
// the arithmetic of gate-by-gate execution.
#include "mpi/layout.h"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <variant>

namespace vorn::mpi {
namespace {

using sim::GateKind;
using sim::GateOp;

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// Operand list positions that must sit locally (targets) and those that may stay global
// (controls).
//
// Why controls may stay global: a rank whose control bits are all 1 applies the same pair
// update, with the same matrix, to every pair of its slice, which is what the single-qubit
// kernel does (CX -> X, CCX with one global control -> CX on the other), and a rank with a
// control bit 0 leaves its slice untouched, as the controlled kernels do; CSWAP's exchange has
// no arithmetic at all. CZ and SWAP are full 4x4 products in which every amplitude of a group
// enters every result (0 * NaN is NaN), so both of their operands are targets here.
struct Roles {
  std::array<unsigned, 2> targets{};
  unsigned n_targets = 0;
  std::array<unsigned, 2> controls{};
  unsigned n_controls = 0;
};

Roles roles_of(GateKind kind) {
  switch (kind) {
    case GateKind::CX:
      return {{1, 0}, 1, {0, 0}, 1};
    case GateKind::CZ:
    case GateKind::SWAP:
      return {{0, 1}, 2, {0, 0}, 0};
    case GateKind::CCX:
      return {{2, 0}, 1, {0, 1}, 2};
    case GateKind::CSWAP:
      return {{1, 2}, 2, {0, 0}, 1};
    default:
      return {{0, 0}, 1, {0, 0}, 0};
  }
}

// For each logical qubit, the operation indices at which it is a target, in increasing order,
// and a cursor that only moves forward.
class NextUse {
 public:
  NextUse(std::span<const sim::Operation> ops, std::uint64_t n_qubits)
      : uses_(n_qubits), cursor_(n_qubits, 0) {
    for (std::uint64_t i = 0; i < ops.size(); ++i) {
      if (const auto* gate = std::get_if<GateOp>(&ops[i])) {
        const Roles roles = roles_of(gate->kind());
        for (unsigned t = 0; t < roles.n_targets; ++t) {
          auto& list = uses_[gate->qubits[roles.targets[t]]];
          if (list.empty() || list.back() != i) {
            list.push_back(i);
          }
        }
      } else if (const auto* controlled = std::get_if<sim::ControlledGate>(&ops[i])) {
        uses_[controlled->target].push_back(i);
      }
    }
  }

  // The first index >= from at which the qubit is a target; calls must not decrease `from`.
  std::uint64_t after(std::uint64_t logical, std::uint64_t from) {
    const auto& list = uses_[logical];
    std::size_t& c = cursor_[logical];
    while (c < list.size() && list[c] < from) {
      ++c;
    }
    return c < list.size() ? list[c] : kNever;
  }

  bool ever(std::uint64_t logical) const { return !uses_[logical].empty(); }

 private:
  std::vector<std::vector<std::uint64_t>> uses_;
  std::vector<std::size_t> cursor_;
};

class Planner {
 public:
  Planner(std::span<const sim::Operation> ops, std::uint64_t n_qubits, std::uint64_t global)
      : ops_(ops), n_(n_qubits), local_(n_qubits - global), map_(n_qubits), next_(ops, n_qubits) {}

  Plan run() {
    for (std::uint64_t q = local_; q < n_; ++q) {
      if (next_.ever(q)) {
        ++plan_.global_qubits_needed;
      }
    }
    for (std::uint64_t i = 0; i < ops_.size(); ++i) {
      if (const auto* controlled = std::get_if<sim::ControlledGate>(&ops_[i])) {
        place_controlled(*controlled, i);
        continue;
      }
      const auto* gate = std::get_if<GateOp>(&ops_[i]);
      if (gate == nullptr) {
        plan_.measured = true;
        continue;
      }
      count_if_touching_global(*gate);
      place(*gate, i);
    }
    restore();
    return std::move(plan_);
  }

 private:
  void count_if_touching_global(const GateOp& gate) {
    for (unsigned j = 0; j < gate.arity(); ++j) {
      if (gate.qubits[j] >= local_) {
        ++plan_.gates_touching_global;
        return;
      }
    }
  }

  void exchange(std::uint64_t global_position, std::uint64_t local_position) {
    Step step;
    step.kind = Step::Kind::Exchange;
    step.a = global_position;
    step.b = local_position;
    plan_.steps.push_back(step);
    ++plan_.exchanges;
    map_.swap_positions(global_position, local_position);
  }

  // The local position to trade for global position g at operation i: not one of `keep`; the
  // qubit there is the one needed again latest; among equals, one that belongs at g (it goes
  // home), then one that belongs locally (it comes back by the exchange that brings g's own
  // qubit home), then the highest position (longest contiguous runs in the exchange).
  std::uint64_t victim(std::uint64_t g, std::uint64_t i, std::span<const std::uint64_t> keep) {
    std::uint64_t best = kNever;
    std::array<std::uint64_t, 3> best_score{};
    for (std::uint64_t p = local_; p-- > 0;) {
      if (std::find(keep.begin(), keep.end(), p) != keep.end()) {
        continue;
      }
      const std::uint64_t q = map_.logical_at(p);
      const std::array<std::uint64_t, 3> score{next_.after(q, i + 1),
                                               q == g ? 2u : (q < local_ ? 1u : 0u), p};
      if (best == kNever || score > best_score) {
        best = p;
        best_score = score;
      }
    }
    return best;
  }

  void place(const GateOp& gate, std::uint64_t i) {
    const Roles roles = roles_of(gate.kind());
    std::array<std::uint64_t, 2> kept{};
    unsigned n_kept = 0;
    for (unsigned t = 0; t < roles.n_targets; ++t) {
      const std::uint64_t q = gate.qubits[roles.targets[t]];
      if (map_.position(q) >= local_) {
        const std::uint64_t g = map_.position(q);
        exchange(g, victim(g, i, std::span<const std::uint64_t>(kept.data(), n_kept)));
      }
      kept[n_kept++] = map_.position(q);
    }

    Step step;
    step.gate = gate;
    for (unsigned j = 0; j < gate.arity(); ++j) {
      step.gate.qubits[j] = map_.position(gate.qubits[j]);
    }
    std::array<std::uint64_t, 2> local_controls{};
    unsigned n_local_controls = 0;
    for (unsigned c = 0; c < roles.n_controls; ++c) {
      const std::uint64_t p = step.gate.qubits[roles.controls[c]];
      if (p >= local_) {
        step.rank_mask |= std::uint64_t{1} << (p - local_);
      } else {
        local_controls[n_local_controls++] = p;
      }
    }
    if (step.rank_mask == 0) {
      plan_.steps.push_back(step);
      return;
    }
    // Some controls are global: ranks with those bits set apply the gate with the remaining
    // controls, the others skip it.
    const std::uint64_t t0 = step.gate.qubits[roles.targets[0]];
    switch (gate.kind()) {
      case GateKind::CX:
        step.gate = GateOp{sim::Gate{GateKind::X}, {t0, 0, 0}};
        break;
      case GateKind::CCX:
        step.gate = n_local_controls == 0
                        ? GateOp{sim::Gate{GateKind::X}, {t0, 0, 0}}
                        : GateOp{sim::Gate{GateKind::CX}, {local_controls[0], t0, 0}};
        break;
      case GateKind::CSWAP:
        step.kind = Step::Kind::LocalSwap;
        step.a = t0;
        step.b = step.gate.qubits[roles.targets[1]];
        break;
      default:
        break;
    }
    plan_.steps.push_back(step);
  }

  // A gate of the controlled kernel: its target comes to a local position; controls at global
  // positions select the ranks that apply it (those whose bits there are the values wanted),
  // which apply it with the remaining controls. On each pair of amplitudes that it changes, a
  // rank does what the kernel does on the whole state, so the bits are those of one process.
  void place_controlled(const sim::ControlledGate& gate, std::uint64_t i) {
    const std::vector<std::uint64_t> operands = gate.qubits();
    if (std::any_of(operands.begin(), operands.end(),
                    [this](std::uint64_t q) { return map_.position(q) >= local_; })) {
      ++plan_.gates_touching_global;
    }
    if (map_.position(gate.target) >= local_) {
      const std::uint64_t g = map_.position(gate.target);
      exchange(g, victim(g, i, {}));
    }
    Step step;
    step.kind = Step::Kind::Controlled;
    step.controlled.gate = gate.gate;
    step.controlled.phase = gate.phase;
    step.controlled.target = map_.position(gate.target);
    for (std::size_t c = 0; c < gate.controls.size(); ++c) {
      const std::uint64_t p = map_.position(gate.controls[c]);
      if (p >= local_) {
        (gate.values[c] != 0 ? step.rank_mask : step.rank_zero_mask) |= std::uint64_t{1}
                                                                        << (p - local_);
      } else {
        step.controlled.controls.push_back(p);
        step.controlled.values.push_back(gate.values[c]);
      }
    }
    plan_.steps.push_back(std::move(step));
  }

  // Brings every qubit back to its own position: first the global positions (a qubit that
  // belongs at one global position but sits at another goes through a local position), then
  // the local ones, which need no exchange.
  void restore() {
    for (std::uint64_t g = local_; g < n_; ++g) {
      while (map_.logical_at(g) != g) {
        const std::uint64_t from = map_.position(g);
        if (from < local_) {
          exchange(g, from);
        } else {
          exchange(from, local_ - 1);
        }
      }
    }
    for (std::uint64_t p = 0; p < local_; ++p) {
      if (map_.logical_at(p) != p) {
        Step step;
        step.kind = Step::Kind::LocalSwap;
        step.a = p;
        step.b = map_.position(p);
        plan_.steps.push_back(step);
        map_.swap_positions(step.a, step.b);
      }
    }
  }

  std::span<const sim::Operation> ops_;
  std::uint64_t n_;
  std::uint64_t local_;
  QubitMap map_;
  NextUse next_;
  Plan plan_;
};

}  // namespace

QubitMap::QubitMap(std::uint64_t n_qubits) : position_(n_qubits), logical_(n_qubits) {
  std::iota(position_.begin(), position_.end(), std::uint64_t{0});
  std::iota(logical_.begin(), logical_.end(), std::uint64_t{0});
}

void QubitMap::swap_positions(std::uint64_t a, std::uint64_t b) {
  std::swap(logical_[a], logical_[b]);
  position_[logical_[a]] = a;
  position_[logical_[b]] = b;
}

bool QubitMap::is_identity() const {
  for (std::uint64_t q = 0; q < position_.size(); ++q) {
    if (position_[q] != q) {
      return false;
    }
  }
  return true;
}

unsigned local_qubits_needed(std::span<const sim::Operation> ops) {
  unsigned needed = 0;
  for (const sim::Operation& op : ops) {
    if (std::holds_alternative<sim::ControlledGate>(op)) {
      needed = std::max(needed, 1u);
    } else if (const auto* gate = std::get_if<GateOp>(&op)) {
      const Roles roles = roles_of(gate->kind());
      unsigned distinct = roles.n_targets;
      if (roles.n_targets == 2 &&
          gate->qubits[roles.targets[0]] == gate->qubits[roles.targets[1]]) {
        distinct = 1;
      }
      needed = std::max(needed, distinct);
    }
  }
  return needed;
}

Plan plan_distributed(std::span<const sim::Operation> ops, std::uint64_t n_qubits,
                      std::uint64_t global_qubits) {
  return Planner(ops, n_qubits, global_qubits).run();
}

}  // namespace vorn::mpi
