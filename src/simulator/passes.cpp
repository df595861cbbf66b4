// The passes of an operation list: planning, gate-by-gate passes through the kernels on the
// pool, and blockwise passes whose blocks are spread over the pool.
#include "simulator/passes.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <string>
#include <type_traits>
#include <utility>

#include "core/abort.h"
#include "core/gates.h"
#include "core/kernels.h"
#include "core/kernels/dispatch.h"
#include "core/parallel.h"
#include "simulator/blocks.h"
#include "simulator/calibration.h"
#include "simulator/messages.h"

namespace vorn::sim {
namespace {

using blocks::apply_gate;
using blocks::block_at;
using blocks::controls_may_stay_outside;
using blocks::copy_runs;
using blocks::deposit_bits;
using blocks::gate_matrix;
using blocks::local_gate;
using blocks::LocalGate;
using blocks::thread_buffer;
using core::Complex;
using core::Placement;
template <typename T>
using KernelFunctions = core::kernels::KernelFunctions<T>;
template <typename T>
using KernelTable = core::kernels::KernelTable<T>;

constexpr std::uint64_t bit(unsigned q) { return std::uint64_t{1} << q; }

// The qubits inside one vector register at most: 8 f32 amplitudes of AVX-512.
constexpr unsigned LANE_QUBITS = 3;

enum class PassKind { GateByGate, InPlace, Gathered };

// The gate's operands as a mask, or nullopt when one is not below num_qubits: such a gate runs
// through its kernel, which refuses it.
std::optional<std::uint64_t> operand_mask(const GateOp& op, unsigned num_qubits) {
  std::uint64_t mask = 0;
  for (unsigned i = 0; i < op.arity(); ++i) {
    if (op.qubits[i] >= num_qubits) {
      return std::nullopt;
    }
    mask |= bit(static_cast<unsigned>(op.qubits[i]));
  }
  return mask;
}

// A controlled gate's operands as a mask, or nullopt as for operand_mask.
std::optional<std::uint64_t> operand_mask(const ControlledGate& op, unsigned num_qubits) {
  std::uint64_t mask = 0;
  for (const std::uint64_t q : op.qubits()) {
    if (q >= num_qubits) {
      return std::nullopt;
    }
    mask |= bit(static_cast<unsigned>(q));
  }
  return mask;
}

// A control from this qubit on leaves whole 128-byte pairs of cache lines untouched where it is 0,
// in either precision, so that its kernel reads and writes half the state.
constexpr unsigned HIGH_CONTROL = 4;

// The arithmetic of a gate's kernel per amplitude of the state, in single-qubit gates: the
// controlled kernels compute where their controls are 1, the 4x4 kernel four products per
// amplitude instead of two, and the controlled exchange only moves amplitudes.
double arithmetic_weight(GateKind kind) {
  switch (kind) {
    case GateKind::CX:
      return 0.5;
    case GateKind::CCX:
    case GateKind::CSWAP:
      return 0.25;
    case GateKind::CZ:
    case GateKind::SWAP:
      return 2.0;
    default:
      return 1.0;
  }
}

// The planner's costs per operation, from PassCosts: a gate through its kernel costs its trip
// through the state beyond its arithmetic (half of it for CX and CCX with high controls) plus
// its arithmetic; a gate of a blockwise pass costs its arithmetic, halved for each control left
// outside the pass's set (the blocks where it is 0 leave the gate out); a pass costs its trip
// beyond the arithmetic of one gate.
struct PlanningCosts {
  double arithmetic;
  double gate_memory;
  double controlled_memory;
  double in_place_overhead;
  double gathered_overhead;

  explicit PlanningCosts(const PassCosts& c)
      : arithmetic(std::max(0.0, c.arithmetic)),
        gate_memory(std::max(0.0, c.gate - arithmetic)),
        controlled_memory(std::max(0.0, c.controlled - arithmetic / 2)),
        in_place_overhead(std::max(0.0, c.in_place - arithmetic)),
        gathered_overhead(std::max(0.0, c.gathered - arithmetic)) {}

  double through_kernel(const GateOp& op) const {
    const GateKind kind = op.kind();
    if (core::arity(kind) == 1) {
      return gate_memory + arithmetic;
    }
    bool high = controls_may_stay_outside(op);
    for (unsigned i = 0; high && i + 1 < op.arity(); ++i) {
      high = op.qubits[i] >= HIGH_CONTROL;
    }
    return (high ? controlled_memory : gate_memory) + arithmetic_weight(kind) * arithmetic;
  }

