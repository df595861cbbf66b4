// The fusion planner: groups of gates over the circuit in one forward walk, then each group's
// matrix or diagonal as the product of its gates in circuit order.
#include "simulator/fusion.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>

#include "core/abort.h"
#include "core/gates.h"
#include "simulator/messages.h"

namespace vorn::sim {
namespace {

using C = core::Complex<double>;

constexpr std::uint64_t bit(std::uint64_t q) { return std::uint64_t{1} << q; }

FusionGate one_qubit(const GateOp& op) {
  const core::Matrix2<double> m = core::matrix_2x2<double>(op.gate);
  return {{}, {op.qubits[0]}, {m.begin(), m.end()}, op};
}

FusionGate from_matrix4(const core::Matrix4<double>& m, std::uint64_t q0, std::uint64_t q1) {
  return {{}, {q0, q1}, {m.begin(), m.end()}, std::nullopt};
}

FusionGate with_controls(FusionGate g, std::vector<std::uint64_t> controls) {
  g.controls = std::move(controls);
  return g;
}

bool is_diagonal_matrix(const std::vector<C>& m, std::size_t dim) {
  for (std::size_t r = 0; r < dim; ++r) {
    for (std::size_t c = 0; c < dim; ++c) {
      if (r != c && (m[r * dim + c].re != 0.0 || m[r * dim + c].im != 0.0)) {
        return false;
      }
    }
  }
  return true;
}

// Applies gate g to the vector x of 2^|qubits| entries, where bit j of x's index is the value of
// qubits[j]: for each index with g's controls 1 and targets 0, the 2^t entries of its targets are
// replaced by the matrix times them (products and sums in column order).
void apply_to_vector(const FusionGate& g, const std::vector<unsigned>& qubits, C* x) {
  const auto position = [&qubits](std::uint64_t q) {
    return static_cast<unsigned>(std::find(qubits.begin(), qubits.end(), q) - qubits.begin());
  };
  std::uint64_t control_mask = 0;
  for (const std::uint64_t q : g.controls) {
    control_mask |= bit(position(q));
  }
  const std::size_t t = g.targets.size();
  const std::size_t dim = std::size_t{1} << t;
  std::vector<std::uint64_t> offsets(dim, 0);
  std::uint64_t target_mask = 0;
  for (std::size_t j = 0; j < t; ++j) {
    target_mask |= bit(position(g.targets[j]));
  }
  for (std::size_t k = 0; k < dim; ++k) {
    for (std::size_t j = 0; j < t; ++j) {
      if ((k >> j) & 1) {
        offsets[k] |= bit(position(g.targets[j]));
      }
    }
  }
  const std::uint64_t size = bit(qubits.size());
  std::vector<C> in(dim);
  for (std::uint64_t i = 0; i < size; ++i) {
    if ((i & target_mask) != 0 || (i & control_mask) != control_mask) {
      continue;
    }
    for (std::size_t k = 0; k < dim; ++k) {
      in[k] = x[i | offsets[k]];
    }
    for (std::size_t r = 0; r < dim; ++r) {
      C sum = core::mul(g.matrix[r * dim], in[0]);
      for (std::size_t c = 1; c < dim; ++c) {
        sum = core::add(sum, core::mul(g.matrix[r * dim + c], in[c]));
      }
      x[i | offsets[r]] = sum;
    }
  }
}

// The matrix of gates (in this order) on `qubits` (increasing): every gate applied to each
// column of the identity.
std::vector<C> product_matrix(std::span<const FusionGate> all,
                              const std::vector<std::size_t>& members,
                              const std::vector<unsigned>& qubits) {
  const std::size_t dim = std::size_t{1} << qubits.size();
  std::vector<C> m(dim * dim, C{0.0, 0.0});
  std::vector<C> column(dim);
  for (std::size_t col = 0; col < dim; ++col) {
    std::fill(column.begin(), column.end(), C{0.0, 0.0});
    column[col] = C{1.0, 0.0};
    for (const std::size_t g : members) {
      apply_to_vector(all[g], qubits, column.data());
    }
    for (std::size_t r = 0; r < dim; ++r) {
      m[r * dim + col] = column[r];
    }
  }
  return m;
}

// The diagonal of diagonal gates (in this order) on `qubits`: entry i multiplied by each gate's
// diagonal entry where the gate's controls are 1 in i.
std::vector<C> product_diagonal(std::span<const FusionGate> all,
                                const std::vector<std::size_t>& members,
                                const std::vector<unsigned>& qubits) {
  const std::size_t size = std::size_t{1} << qubits.size();
  std::vector<C> d(size, C{1.0, 0.0});
  const auto value_of = [&qubits](std::size_t i, std::uint64_t q) {
    const auto j = std::find(qubits.begin(), qubits.end(), q) - qubits.begin();
    return (i >> j) & 1;
  };
  for (const std::size_t g : members) {
    const FusionGate& gate = all[g];
    const std::size_t dim = std::size_t{1} << gate.targets.size();
    for (std::size_t i = 0; i < size; ++i) {
      bool active = true;
      for (const std::uint64_t q : gate.controls) {
        active = active && value_of(i, q) == 1;
      }
      if (!active) {
        continue;
      }
      std::size_t k = 0;
      for (std::size_t j = 0; j < gate.targets.size(); ++j) {
        k |= value_of(i, gate.targets[j]) << j;
      }
      d[i] = core::mul(d[i], gate.matrix[k * dim + k]);
    }
  }
  return d;
}

std::vector<unsigned> qubits_of(std::uint64_t mask) {
  std::vector<unsigned> qubits;
  for (; mask != 0; mask &= mask - 1) {
    qubits.push_back(static_cast<unsigned>(std::countr_zero(mask)));
  }
  return qubits;
}

constexpr std::size_t NONE = ~std::size_t{0};

struct Group {
  bool diagonal = false;
  bool alive = true;
  std::uint64_t mask = 0;
  std::size_t position = 0;
  std::vector<std::size_t> members;
  double cost = 0.0;
};

struct GateFacts {
  std::uint64_t mask = 0;
  std::uint64_t controls = 0;
  bool diagonal = false;
  double cost = 0.0;
};

class Planner {
 public:
  Planner(std::span<const FusionGate> gates, const FusionOptions& options)
      : gates_(gates), options_(options) {
    last_.fill(NONE);
    last_dense_.fill(NONE);
  }

