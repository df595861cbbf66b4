// Fused runs over ranks: exchanges before dense operations with global targets, renamed
// operations between them (run by the single-process fused passes on the slice), and the
// identity layout restored at the end.
#include "mpi/fused.h"

#include <algorithm>
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
  const auto exchange = [&](std::uint64_t global_position, std::uint64_t local_position) {
    flush();
    exchanger.exchange(slice, global_position, local_position);
    map.swap_positions(global_position, local_position);
  };
  for (const FusedOp& op : plan) {
    if (!op.diagonal) {
      // Each global target trades places with the highest local position that holds none of
      // the operation's targets.
      for (const unsigned q : op.targets) {
        const std::uint64_t g = map.position(q);
        if (g < local) {
          continue;
        }
        std::uint64_t p = local;
        while (p-- > 0) {
          const std::uint64_t there = map.logical_at(p);
          if (std::find(op.targets.begin(), op.targets.end(), there) == op.targets.end()) {
            break;
          }
        }
        exchange(g, p);
      }
    }
    if (std::optional<FusedOp> r = local_op(op, map, ranks)) {
      pending.push_back(std::move(*r));
    }
  }
  // Every qubit back to its own position: the global positions first (a qubit that belongs at
  // one global position but sits at another goes through a local one), then the local ones.
  for (std::uint64_t g = local; g < n; ++g) {
    while (map.logical_at(g) != g) {
      const std::uint64_t from = map.position(g);
      exchange(from < local ? g : from, from < local ? from : local - 1);
    }
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
