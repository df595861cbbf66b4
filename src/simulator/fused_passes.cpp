// Fused execution: the plan's operations cut into passes over cache-sized blocks (or one
// operation per pass over the state), each block on one thread of the pool.
#include "simulator/fused_passes.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <optional>

#include "core/kernels/dispatch.h"
#include "core/kernels/fused.h"
#include "core/parallel.h"
#include "simulator/blocks.h"
#include "simulator/passes.h"

namespace vorn::sim {
namespace {

using core::Complex;
using core::kernels::FusedGate;
using core::kernels::FusedKernels;
using core::kernels::PreparedGate;

constexpr std::uint64_t bit(unsigned q) { return std::uint64_t{1} << q; }

// The lowest qubits stay in every block in their own places: a lane qubit of the vectorised
// kernels (below 3) is one in the block as in the state, which the exact kernels' bits need,
// and a block's runs of consecutive amplitudes are 2^5 long. Shorter runs leave more of a
// block's qubits to the operations (more of them per pass); measured, runs of 2^5 and of 2 KiB
// took about the same time.
constexpr unsigned LOW_QUBITS = 5;

// Consecutive operations with exact kernels from which the exact engine runs them.
constexpr std::size_t EXACT_RUN = 8;

// Amplitudes per part of a loop over the state below which the pool is not worth it.
constexpr std::uint64_t MIN_PART = 1u << 13;

thread_local const unsigned* forced_block_qubits = nullptr;

std::uint64_t target_mask(const FusedOp& op) {
  std::uint64_t mask = 0;
  for (const unsigned q : op.targets) {
    mask |= bit(q);
  }
  return mask;
}

// The operation with its qubits renumbered as the bits of a block over `set` (the j-th qubit of
// the set is bit j), rounded to T; its controls outside the set are returned as conditions.
template <typename T>
FusedGate<T> local_gate(const FusedOp& op, std::uint64_t set, std::uint64_t& conditions) {
  const auto rank = [set](unsigned q) {
    return static_cast<unsigned>(std::popcount(set & (bit(q) - 1)));
  };
  FusedGate<T> g = rounded_gate<T>(op);
  for (unsigned& q : g.targets) {
    q = rank(q);
  }
  g.controls = 0;
  conditions = 0;
  for (std::uint64_t c = op.controls; c != 0; c &= c - 1) {
    const auto q = static_cast<unsigned>(std::countr_zero(c));
    if ((set & bit(q)) != 0) {
      g.controls |= bit(rank(q));
    } else {
      conditions |= bit(q);
    }
  }
  return g;
}

template <typename T>
void multiply_all_by_phase(std::span<Complex<T>> v, const PhaseFactor<T>& factor) {
  core::parallel_for(0, v.size(), MIN_PART, [&](std::uint64_t b, std::uint64_t e) {
    multiply_by_phase(v.subspan(b, e - b), factor);
  });
}

// The kernels of one run: the fused ones and the exact table they were chosen with.
template <typename T>
struct Kernels {
  const core::kernels::KernelTable<T>& exact;
  const FusedKernels<T>& fused;
  core::Matrix2<T> x = core::matrix_2x2<T>(core::Gate{GateKind::X});
};

template <typename T>
void run_over_state(const Kernels<T>& k, std::span<Complex<T>> v, unsigned n, const FusedOp& op) {
  if (op.exact) {
    blocks::apply_gate(k.exact.functions(core::Placement::Pool), v, op.exact->kind(),
                       blocks::gate_matrix<T>(*op.exact, k.x), k.x, op.exact->qubits.data());
    return;
  }
  const FusedKernels<T>& kernels = k.fused;
  const std::unique_ptr<PreparedGate<T>> p = kernels.prepare(rounded_gate<T>(op), n);
  const std::uint64_t per_unit = std::max<std::uint64_t>(1, v.size() / p->units);
  const std::uint64_t grain = std::max<std::uint64_t>(1, MIN_PART / per_unit);
  core::parallel_for(0, p->units, grain,
                     [&](std::uint64_t b, std::uint64_t e) { p->apply(v.data(), b, e); });
}

// Runs plan[first, last) block by block over `set` (b qubits), the blocks spread over the pool.
template <typename T>
void run_blockwise(const Kernels<T>& k, std::span<Complex<T>> v, std::span<const FusedOp> ops,
                   std::uint64_t set, const PhaseFactor<T>* phase) {
  const unsigned b = static_cast<unsigned>(std::popcount(set));
  // Per operation: its fused kernel prepared for the block, or its exact gate in the block.
  std::vector<std::unique_ptr<PreparedGate<T>>> prepared;
  std::vector<std::optional<blocks::LocalGate<T>>> exact;
  std::vector<std::uint64_t> conditions;
  for (const FusedOp& op : ops) {
    std::uint64_t c = 0;
    if (op.exact) {
      exact.push_back(blocks::local_gate<T>(*op.exact, set, k.x));
      prepared.push_back(nullptr);
      c = exact.back()->conditions;
    } else {
      exact.push_back(std::nullopt);
      prepared.push_back(k.fused.prepare(local_gate<T>(op, set, c), b));
    }
    conditions.push_back(c);
  }
  const auto& in_cache = k.exact.functions(core::Placement::InCache);
  const std::uint64_t block_len = bit(b);
  const unsigned run_qubits = static_cast<unsigned>(std::countr_one(set));
  const std::uint64_t run_len = bit(run_qubits);
  const std::uint64_t spread = set & ~(run_len - 1);
  std::vector<std::uint64_t> run_offsets(block_len / run_len);
  for (std::uint64_t r = 0; r < run_offsets.size(); ++r) {
    run_offsets[r] = blocks::deposit_bits(r, spread);
  }
  const std::uint64_t outside = (v.size() - 1) & ~set;
  const std::uint64_t count = v.size() >> b;
  const bool in_place = spread == 0;
  core::parallel_for(0, count, 1, [&](std::uint64_t begin, std::uint64_t end) {
    Complex<T>* buffer = in_place ? nullptr : blocks::thread_buffer<T>(block_len);
    for (std::uint64_t i = begin; i < end; ++i) {
      const std::uint64_t first_index = blocks::deposit_bits(blocks::block_at(i, count), outside);
      Complex<T>* const first = v.data() + first_index;
      Complex<T>* const block = in_place ? first : buffer;
      if (!in_place) {
        blocks::copy_runs(
            run_offsets, run_len, [&](std::uint64_t r) { return first + run_offsets[r]; },
            [&](std::uint64_t r) { return block + r * run_len; }, false);
      }
      for (std::size_t j = 0; j < prepared.size(); ++j) {
        if ((first_index & conditions[j]) != conditions[j]) {
          continue;
        }
        if (exact[j]) {
          const blocks::LocalGate<T>& g = *exact[j];
          blocks::apply_gate(in_cache, std::span<Complex<T>>(block, block_len), g.kind, g.matrix,
                             k.x, g.qubits);
        } else {
          prepared[j]->apply(block, 0, prepared[j]->units);
        }
      }
      if (phase != nullptr) {
        multiply_by_phase(std::span<Complex<T>>(block, block_len), *phase);
      }
      if (!in_place) {
        blocks::copy_runs(
            run_offsets, run_len, [&](std::uint64_t r) { return block + r * run_len; },
            [&](std::uint64_t r) { return first + run_offsets[r]; }, true);
      }
    }
  });
}

}  // namespace

// Measured with fusion_bench on the shared workloads at 24 qubits (see the README): at f32 the
// widths 3 to 5 ran within the machine's noise of each other, with 3 ahead on random circuits;
// at f64, 4 and 5 were ahead.
unsigned best_fusion(bool single_precision) { return single_precision ? 3 : 4; }

template <typename T>
void execute_fused_plan(std::span<Complex<T>> v, std::span<const FusedOp> plan,
                        std::optional<double> phase) {
  const auto n = static_cast<unsigned>(std::bit_width(v.size()) - 1);
  // The implementation is chosen here, on the calling thread, for every pass and every worker.
  const core::kernels::KernelTable<T>& table = core::kernels::active_table<T>();
  const Kernels<T> kernels{table, core::kernels::fused_kernels<T>(table.name)};
  std::optional<PhaseFactor<T>> factor;
  if (phase.has_value()) {
    factor.emplace(*phase);
  }
  // A fused pass computes far more per amplitude than it copies, so its blocks fill a core's
  // level-2 cache (the exact passes' blocks fill a quarter of it).
  const unsigned b = forced_block_qubits != nullptr
                         ? *forced_block_qubits
                         : cache_blocking(sizeof(Complex<T>)).block_qubits + 2;
  if (b == 0 || n <= b) {
    for (const FusedOp& op : plan) {
      run_over_state(kernels, v, n, op);
    }
    if (factor) {
      multiply_all_by_phase(v, *factor);
    }
    return;
  }
  const std::uint64_t low = bit(std::min(b, LOW_QUBITS)) - 1;
  // exact_run[i]: how many operations from i on run through their exact kernels.
  std::vector<std::size_t> exact_run(plan.size() + 1, 0);
  for (std::size_t i = plan.size(); i-- > 0;) {
    exact_run[i] = plan[i].exact ? exact_run[i + 1] + 1 : 0;
  }
  std::size_t i = 0;
  while (i < plan.size()) {
    if (exact_run[i] >= EXACT_RUN) {
      // Gates that joined nothing, one after another (a CX chain): the exact engine's passes,
      // with its calibrated blocking, run them as exact execution does.
      std::vector<Operation> gates;
      for (std::size_t j = i; j < i + exact_run[i]; ++j) {
        gates.emplace_back(*plan[j].exact);
      }
      execute_operations(v, std::span<const Operation>(gates), std::nullopt);
      i += exact_run[i];
      continue;
    }
    std::uint64_t set = low;
    std::size_t j = i;
    for (; j < plan.size() && exact_run[j] < EXACT_RUN; ++j) {
      const std::uint64_t need = target_mask(plan[j]);
      if (std::popcount(set | need) > static_cast<int>(b)) {
        break;
      }
      set |= need;
    }
    if (j == i) {
      // An operation wider than a block (only with very small blocks) runs over the state.
      run_over_state(kernels, v, n, plan[i]);
      ++i;
      continue;
    }
    while (std::popcount(set) < static_cast<int>(b)) {
      set |= ~set & (set + 1);
    }
    const bool last = j == plan.size();
    run_blockwise(kernels, v, plan.subspan(i, j - i), set, last && factor ? &*factor : nullptr);
    if (last) {
      factor.reset();
    }
    i = j;
  }
  if (factor) {
    multiply_all_by_phase(v, *factor);
  }
}

std::vector<FusedOp> plan_operations(std::span<const Operation> ops, unsigned k) {
  FusionOptions options;
  options.max_qubits = k;
  return plan_fusion(fusion_gates(ops), options);
}

template <typename T>
bool execute_fused(std::span<Complex<T>> v, std::span<const Operation> ops,
                   std::optional<double> phase, unsigned k) {
  bool measured = false;
  for (const Operation& op : ops) {
    measured = measured || !is_gate(op);
  }
  execute_fused_plan<T>(v, plan_operations(ops, k), phase);
  return measured;
}

namespace testing {
void run_with_fused_blocks(unsigned block_qubits, const std::function<void()>& fn) {
  const unsigned* outer = forced_block_qubits;
  forced_block_qubits = &block_qubits;
  try {
    fn();
  } catch (...) {
    forced_block_qubits = outer;
    throw;
  }
  forced_block_qubits = outer;
}
}  // namespace testing

template void execute_fused_plan<float>(std::span<Complex<float>>, std::span<const FusedOp>,
                                        std::optional<double>);
template void execute_fused_plan<double>(std::span<Complex<double>>, std::span<const FusedOp>,
                                         std::optional<double>);
template bool execute_fused<float>(std::span<Complex<float>>, std::span<const Operation>,
                                   std::optional<double>, unsigned);
template bool execute_fused<double>(std::span<Complex<double>>, std::span<const Operation>,
                                    std::optional<double>, unsigned);

}  // namespace vorn::sim