  std::vector<FusedOp> run() {
    for (std::size_t i = 0; i < gates_.size(); ++i) {
      add(i);
    }
    std::vector<const Group*> order;
    for (const Group& g : groups_) {
      if (g.alive) {
        order.push_back(&g);
      }
    }
    std::sort(order.begin(), order.end(),
              [](const Group* a, const Group* b) { return a->position < b->position; });
    std::vector<FusedOp> ops;
    for (const Group* g : order) {
      ops.push_back(emit(*g));
    }
    return ops;
  }

 private:
  GateFacts facts(const FusionGate& g) const {
    GateFacts f;
    for (const std::uint64_t q : g.controls) {
      f.controls |= bit(q);
    }
    f.mask = f.controls;
    for (const std::uint64_t q : g.targets) {
      f.mask |= bit(q);
    }
    f.diagonal = is_diagonal_matrix(g.matrix, std::size_t{1} << g.targets.size());
    const double share = 1.0 / static_cast<double>(bit(std::popcount(f.controls)));
    if (f.diagonal && std::popcount(f.mask) <= static_cast<int>(options_.max_diagonal_qubits)) {
      f.cost = 1.0 + options_.overhead;
    } else {
      f.cost = (static_cast<double>(bit(g.targets.size())) + options_.overhead) * share;
    }
    return f;
  }

  double dense_cost(std::uint64_t mask) const {
    return static_cast<double>(bit(std::popcount(mask))) + options_.overhead;
  }

  bool open(std::size_t g) const {
    for (std::uint64_t m = groups_[g].mask; m != 0; m &= m - 1) {
      if (last_[std::countr_zero(m)] != g) {
        return false;
      }
    }
    return true;
  }