  // A controlled gate computes where its controls hold their values: a half per control.
  double through_kernel(const ControlledGate& op) const {
    bool high = !op.controls.empty();
    for (const std::uint64_t q : op.controls) {
      high = high && q >= HIGH_CONTROL;
    }
    return (high ? controlled_memory : gate_memory) + controlled_weight(op) * arithmetic;
  }

  double in_pass(const ControlledGate& op) const { return controlled_weight(op) * arithmetic; }

  static double controlled_weight(const ControlledGate& op) {
    return std::ldexp(1.0, -static_cast<int>(std::min<std::size_t>(op.controls.size(), 64)));
  }

  double in_pass(const GateOp& op, std::uint64_t set) const {
    double weight = arithmetic_weight(op.kind());
    if (controls_may_stay_outside(op)) {
      for (unsigned i = 0; i + 1 < op.arity(); ++i) {
        if (op.qubits[i] >= 64 || (set & bit(static_cast<unsigned>(op.qubits[i]))) == 0) {
          weight /= 2;
        }
      }
    }
    return weight * arithmetic;
  }
};

// The qubits a gate needs in a pass's set, or nullopt as for operand_mask: the target alone when
// the controls may stay outside, else every operand.
std::optional<std::uint64_t> block_operands(const GateOp& op, unsigned num_qubits) {
  const std::optional<std::uint64_t> all = operand_mask(op, num_qubits);
  if (!all.has_value() || !controls_may_stay_outside(op)) {
    return all;
  }
  return bit(static_cast<unsigned>(op.qubits[op.arity() - 1]));
}

// A controlled gate needs its target in a pass's set; its controls may stay outside (each block
// has one value of them). nullopt as for operand_mask.
std::optional<std::uint64_t> block_operands(const ControlledGate& op, unsigned num_qubits) {
  if (!operand_mask(op, num_qubits).has_value()) {
    return std::nullopt;
  }
  return bit(static_cast<unsigned>(op.target));
}

template <typename T>
void run_blockwise(const KernelTable<T>& table, std::span<Complex<T>> v,
                   std::span<const Operation> ops, const Pass& pass, const PhaseFactor<T>* phase,
                   Placement placement) {
  // A stretch in place comes from memory with its first gate; a gathered block, and a stretch
  // after its first gate, are in the cache.
  const KernelFunctions<T>& streaming = table.functions(Placement::CallingThread);
  const KernelFunctions<T>& cached = table.functions(Placement::InCache);
  const core::Matrix2<T> x = core::matrix_2x2<T>(core::Gate{GateKind::X});
  const std::uint64_t set = pass.qubits;
  std::vector<LocalGate<T>> gates;
  for (std::size_t i = pass.first; i < pass.last; ++i) {
    if (const auto* op = std::get_if<GateOp>(&ops[i])) {
      gates.push_back(local_gate<T>(*op, set, x));
    } else if (const auto* controlled = std::get_if<ControlledGate>(&ops[i])) {
      gates.push_back(blocks::local_controlled<T>(*controlled, set));
    }
  }

  const unsigned block_qubits = static_cast<unsigned>(std::popcount(set));
  const std::uint64_t block_len = bit(block_qubits);
  // The set's lowest qubits form runs of consecutive amplitudes; the rest of the set spreads
  // the runs over the state, at the offsets of the run table.
  const unsigned run_qubits = static_cast<unsigned>(std::countr_one(set));
  const std::uint64_t run_len = bit(run_qubits);
  const std::uint64_t spread = set & ~(run_len - 1);
  std::vector<std::uint64_t> run_offsets(block_len / run_len);
  for (std::uint64_t r = 0; r < run_offsets.size(); ++r) {
    run_offsets[r] = deposit_bits(r, spread);
  }
  const std::uint64_t outside = (v.size() - 1) & ~set;
  const std::uint64_t blocks = v.size() >> block_qubits;
  const bool in_place = spread == 0;

  const auto run_blocks = [&](std::uint64_t begin, std::uint64_t end) {
    Complex<T>* buffer = in_place ? nullptr : thread_buffer<T>(block_len);
    for (std::uint64_t i = begin; i < end; ++i) {
      const std::uint64_t first_index = deposit_bits(block_at(i, blocks), outside);
      Complex<T>* const first = v.data() + first_index;
      Complex<T>* const block = in_place ? first : buffer;
      if (!in_place) {
        copy_runs(
            run_offsets, run_len, [&](std::uint64_t r) { return first + run_offsets[r]; },
            [&](std::uint64_t r) { return block + r * run_len; }, false);
      }
      const std::span<Complex<T>> local(block, block_len);
      bool in_cache = !in_place;
      for (const LocalGate<T>& g : gates) {
        if (!g.runs_in(first_index)) {
          continue;
        }
        if (g.multi) {
          core::kernels::apply_multi_controlled_gate_with(
              in_cache ? cached : streaming,
              in_cache ? Placement::InCache : Placement::CallingThread, local, g.matrix,
              g.control_mask, g.control_values, g.qubits[0]);
        } else {
          apply_gate(in_cache ? cached : streaming, local, g.kind, g.matrix, x, g.qubits);
        }
        in_cache = true;
      }
      if (phase != nullptr) {
        multiply_by_phase(local, *phase);
      }
      if (!in_place) {
        copy_runs(
            run_offsets, run_len, [&](std::uint64_t r) { return block + r * run_len; },
            [&](std::uint64_t r) { return first + run_offsets[r]; }, true);
      }
    }
  };
  if (placement == Placement::Pool) {
    core::parallel_for(0, blocks, 1, run_blocks);
  } else {
    run_blocks(0, blocks);
  }
}

thread_local const Blocking* forced_blocking = nullptr;
thread_local const PassCosts* forced_costs = nullptr;

// What the planner works with for a run on v: the blocking and costs the testing hooks pin,
// else the calibration's (measured now if need be), else the caches' blocking and the fixed
// model. A pinned blocking without pinned costs plans with the fixed model. Lists of fewer than
// two gates are never worth a calibration.
template <typename T>
std::pair<Blocking, PassCosts> planning_inputs(std::span<Complex<T>> v,
                                               std::span<const Operation> ops,
                                               const KernelTable<T>& table) {
  if (forced_blocking != nullptr) {
    return {*forced_blocking, forced_costs != nullptr ? *forced_costs : PassCosts{}};
  }
  std::size_t gates = 0;
  for (const Operation& op : ops) {
    gates += is_gate(op) ? 1 : 0;
  }
  const std::optional<Calibration> calibration =
      gates >= 2 ? calibration_for<T>(v, table) : std::nullopt;
  const Blocking blocking =
      calibration ? calibration->blocking : cache_blocking(sizeof(Complex<T>));
  if (forced_costs != nullptr) {
    return {blocking, *forced_costs};
  }
  return {blocking, calibration ? calibration->costs : PassCosts{}};
}

}  // namespace

Blocking cache_blocking(std::size_t amplitude_bytes) {
  const std::size_t level2 = cache_bytes(2);
  // Without cache information, assume 256 KiB, which every core of the last decade has.
  const std::size_t cache = level2 > 0 ? level2 : std::size_t{256} << 10;
  const auto qubits_of = [amplitude_bytes](std::size_t bytes) {
    const std::size_t amplitudes = bytes / amplitude_bytes;
    return amplitudes < 2 ? 0u : static_cast<unsigned>(std::bit_width(amplitudes) - 1);
  };
  const unsigned block_qubits = qubits_of(cache / 4);
  const unsigned low_qubits = qubits_of(2048);
  return {block_qubits, std::min(low_qubits, block_qubits), block_qubits};
}

std::vector<Pass> plan_passes(std::span<const Operation> ops, unsigned num_qubits,
                              Blocking blocking) {
  return plan_passes(ops, num_qubits, blocking, PassCosts{});
}

std::vector<Pass> plan_passes(std::span<const Operation> ops, unsigned num_qubits,
                              Blocking blocking, const PassCosts& costs) {
  return plan_with_cost(ops, num_qubits, blocking, costs).passes;
}

Plan plan_with_cost(std::span<const Operation> ops, unsigned num_qubits, Blocking blocking,
                    const PassCosts& costs) {
  Plan plan;
  std::vector<Pass>& passes = plan.passes;
  const std::size_t n = ops.size();
  // Each operation through its kernel, and the arithmetic of the gates alone.
  const PlanningCosts unit(costs);
  std::vector<double> alone(n, 0.0);
  for (std::size_t k = 0; k < n; ++k) {
    if (const auto* op = std::get_if<GateOp>(&ops[k])) {
      alone[k] = unit.through_kernel(*op);
      plan.arithmetic += unit.in_pass(*op, ~std::uint64_t{0});
    } else if (const auto* controlled = std::get_if<ControlledGate>(&ops[k])) {
      alone[k] = unit.through_kernel(*controlled);
      plan.arithmetic += unit.in_pass(*controlled);
    }
  }
  const auto gate_by_gate = [&passes](std::size_t first, std::size_t last) {
    if (!passes.empty() && passes.back().qubits == 0 && passes.back().last == first) {
      passes.back().last = last;
    } else {
      passes.push_back({first, last, 0});
    }
  };
  const unsigned b = blocking.block_qubits;
  const unsigned b_in_place = blocking.in_place_qubits == 0 ? b : blocking.in_place_qubits;
  if (b == 0 || num_qubits <= std::max(b, b_in_place)) {
    if (!ops.empty()) {
      gate_by_gate(0, ops.size());
    }
    for (const double c : alone) {
      plan.cost += c;
    }
    return plan;
  }
  // The lowest LANE_QUBITS qubits stay in every block in their own places: an operand there
  // is a lane operand of the vectorised kernels (inside one register) in the block as in the
  // state, and the kernels then take the same instructions for every amplitude, down to which
  // of two NaNs a sum passes on.
  const unsigned low_qubits = std::max(blocking.low_qubits, LANE_QUBITS);
  const std::uint64_t low = bit(std::min(low_qubits, b)) - 1;
  const std::uint64_t in_place_set = bit(b_in_place) - 1;

  // What each operation asks of a pass: nothing (0, a measurement), a set of qubits (a gate:
  // never empty), or a pass of its own (a gate with an operand out of range, which its kernel
  // refuses).
  constexpr std::uint64_t ALONE = ~std::uint64_t{0};
  std::vector<std::uint64_t> needs(n, 0);
  for (std::size_t k = 0; k < n; ++k) {
    if (const auto* op = std::get_if<GateOp>(&ops[k])) {
      needs[k] = block_operands(*op, num_qubits).value_or(ALONE);
    } else if (const auto* controlled = std::get_if<ControlledGate>(&ops[k])) {
      needs[k] = block_operands(*controlled, num_qubits).value_or(ALONE);
    }
  }
  const auto is_gate = [&needs](std::size_t k) { return needs[k] != 0; };

  // The costs of each operation as a gate of an in-place or a gathered pass (prefix sums, so
  // that a pass's arithmetic is a difference). gates[j]: gates before j.
  std::vector<double> in_place_sum(n + 1, 0.0);
  std::vector<double> gathered_sum(n + 1, 0.0);
  std::vector<std::size_t> gates(n + 1, 0);
  for (std::size_t k = 0; k < n; ++k) {
    double in_place_cost = 0.0;
    double gathered_cost = 0.0;
    if (const auto* op = std::get_if<GateOp>(&ops[k])) {
      in_place_cost = unit.in_pass(*op, in_place_set);
      gathered_cost = unit.in_pass(*op, low);
    } else if (const auto* controlled = std::get_if<ControlledGate>(&ops[k])) {
      in_place_cost = unit.in_pass(*controlled);
      gathered_cost = in_place_cost;
    }
    in_place_sum[k + 1] = in_place_sum[k] + in_place_cost;
    gathered_sum[k + 1] = gathered_sum[k] + gathered_cost;
    gates[k + 1] = gates[k] + (is_gate(k) ? 1 : 0);
  }

  // For each end j, the earliest start of a run [start, j) of each kind that fits; every later
  // start fits too.
  struct Window {
    std::size_t start = 0;
    std::uint64_t needed = 0;
    std::array<std::uint32_t, 64> count{};

    void add(std::uint64_t mask) {
      for (; mask != 0; mask &= mask - 1) {
        const unsigned q = static_cast<unsigned>(std::countr_zero(mask));
        if (count[q]++ == 0) {
          needed |= bit(q);
        }
      }
    }
    void drop_front(const std::vector<std::uint64_t>& needs) {
      for (std::uint64_t mask = needs[start]; mask != 0; mask &= mask - 1) {
        const unsigned q = static_cast<unsigned>(std::countr_zero(mask));
        if (--count[q] == 0) {
          needed &= ~bit(q);
        }
      }
      ++start;
    }
    void reset(std::size_t at) { *this = Window{at, 0, {}}; }
  };
  Window in_place;
  Window gathered;

  // best[j]: the least cost of ops [0, j). A blockwise pass [s, j) of a kind costs its overhead
  // plus the arithmetic of its gates, sum[j] - sum[s]; the best start is the one of least
  // best[s] - sum[s] among the starts that fit and leave at least two gates in the pass (a pass
  // of one gate saves nothing over its kernel), found by a sliding minimum: the candidates in
  // increasing order of start and of that key, a start entering once it has two gates after it.
  std::vector<double> best(n + 1, 0.0);
  std::vector<std::size_t> from(n + 1, 0);
  std::vector<PassKind> kind(n + 1, PassKind::GateByGate);
  struct Candidates {
    const std::vector<double>& best;
    const std::vector<double>& sum;
    std::deque<std::size_t> starts;

    double key(std::size_t s) const { return best[s] - sum[s]; }
    void push(std::size_t s) {
      while (!starts.empty() && key(starts.back()) > key(s)) {
        starts.pop_back();
      }
      starts.push_back(s);
    }
    // The best start from `first` on, if any.
    std::optional<std::size_t> least_from(std::size_t first) {
      while (!starts.empty() && starts.front() < first) {
        starts.pop_front();
      }
      return starts.empty() ? std::nullopt : std::optional<std::size_t>(starts.front());
    }
  };
  Candidates in_place_starts{best, in_place_sum, {}};
  Candidates gathered_starts{best, gathered_sum, {}};
  std::size_t next_start = 0;

  for (std::size_t j = 1; j <= n; ++j) {
    const std::size_t k = j - 1;
    if (is_gate(k)) {
      if (needs[k] == ALONE) {
        in_place.reset(j);
        gathered.reset(j);
      } else {
        in_place.add(needs[k]);
        while ((in_place.needed & ~in_place_set) != 0) {
          in_place.drop_front(needs);
        }
        gathered.add(needs[k]);
        while (static_cast<unsigned>(std::popcount(gathered.needed | low)) > b) {
          gathered.drop_front(needs);
        }
      }
    }
    while (next_start < j && gates[j] - gates[next_start] >= 2) {
      in_place_starts.push(next_start);
      gathered_starts.push(next_start);
      ++next_start;
    }
    best[j] = best[k] + alone[k];
    from[j] = k;
    kind[j] = PassKind::GateByGate;
    const auto consider = [&](Candidates& candidates, const Window& w, double overhead,
                              PassKind pass_kind) {
      const std::optional<std::size_t> s = candidates.least_from(w.start);
      if (!s.has_value()) {
        return;
      }
      const double cost = candidates.key(*s) + candidates.sum[j] + overhead;
      if (cost <= best[j]) {
        best[j] = cost;
        from[j] = *s;
        kind[j] = pass_kind;
      }
    };
    consider(gathered_starts, gathered, unit.gathered_overhead, PassKind::Gathered);
    consider(in_place_starts, in_place, unit.in_place_overhead, PassKind::InPlace);
  }

  std::vector<std::size_t> ends;
  for (std::size_t j = n; j > 0; j = from[j]) {
    ends.push_back(j);
  }
  std::size_t first = 0;
  for (auto it = ends.rbegin(); it != ends.rend(); ++it) {
    const std::size_t last = *it;
    switch (kind[last]) {
      case PassKind::GateByGate:
        gate_by_gate(first, last);
        break;
      case PassKind::InPlace:
        passes.push_back({first, last, in_place_set});
        break;
      case PassKind::Gathered: {
        std::uint64_t set = low;
        for (std::size_t k = first; k < last; ++k) {
          set |= needs[k];
        }
        // Fill the set up with the lowest qubits outside it.
        while (static_cast<unsigned>(std::popcount(set)) < b) {
          set |= ~set & (set + 1);
        }
        passes.push_back({first, last, set});
        break;
      }
    }
    first = last;
  }
  plan.cost = best[n];
  return plan;
}

template <typename T>
PhaseFactor<T>::PhaseFactor(double phase)
    : c(static_cast<T>(std::cos(phase))), s(static_cast<T>(std::sin(phase))) {}

// One instruction sequence for every amplitude, wherever the span starts and however long it
// is: a vectorised loop, its peeled start and its tail may each order the operands of a sum
// differently, and the order decides which NaN a sum of two NaNs passes on. Hence no
// vectorisation here.
template <typename T>
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
void multiply_by_phase(std::span<Complex<T>> v, const PhaseFactor<T>& factor) {
  const T c = factor.c;
  const T s = factor.s;
#if defined(__clang__)
#pragma clang loop vectorize(disable) interleave(disable)
#endif
  for (Complex<T>& a : v) {
    const T re = a.re;
    const T im = a.im;
    a.re = re * c - im * s;
    a.im = im * c + re * s;
  }
}

template <typename T>
bool execute_operations(std::span<Complex<T>> v, std::span<const Operation> ops,
                        std::optional<double> phase) {
  // A length that is not a power of two runs gate by gate, where the kernels refuse it.
  const unsigned num_qubits =
      std::has_single_bit(v.size()) ? static_cast<unsigned>(std::bit_width(v.size()) - 1) : 0;
  // The implementation is chosen here, on the calling thread, for every pass and every worker.
  const KernelTable<T>& table = core::kernels::active_table<T>();
  const auto [blocking, costs] = planning_inputs<T>(v, ops, table);
  const std::vector<Pass> passes = plan_passes(ops, num_qubits, blocking, costs);
  const core::Matrix2<T> x = core::matrix_2x2<T>(core::Gate{GateKind::X});
  std::optional<PhaseFactor<T>> factor;
  if (phase.has_value()) {
    factor.emplace(*phase);
  }
  bool measured = false;
  for (std::size_t p = 0; p < passes.size(); ++p) {
    const Pass& pass = passes[p];
    for (std::size_t i = pass.first; i < pass.last; ++i) {
      measured = measured || !is_gate(ops[i]);
    }
    if (pass.qubits != 0) {
      const bool last = p + 1 == passes.size();
      run_blockwise(table, v, ops, pass, last && factor ? &*factor : nullptr, Placement::Pool);
      if (last) {
        factor.reset();
      }
      continue;
    }
    for (std::size_t i = pass.first; i < pass.last; ++i) {
      if (const auto* op = std::get_if<GateOp>(&ops[i])) {
        apply_gate(table.functions(Placement::Pool), v, op->kind(), gate_matrix<T>(*op, x), x,
                   op->qubits.data());
      } else if (const auto* controlled = std::get_if<ControlledGate>(&ops[i])) {
        blocks::apply_controlled(table.functions(Placement::Pool), Placement::Pool, v, *controlled);
      }
    }
  }
  if (factor) {
    multiply_by_phase(v, *factor);
  }
  return measured;
}

template <typename T>
void run_blockwise_pass(const KernelTable<T>& table, std::span<Complex<T>> v,
                        std::span<const Operation> ops, const Pass& pass) {
  run_blockwise<T>(table, v, ops, pass, nullptr, Placement::CallingThread);
}

namespace testing {
namespace {
// Runs fn with slot pointing at value, and restores the slot however fn ends.
template <typename V>
void run_with(const V*& slot, const V& value, const std::function<void()>& fn) {
  const V* outer = slot;
  slot = &value;
  try {
    fn();
  } catch (...) {
    slot = outer;
    throw;
  }
  slot = outer;
}
}  // namespace

void run_with_blocking(Blocking blocking, const std::function<void()>& fn) {
  run_with(forced_blocking, blocking, fn);
}

void run_with_costs(const PassCosts& costs, const std::function<void()>& fn) {
  run_with(forced_costs, costs, fn);
}
}  // namespace testing

template struct PhaseFactor<float>;
template struct PhaseFactor<double>;
template void multiply_by_phase<float>(std::span<Complex<float>>, const PhaseFactor<float>&);
template void multiply_by_phase<double>(std::span<Complex<double>>, const PhaseFactor<double>&);
template void run_blockwise_pass<float>(const KernelTable<float>&, std::span<Complex<float>>,
                                        std::span<const Operation>, const Pass&);
template void run_blockwise_pass<double>(const KernelTable<double>&, std::span<Complex<double>>,
                                         std::span<const Operation>, const Pass&);
template bool execute_operations<float>(std::span<Complex<float>>, std::span<const Operation>,
                                        std::optional<double>);
template bool execute_operations<double>(std::span<Complex<double>>, std::span<const Operation>,
                                         std::optional<double>);

}  // namespace vorn::sim
