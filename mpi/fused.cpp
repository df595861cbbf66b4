// Fused runs over ranks: exchanges before dense operations with global targets, renamed
// operations between them (run by the single-process fused passes on the slice), and the
// identity layout restored at the end.
#include "mpi/fused.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <vector>

#include "mpi/layout.h"
#include "simulator/fused_passes.h"

namespace vorn::mpi {
namespace {

using sim::FusedOp;
using sim::GateKind;
using sim::GateOp;

// The operation as this rank runs it, its qubits at their current positions: nullopt when a
// control at a global position is 0 here (the operation leaves the slice as it is); otherwise
// the global controls dropped (for an exact CX or CCX, the kind the remaining controls make)
// and a diagonal's global qubits fixed to this rank's bits.
std::optional<FusedOp> local_op(const FusedOp& op, const QubitMap& map, const Ranks& ranks) {
  const std::uint64_t n = ranks.local_qubits + ranks.global_qubits;
  const std::uint64_t local = ranks.local_qubits;
  std::vector<std::uint64_t> position(n);
  for (std::uint64_t q = 0; q < n; ++q) {
    position[q] = map.position(q);
  }
  FusedOp r = sim::renamed_op(op, position);
  const auto rank_bit = [&](std::uint64_t p) { return (ranks.rank >> (p - local)) & 1; };
  const std::uint64_t local_mask = (std::uint64_t{1} << local) - 1;
  for (std::uint64_t c = r.controls & ~local_mask; c != 0; c &= c - 1) {
    if (rank_bit(static_cast<std::uint64_t>(__builtin_ctzll(c))) == 0) {
      return std::nullopt;
    }
  }
  r.controls &= local_mask;
  if (r.exact) {
    GateOp& g = *r.exact;
    const unsigned arity = g.arity();
    std::vector<std::uint64_t> kept;
    for (unsigned j = 0; j + 1 < arity; ++j) {
      if (g.qubits[j] < local) {
        kept.push_back(g.qubits[j]);
      }
    }
    if (arity > 1 && kept.size() + 1 < arity) {
      const std::uint64_t target = g.qubits[arity - 1];
      g = kept.empty() ? GateOp{sim::Gate{GateKind::X}, {target, 0, 0}}
                       : GateOp{sim::Gate{GateKind::CX}, {kept[0], target, 0}};
    }
  }
  if (r.diagonal) {
    // The targets are in increasing order of position, so the global ones are the top bits of
    // an entry's index: this rank keeps the entries whose top bits are its own.
    std::size_t n_local = 0;
    while (n_local < r.targets.size() && r.targets[n_local] < local) {
      ++n_local;
    }
    std::size_t top = 0;
    for (std::size_t j = n_local; j < r.targets.size(); ++j) {
      top |= rank_bit(r.targets[j]) << (j - n_local);
    }
    std::vector<core::Complex<double>> entries(std::size_t{1} << n_local);
    for (std::size_t k = 0; k < entries.size(); ++k) {
      entries[k] = r.entries[k | (top << n_local)];
    }
    r.entries = std::move(entries);
    r.targets.resize(n_local);
  }
  return r;
}

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// How many operations past one that needs an exchange are searched for further global targets
// to bring in by the same exchange: a bound on the planning work per exchange. A window usually
// closes much sooner, as each dense operation in it takes local positions out of the choice.
constexpr std::size_t kLookahead = 1024;

// For each qubit, the indices of the plan's dense operations that target it, in increasing order.
class DenseUses {
 public:
  DenseUses(std::span<const FusedOp> plan, std::uint64_t n_qubits) : uses_(n_qubits) {
    for (std::size_t i = 0; i < plan.size(); ++i) {
      if (!plan[i].diagonal) {
        for (const unsigned q : plan[i].targets) {
          uses_[q].push_back(i);
        }
      }
    }
  }

  // The first index after `after` at which the qubit is a dense operation's target.
  std::uint64_t next(std::uint64_t qubit, std::uint64_t after) const {
    const auto& list = uses_[qubit];
    const auto it = std::upper_bound(list.begin(), list.end(), after);
    return it == list.end() ? kNever : *it;
  }