  void mark(std::size_t g, std::uint64_t mask) {
    for (; mask != 0; mask &= mask - 1) {
      const auto q = static_cast<unsigned>(std::countr_zero(mask));
      if (last_[q] == NONE || groups_[last_[q]].position <= groups_[g].position) {
        last_[q] = g;
      }
      const std::size_t p = groups_[g].position;
      if (!groups_[g].diagonal && (last_dense_[q] == NONE || last_dense_[q] < p)) {
        last_dense_[q] = p;
      }
    }
  }

  void add(std::size_t i) {
    const GateFacts f = facts(gates_[i]);
    // Joining the groups that last touched the gate's qubits: the gate moves back to the newest
    // of them (no group after it touches the gate's qubits), and each other one moves forward to
    // it when it is open (last on every qubit it holds, so that nothing between touches them).
    // Such groups hold disjoint qubits and commute, so the merged group multiplies their gates
    // in circuit order.
    std::vector<std::size_t> parts;
    std::uint64_t united = f.mask;
    for (std::uint64_t m = f.mask; m != 0; m &= m - 1) {
      const std::size_t g = last_[std::countr_zero(m)];
      if (g == NONE || std::find(parts.begin(), parts.end(), g) != parts.end()) {
        continue;
      }
      parts.push_back(g);
      united |= groups_[g].mask;
    }
    std::size_t newest = NONE;
    for (const std::size_t g : parts) {
      if (newest == NONE || groups_[g].position > groups_[newest].position) {
        newest = g;
      }
    }
    bool movable = true;
    for (const std::size_t g : parts) {
      movable = movable && (g == newest || open(g));
    }
    if (!parts.empty() && movable &&
        std::popcount(united) <= static_cast<int>(options_.max_qubits)) {
      bool diagonal = f.diagonal;
      double separate = f.cost;
      for (const std::size_t g : parts) {
        diagonal = diagonal && groups_[g].diagonal;
        separate += groups_[g].cost;
      }
      const double merged = diagonal ? 1.0 + options_.overhead : dense_cost(united);
      if (merged <= separate) {
        Group& group = groups_[newest];
        for (const std::size_t g : parts) {
          if (g != newest) {
            groups_[g].alive = false;
            group.members.insert(group.members.end(), groups_[g].members.begin(),
                                 groups_[g].members.end());
          }
        }
        group.members.push_back(i);
        std::sort(group.members.begin(), group.members.end());
        group.diagonal = diagonal;
        group.mask = united;
        group.cost = merged;
        if (!diagonal && current_diagonal_ == newest) {
          current_diagonal_ = NONE;
        }
        mark(newest, united);
        return;
      }
    }
    // A diagonal gate joins the newest diagonal group when every group after it on the gate's
    // qubits is diagonal too (the gate commutes with them).
    if (f.diagonal && current_diagonal_ != NONE && groups_[current_diagonal_].alive) {
      Group& d = groups_[current_diagonal_];
      bool fits = std::popcount(d.mask | f.mask) <= static_cast<int>(options_.max_diagonal_qubits);
      for (std::uint64_t m = f.mask; fits && m != 0; m &= m - 1) {
        const std::size_t dense = last_dense_[std::countr_zero(m)];
        fits = dense == NONE || dense < d.position;
      }
      if (fits) {
        d.mask |= f.mask;
        d.members.push_back(i);
        mark(current_diagonal_, f.mask);
        return;
      }
    }
    Group group;
    group.diagonal =
        f.diagonal && std::popcount(f.mask) <= static_cast<int>(options_.max_diagonal_qubits);
    group.mask = f.mask;
    group.position = next_position_++;
    group.cost = f.cost;
    group.members.push_back(i);
    groups_.push_back(std::move(group));
    const std::size_t id = groups_.size() - 1;
    if (groups_[id].diagonal) {
      current_diagonal_ = id;
    }
    mark(id, f.mask);
  }