 private:
  std::vector<std::vector<std::uint64_t>> uses_;
};

// Widens the exchange that operation i needs (its global targets in `globals`) with the global
// targets of the dense operations that follow, in order, while enough local positions stay
// free to trade for all of them: each operation taken in marks its targets busy (a busy qubit
// at a local position may not leave it). Stops at the first operation that does not fit, and
// when every global position is in the exchange.
void extend_window(std::span<const FusedOp> plan, std::size_t i, const QubitMap& map,
                   const Ranks& ranks, std::vector<char>& busy, std::uint64_t& free,
                   std::vector<std::uint64_t>& globals) {
  const std::uint64_t local = ranks.local_qubits;
  std::vector<std::uint64_t> added;
  for (std::size_t j = i + 1; j < plan.size() && j <= i + kLookahead; ++j) {
    if (globals.size() == ranks.global_qubits) {
      return;
    }
    const FusedOp& next = plan[j];
    if (next.diagonal) {
      continue;
    }
    added.clear();
    std::uint64_t newly_busy = 0;
    for (const unsigned q : next.targets) {
      if (busy[q] == 0) {
        if (map.position(q) < local) {
          ++newly_busy;
        } else {
          added.push_back(map.position(q));
        }
      }
    }
    if (free < newly_busy || free - newly_busy < globals.size() + added.size()) {
      return;
    }
    for (const unsigned q : next.targets) {
      busy[q] = 1;
    }
    free -= newly_busy;
    globals.insert(globals.end(), added.begin(), added.end());
  }
}

// The local position to trade for global position g in the exchange before operation i: none
// holding a busy qubit or already `taken`; the qubit there is the one a dense operation needs
// again latest (Belady's rule); among equals, one that belongs at g (it goes home), then one
// that belongs at a local position, then the highest position (the longest contiguous runs in
// the exchange).
std::uint64_t victim(std::uint64_t g, std::size_t i, const QubitMap& map, std::uint64_t local,
                     const DenseUses& uses, const std::vector<char>& busy,
                     std::span<const std::uint64_t> taken) {
  std::uint64_t best = kNever;
  std::array<std::uint64_t, 3> best_score{};
  for (std::uint64_t p = local; p-- > 0;) {
    const std::uint64_t q = map.logical_at(p);
    if (busy[q] != 0 || std::find(taken.begin(), taken.end(), p) != taken.end()) {
      continue;
    }
    const std::array<std::uint64_t, 3> score{uses.next(q, i), q == g ? 2u : (q < local ? 1u : 0u),
                                             p};
    if (best == kNever || score > best_score) {
      best = p;
      best_score = score;
    }
  }
  return best;
}

}  // namespace

unsigned fused_local_qubits_needed(std::span<const FusedOp> plan) {
  unsigned needed = 0;
  for (const FusedOp& op : plan) {
    if (!op.diagonal) {
      needed = std::max(needed, static_cast<unsigned>(op.targets.size()));
    }
  }
  return needed;
}

template <typename T>
void run_fused_plan(std::span<core::Complex<T>> slice, std::span<const FusedOp> plan,
                    const Ranks& ranks, Exchanger& exchanger) {
  const std::uint64_t local = ranks.local_qubits;
  const std::uint64_t n = local + ranks.global_qubits;
  QubitMap map(n);
  std::vector<FusedOp> pending;
  const auto flush = [&] {
    if (!pending.empty()) {
      sim::execute_fused_plan<T>(slice, pending, std::nullopt);
      pending.clear();
    }
  };
  const auto exchange = [&](const std::vector<std::uint64_t>& globals,
                            const std::vector<std::uint64_t>& locals) {
    flush();
    exchanger.exchange_group(slice, std::span<const std::uint64_t>(globals),
                             std::span<const std::uint64_t>(locals));
    for (std::size_t j = 0; j < globals.size(); ++j) {
      map.swap_positions(globals[j], locals[j]);
    }
  };
  const DenseUses uses(plan, n);
  std::vector<char> busy(n);
  std::vector<std::uint64_t> globals;
  std::vector<std::uint64_t> locals;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const FusedOp& op = plan[i];
    if (!op.diagonal) {
      globals.clear();
      std::fill(busy.begin(), busy.end(), 0);
      for (const unsigned q : op.targets) {
        busy[q] = 1;
        if (map.position(q) >= local) {
          globals.push_back(map.position(q));
        }
      }
      if (!globals.empty()) {
        // Local positions that may take a global target's place: those holding no target of
        // the operations up to the window's end.
        std::uint64_t free = local - (op.targets.size() - globals.size());
        extend_window(plan, i, map, ranks, busy, free, globals);
        locals.clear();
        for (const std::uint64_t g : globals) {
          locals.push_back(victim(g, i, map, local, uses, busy, locals));
        }
        exchange(globals, locals);
      }
    }
    if (std::optional<FusedOp> r = local_op(op, map, ranks)) {
      pending.push_back(std::move(*r));
    }
  }
  // Every qubit back to its own position. Each round trades, in one group exchange, every
  // global position for the local position that holds its own qubit; when none does (the
  // qubits that belong at global positions all sit at other global positions), those qubits
  // first move to local positions that hold qubits that belong locally, or, when no local
  // position holds one, one of them moves to the top local position. Positions already right
  // are never touched, and every round but the first kind is followed by one that puts at
  // least one qubit home.
  for (;;) {
    globals.clear();
    locals.clear();
    for (std::uint64_t g = local; g < n; ++g) {
      if (map.logical_at(g) != g && map.position(g) < local) {
        globals.push_back(g);
        locals.push_back(map.position(g));
      }
    }
    if (globals.empty()) {
      std::uint64_t p = local;
      for (std::uint64_t g = local; g < n; ++g) {
        if (map.logical_at(g) == g || map.logical_at(g) < local) {
          continue;
        }
        while (p > 0 && map.logical_at(p - 1) >= local) {
          --p;
        }
        if (p == 0) {
          break;
        }
        globals.push_back(g);
        locals.push_back(--p);
      }
      if (globals.empty()) {
        for (std::uint64_t g = local; g < n; ++g) {
          if (map.logical_at(g) != g) {
            globals.push_back(map.position(g));
            locals.push_back(local - 1);
            break;
          }
        }
      }
    }
    if (globals.empty()) {
      break;
    }
    exchange(globals, locals);
  }
  flush();
  for (std::uint64_t p = 0; p < local; ++p) {
    if (map.logical_at(p) != p) {
      const std::uint64_t other = map.position(p);
      swap_local_positions(slice, p, other);
      map.swap_positions(p, other);
    }
  }
}

template void run_fused_plan<float>(std::span<core::Complex<float>>, std::span<const FusedOp>,
                                    const Ranks&, Exchanger&);
template void run_fused_plan<double>(std::span<core::Complex<double>>, std::span<const FusedOp>,
                                     const Ranks&, Exchanger&);

}  // namespace vorn::mpi