  FusedOp emit(const Group& g) const {
    FusedOp op;
    op.gates = g.members.size();
    if (g.diagonal) {
      op.diagonal = true;
      op.targets = qubits_of(g.mask);
      op.entries = product_diagonal(gates_, g.members, op.targets);
      return op;
    }
    if (g.members.size() == 1) {
      // A gate on its own keeps its controls.
      const FusionGate& gate = gates_[g.members.front()];
      std::uint64_t targets = 0;
      for (const std::uint64_t q : gate.targets) {
        targets |= bit(q);
      }
      FusionGate free = gate;
      free.controls.clear();
      op.targets = qubits_of(targets);
      op.controls = g.mask & ~targets;
      op.entries = product_matrix(std::span<const FusionGate>(&free, 1), {0}, op.targets);
      op.exact = gate.exact;
      return op;
    }
    op.targets = qubits_of(g.mask);
    op.entries = product_matrix(gates_, g.members, op.targets);
    if (op.targets.size() <= options_.max_diagonal_qubits &&
        is_diagonal_matrix(op.entries, std::size_t{1} << op.targets.size())) {
      // The product is diagonal (X then X, say): only its diagonal is applied.
      const std::size_t dim = std::size_t{1} << op.targets.size();
      std::vector<C> d(dim);
      for (std::size_t k = 0; k < dim; ++k) {
        d[k] = op.entries[k * dim + k];
      }
      op.entries = std::move(d);
      op.diagonal = true;
    }
    return op;
  }

  std::span<const FusionGate> gates_;
  FusionOptions options_;
  std::vector<Group> groups_;
  std::array<std::size_t, 64> last_{};
  // The position of the last dense group on each qubit.
  std::array<std::size_t, 64> last_dense_{};
  std::size_t current_diagonal_ = NONE;
  std::size_t next_position_ = 0;
};

}  // namespace

std::vector<FusionGate> fusion_gates(std::span<const Operation> ops) {
  std::vector<FusionGate> gates;
  const core::Matrix2<double> x = core::matrix_2x2<double>(core::Gate{GateKind::X});
  const std::vector<C> not_matrix(x.begin(), x.end());
  for (const Operation& operation : ops) {
    if (const auto* controlled = std::get_if<ControlledGate>(&operation)) {
      // The controls stay controls. A negated control is a control between two X on its qubit:
      // X maps the amplitudes where it is 0 to those where it is 1 and back.
      std::vector<std::uint64_t> negated;
      for (std::size_t j = 0; j < controlled->controls.size(); ++j) {
        if (controlled->values[j] == 0) {
          negated.push_back(controlled->controls[j]);
        }
      }
      for (const std::uint64_t q : negated) {
        gates.push_back(one_qubit(GateOp{{GateKind::X}, {q, 0, 0}}));
      }
      const core::Matrix2<double> m = controlled->matrix();
      gates.push_back({controlled->controls, {controlled->target}, {m.begin(), m.end()}, {}});
      for (const std::uint64_t q : negated) {
        gates.push_back(one_qubit(GateOp{{GateKind::X}, {q, 0, 0}}));
      }
      continue;
    }
    const auto* op = std::get_if<GateOp>(&operation);
    if (op == nullptr) {
      continue;
    }
    const auto& q = op->qubits;
    switch (op->kind()) {
      case GateKind::Id:
        break;
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
        gates.push_back(one_qubit(*op));
        break;
      case GateKind::CX:
        if (q[0] != q[1]) {
          gates.push_back({{q[0]}, {q[1]}, not_matrix, *op});
        }
        break;
      case GateKind::CZ:
        if (q[0] != q[1]) {
          gates.push_back(from_matrix4(core::CZ_MATRIX<double>, q[0], q[1]));
        }
        break;
      case GateKind::SWAP:
        if (q[0] != q[1]) {
          gates.push_back(from_matrix4(core::SWAP_MATRIX<double>, q[0], q[1]));
        }
        break;
      case GateKind::CCX:
        if (q[0] == q[2] || q[1] == q[2]) {
          break;
        }
        if (q[0] == q[1]) {
          gates.push_back({{q[0]}, {q[2]}, not_matrix, GateOp{{GateKind::CX}, {q[0], q[2], 0}}});
        } else {
          gates.push_back({{q[0], q[1]}, {q[2]}, not_matrix, *op});
        }
        break;
      case GateKind::CSWAP:
        if (q[1] == q[2] || q[0] == q[1]) {
          break;
        }
        if (q[0] == q[2]) {
          gates.push_back(from_matrix4(core::SWAP_MATRIX<double>, q[1], q[2]));
        } else {
          gates.push_back(
              with_controls(from_matrix4(core::SWAP_MATRIX<double>, q[1], q[2]), {q[0]}));
        }
        break;
      default:
        core::abort_with(messages::unknown_gate_kind(static_cast<unsigned>(op->kind())));
    }
  }
  return gates;
}

std::vector<FusedOp> plan_fusion(std::span<const FusionGate> gates, const FusionOptions& options) {
  for (const FusionGate& g : gates) {
    if (g.targets.empty() || g.targets.size() > core::kernels::MAX_FUSED_TARGETS ||
        g.matrix.size() != (std::size_t{1} << (2 * g.targets.size()))) {
      core::abort_with(messages::fusion_gate_shape(g.targets.size(), g.matrix.size()));
    }
  }
  if (options.max_qubits < 1 || options.max_qubits > core::kernels::MAX_FUSED_TARGETS) {
    core::abort_with(messages::fusion_gate_shape(options.max_qubits, 0));
  }
  return Planner(gates, options).run();
}

FusedOp renamed_op(const FusedOp& op, std::span<const std::uint64_t> position) {
  FusedOp out = op;
  const std::size_t t = op.targets.size();
  // New target j holds old target from[j].
  std::vector<std::size_t> from(t);
  for (std::size_t j = 0; j < t; ++j) {
    from[j] = j;
  }
  std::sort(from.begin(), from.end(), [&](std::size_t a, std::size_t b) {
    return position[op.targets[a]] < position[op.targets[b]];
  });
  for (std::size_t j = 0; j < t; ++j) {
    out.targets[j] = static_cast<unsigned>(position[op.targets[from[j]]]);
  }
  // The new index of an old index: old bit from[j] becomes new bit j.
  const auto moved = [&](std::size_t old) {
    std::size_t index = 0;
    for (std::size_t j = 0; j < t; ++j) {
      index |= ((old >> from[j]) & 1) << j;
    }
    return index;
  };
  const std::size_t dim = std::size_t{1} << t;
  if (op.diagonal) {
    for (std::size_t k = 0; k < dim; ++k) {
      out.entries[moved(k)] = op.entries[k];
    }
  } else {
    for (std::size_t r = 0; r < dim; ++r) {
      for (std::size_t c = 0; c < dim; ++c) {
        out.entries[moved(r) * dim + moved(c)] = op.entries[r * dim + c];
      }
    }
    out.order.resize(dim);
    for (std::size_t c = 0; c < dim; ++c) {
      const std::size_t old = op.order.empty() ? c : op.order[c];
      out.order[c] = static_cast<unsigned>(moved(old));
    }
  }
  out.controls = 0;
  for (std::uint64_t c = op.controls; c != 0; c &= c - 1) {
    out.controls |= bit(position[static_cast<std::size_t>(std::countr_zero(c))]);
  }
  if (op.exact) {
    for (unsigned j = 0; j < op.exact->arity(); ++j) {
      out.exact->qubits[j] = position[op.exact->qubits[j]];
    }
  }
  return out;
}

template <typename T>
core::kernels::FusedGate<T> rounded_gate(const FusedOp& op) {
  core::kernels::FusedGate<T> g;
  g.diagonal = op.diagonal;
  g.targets = op.targets;
  g.controls = op.controls;
  g.order = op.order;
  g.entries.reserve(op.entries.size());
  for (const C& e : op.entries) {
    g.entries.push_back({static_cast<T>(e.re), static_cast<T>(e.im)});
  }
  return g;
}

template core::kernels::FusedGate<float> rounded_gate<float>(const FusedOp&);
template core::kernels::FusedGate<double> rounded_gate<double>(const FusedOp&);

}  // namespace vorn::sim
