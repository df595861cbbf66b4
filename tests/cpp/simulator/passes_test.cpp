// Passes over the state: the planner's cuts, and blockwise execution against gate-by-gate
// execution, bit for bit, on random circuits of every gate kind, special values, both
// precisions, several block sizes, pool sizes 1 to 3 and every kernel table this CPU runs
// (against gate by gate on the scalar reference).
#include "simulator/passes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/kernels.h"
#include "core/kernels/dispatch.h"
#include "core/parallel.h"
#include "random_circuit.h"
#include "simulator/engine.h"

namespace vorn::sim {
namespace {

using core::Complex;
using core::Precision;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr Blocking kGateByGate{0, 0};

std::vector<Operation> gates_on(std::initializer_list<std::vector<std::uint64_t>> operands) {
  std::vector<Operation> ops;
  for (const auto& q : operands) {
    GateOp op{
        core::Gate{q.size() == 1 ? GateKind::H : (q.size() == 2 ? GateKind::CX : GateKind::CCX)}};
    for (std::size_t i = 0; i < q.size(); ++i) {
      op.qubits[i] = q[i];
    }
    ops.emplace_back(op);
  }
  return ops;
}

std::string describe(const std::vector<Pass>& passes) {
  std::string s;
  for (const Pass& p : passes) {
    s += '[';
    s += std::to_string(p.first);
    s += ',';
    s += std::to_string(p.last);
    s += ')';
    if (p.qubits == 0) {
      s += 'g';
    } else {
      s += ':';
      s += std::to_string(p.qubits);
    }
    s += ' ';
  }
  return s;
}

TEST(PlanPasses, CutsAtTheLeastCostAndFillsGatheredSetsWithLowQubits) {
  // Blocks of 6 qubits with qubits 0 to 2 always in, stretches of 6 in place. Greedy cuts would
  // take h0 ... cx(4, 7) into one gathered pass; h0 ... h4 in place and the rest gathered
  // cost less.
  const auto ops = gates_on({{0}, {1}, {2}, {3}, {4}, {7}, {4, 7}, {5}, {9, 8, 6}});
  EXPECT_EQ(describe(plan_passes(ops, 12, {6, 3})), "[0,5):63 [5,9):231 ");
  // Fewer low qubits than a vector register holds are raised to three.
  EXPECT_EQ(describe(plan_passes(ops, 12, {6, 0})), describe(plan_passes(ops, 12, {6, 3})));
  // Stretches in place may be longer than gathered blocks.
  EXPECT_EQ(describe(plan_passes(gates_on({{0}, {6}, {3}}), 12, {5, 3, 7})), "[0,3):127 ");
  // A gathered pass costs more than two gates run by their kernels, less than three. The CCX's
  // controls stay outside the set; when they coincide it needs all its operands, as CZ does,
  // and then fits no block with h5.
  EXPECT_EQ(describe(plan_passes(gates_on({{9, 8, 6}, {5}}), 12, {5, 3})), "[0,2)g ");
  EXPECT_EQ(describe(plan_passes(gates_on({{9, 8, 6}, {5}, {6}}), 12, {5, 3})), "[0,3):103 ");
  EXPECT_EQ(describe(plan_passes(gates_on({{9, 9, 6}, {5}, {6}}), 12, {5, 3})), "[0,3)g ");
  // Neighbouring gate-by-gate passes merge: one free qubit in each block holds one gate.
  EXPECT_EQ(describe(plan_passes(gates_on({{5}, {9}, {4}}), 12, {4, 3})), "[0,3)g ");
  // Measurements travel with their pass; an operand out of range goes to its kernel, which
  // refuses it, in a pass of its own.
  std::vector<Operation> with_measure = gates_on({{1}, {2}});
  with_measure.insert(with_measure.begin() + 1, Measure{1, 0});
  with_measure.emplace_back(MeasureAll{});
  EXPECT_EQ(describe(plan_passes(with_measure, 12, {6, 3})), "[0,4):63 ");
  EXPECT_EQ(describe(plan_passes(gates_on({{1}, {2}, {12}, {1}, {3}}), 12, {6, 3})),
            "[0,2):63 [2,3)g [3,5):63 ");
  // A state that fits in a block or a stretch, and no blocking at all: gate by gate.
  EXPECT_EQ(describe(plan_passes(gates_on({{1}, {2}}), 6, {6, 3})), "[0,2)g ");
  EXPECT_EQ(describe(plan_passes(gates_on({{1}, {2}}), 7, {6, 3, 7})), "[0,2)g ");
  EXPECT_EQ(describe(plan_passes(gates_on({{1}, {2}}), 12, kGateByGate)), "[0,2)g ");
  EXPECT_TRUE(plan_passes({}, 12, {6, 3}).empty());
}

// Sweeps of single-qubit gates over every qubit: the cheapest plan keeps the half of each sweep
// on the low qubits in place, where cutting each pass as long as possible drifts away from it.
TEST(PlanPasses, SweepsKeepTheirLowHalvesInPlace) {
  std::vector<Operation> ops;
  for (std::uint64_t i = 0; i < 48; ++i) {
    ops.emplace_back(GateOp{core::Gate{GateKind::H}, {i % 16}});
  }
  const auto passes = plan_passes(ops, 16, {8, 3, 8});
  std::size_t in_place = 0;
  for (const Pass& p : passes) {
    in_place += p.qubits == 0xff ? 1 : 0;
  }
  // Each sweep: h0 ... h7 in place, h8 ... h15 in two gathered passes of five free qubits.
  EXPECT_EQ(passes.size(), 9u) << describe(passes);
  EXPECT_EQ(in_place, 3u) << describe(passes);
}

TEST(PlanPasses, CacheBlockingFitsAQuarterOfTheLevelTwoCache) {
  for (const std::size_t bytes : {8u, 16u}) {
    const Blocking b = cache_blocking(bytes);
    EXPECT_GE(b.block_qubits, 10u) << bytes;
    EXPECT_LE(b.low_qubits, b.block_qubits);
    EXPECT_EQ(std::uint64_t{bytes} << b.low_qubits, 2048u);
    EXPECT_EQ(b.in_place_qubits, b.block_qubits);
  }
  EXPECT_EQ(cache_blocking(8).block_qubits, cache_blocking(16).block_qubits + 1);
}

PassCosts costs_of(double gate, double controlled, double in_place, double gathered,
                   double arithmetic) {
  PassCosts c;
  c.gate = gate;
  c.controlled = controlled;
  c.in_place = in_place;
  c.gathered = gathered;
  c.arithmetic = arithmetic;
  return c;
}

// Costs of a machine whose kernels compute about as fast as memory streams: a gate through its
// kernel costs little more than its arithmetic, so that no gathered pass pays for itself and the
// gates on high qubits run by their kernels (those on low qubits still share in-place passes,
// which cost no more than a gate); where memory dominates, gathered passes take them.
TEST(PlanPasses, ArithmeticBoundCostsLeaveHighQubitsGateByGate) {
  std::vector<Operation> ops;
  for (std::uint64_t layer = 0; layer < 4; ++layer) {
    for (std::uint64_t q = 0; q < 12; ++q) {
      ops.emplace_back(GateOp{core::Gate{GateKind::Rx, 0.1}, {q}});
    }
  }
  const PassCosts arithmetic_bound = costs_of(1.05, 0.6, 1.05, 2.0, 1.0);
  EXPECT_EQ(describe(plan_passes(ops, 12, {6, 3}, arithmetic_bound)),
            "[0,6):63 [6,12)g [12,18):63 [18,24)g [24,30):63 [30,36)g [36,42):63 [42,48)g ");
  PassCosts memory_bound = arithmetic_bound;
  memory_bound.arithmetic = 0.3;
  const auto passes = plan_passes(ops, 12, {6, 3}, memory_bound);
  for (const Pass& p : passes) {
    EXPECT_NE(p.qubits, 0u) << describe(passes);
  }
}

// The arithmetic is the same whatever the plan, except where a control left outside a pass's
// set leaves a gate out of blocks: for lists without CX and CCX, adding the same arithmetic to
// every cost changes no cut.
TEST(PlanPasses, ArithmeticCommonToEveryPlanChangesNoCut) {
  std::mt19937_64 rng(21);
  for (int round = 0; round < 20; ++round) {
    std::vector<Operation> ops;
    for (int k = 0; k < 60; ++k) {
      const std::uint64_t a = rng() % 14;
      const std::uint64_t b = (a + 1 + rng() % 13) % 14;
      if (rng() % 4 == 0) {
        ops.emplace_back(GateOp{core::Gate{GateKind::CZ}, {a, b}});
      } else {
        ops.emplace_back(GateOp{core::Gate{GateKind::H}, {a}});
      }
    }
    const PassCosts fixed;
    const PassCosts with_arithmetic = costs_of(fixed.gate + 0.5, fixed.controlled + 0.25,
                                               fixed.in_place + 0.5, fixed.gathered + 0.5, 0.5);
    EXPECT_EQ(describe(plan_passes(ops, 14, {6, 3, 7}, with_arithmetic)),
              describe(plan_passes(ops, 14, {6, 3, 7}, fixed)))
        << round;
  }
}

// A CX whose control stays outside a gathered pass's set runs in half of its blocks: with
// enough arithmetic per gate, a chain of CX on high qubits is worth a gathered pass that the
// same chain of single-qubit gates is not.
TEST(PlanPasses, ControlsOutsideTheSetSaveArithmetic) {
  const PassCosts costs = costs_of(1.2, 0.7, 1.2, 2.0, 1.0);
  const auto chain = gates_on({{11, 10}, {10, 9}, {11, 9}, {10, 9}});
  EXPECT_EQ(describe(plan_passes(chain, 12, {6, 3}, costs)), "[0,4):1551 ");
  const auto singles = gates_on({{10}, {9}, {9}, {9}});
  EXPECT_EQ(describe(plan_passes(singles, 12, {6, 3}, costs)), "[0,4)g ");
}

// The least cost of a plan, by the costs passes.h states, found over every start of every pass
// (no sliding minimum): lists of H and CZ, whose gates need all their operands.
struct PlanCostModel {
  unsigned num_qubits;
  Blocking blocking;
  PassCosts costs;

  std::uint64_t needs(const Operation& op) const {
    const auto* g = std::get_if<GateOp>(&op);
    if (g == nullptr) {
      return 0;
    }
    std::uint64_t mask = 0;
    for (unsigned i = 0; i < g->arity(); ++i) {
      mask |= std::uint64_t{1} << g->qubits[i];
    }
    return mask;
  }
  double weight(const Operation& op) const {
    const auto* g = std::get_if<GateOp>(&op);
    return g == nullptr ? 0.0 : (g->kind() == GateKind::CZ ? 2.0 : 1.0);
  }
  double alone(const Operation& op) const {
    return weight(op) == 0.0 ? 0.0 : costs.gate - costs.arithmetic + weight(op) * costs.arithmetic;
  }
  std::uint64_t in_place_set() const { return (std::uint64_t{1} << blocking.in_place_qubits) - 1; }
  std::uint64_t low() const { return (std::uint64_t{1} << blocking.low_qubits) - 1; }

  // The cost of ops [s, e) as a blockwise pass of the kind whose set is given (in place when it
  // is in_place_set()), or nullopt where they do not fit or hold fewer than two gates.
  std::optional<double> pass(const std::vector<Operation>& ops, std::size_t s, std::size_t e,
                             bool in_place) const {
    std::uint64_t needed = 0;
    double arithmetic = 0.0;
    int gates = 0;
    for (std::size_t k = s; k < e; ++k) {
      needed |= needs(ops[k]);
      arithmetic += weight(ops[k]) * costs.arithmetic;
      gates += weight(ops[k]) > 0.0 ? 1 : 0;
    }
    const bool fits =
        in_place ? (needed & ~in_place_set()) == 0
                 : static_cast<unsigned>(std::popcount(needed | low())) <= blocking.block_qubits;
    if (!fits || gates < 2) {
      return std::nullopt;
    }
    return (in_place ? costs.in_place : costs.gathered) - costs.arithmetic + arithmetic;
  }

  double least(const std::vector<Operation>& ops) const {
    std::vector<double> best(ops.size() + 1, 0.0);
    for (std::size_t j = 1; j <= ops.size(); ++j) {
      best[j] = best[j - 1] + alone(ops[j - 1]);
      for (std::size_t s = 0; s + 1 < j; ++s) {
        for (const bool in_place : {true, false}) {
          if (const auto c = pass(ops, s, j, in_place)) {
            best[j] = std::min(best[j], best[s] + *c);
          }
        }
      }
    }
    return best.back();
  }

  double of(const std::vector<Operation>& ops, const std::vector<Pass>& passes) const {
    double total = 0.0;
    for (const Pass& p : passes) {
      if (p.qubits == 0) {
        for (std::size_t k = p.first; k < p.last; ++k) {
          total += alone(ops[k]);
        }
        continue;
      }
      const auto c = pass(ops, p.first, p.last, p.qubits == in_place_set());
      EXPECT_TRUE(c.has_value()) << "[" << p.first << "," << p.last << ") " << p.qubits;
      total += c.value_or(1e300);
    }
    return total;
  }
};

// The planner's plans cost the least there is, on random lists and random costs, and it says
// what they cost.
TEST(PlanPasses, PlansCostTheLeastThereIs) {
  std::mt19937_64 rng(22);
  std::uniform_real_distribution<double> unit(0.05, 1.0);
  for (int round = 0; round < 200; ++round) {
    std::vector<Operation> ops;
    const int length = 5 + static_cast<int>(rng() % 40);
    for (int k = 0; k < length; ++k) {
      const std::uint64_t a = rng() % 12;
      const std::uint64_t b = (a + 1 + rng() % 11) % 12;
      switch (rng() % 8) {
        case 0:
          ops.emplace_back(GateOp{core::Gate{GateKind::CZ}, {a, b}});
          break;
        case 1:
          ops.emplace_back(Measure{a, 0});
          break;
        default:
          ops.emplace_back(GateOp{core::Gate{GateKind::H}, {rng() % 2 == 0 ? a % 7 : a}});
      }
    }
    const double arithmetic = unit(rng);
    const double gate = arithmetic + unit(rng);
    const double in_place = arithmetic + unit(rng);
    const double gathered = arithmetic + 3 * unit(rng);
    const PlanCostModel model{12, {6, 3, 7}, costs_of(gate, gate, in_place, gathered, arithmetic)};
    const Plan plan = plan_with_cost(ops, 12, model.blocking, model.costs);
    const std::vector<Pass>& passes = plan.passes;
    EXPECT_EQ(describe(passes), describe(plan_passes(ops, 12, model.blocking, model.costs)));
    double arithmetic_alone = 0.0;
    double gate_by_gate = 0.0;
    for (const Operation& op : ops) {
      arithmetic_alone += model.weight(op) * arithmetic;
      gate_by_gate += model.alone(op);
    }
    EXPECT_NEAR(plan.arithmetic, arithmetic_alone, 1e-9);
    // A state that fits in a block runs gate by gate, at that cost.
    const Plan small = plan_with_cost(ops, 6, model.blocking, model.costs);
    EXPECT_EQ(describe(small.passes), "[0," + std::to_string(ops.size()) + ")g ");
    EXPECT_NEAR(small.cost, gate_by_gate, 1e-9);
    std::size_t covered = 0;
    for (const Pass& p : passes) {
      EXPECT_EQ(p.first, covered) << describe(passes);
      covered = p.last;
    }
    EXPECT_EQ(covered, ops.size());
    EXPECT_NEAR(model.of(ops, passes), model.least(ops), 1e-9) << round << " " << describe(passes);
    EXPECT_NEAR(plan.cost, model.least(ops), 1e-9) << round;
  }
}

template <typename T>
class PassesTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(PassesTest, Precisions);

// The kernel tables this CPU runs, the scalar reference last.
std::vector<std::string> table_names() {
  std::vector<std::string> names;
  for (const auto* table : core::kernels::available_tables<double>()) {
    names.emplace_back(table->name);
  }
  return names;
}

// Runs fn with the kernel table of this name, the given blocking (none: the plan of the
// calibration, measured on the state if need be) and pool size.
void run_configured(const std::string& table, std::optional<Blocking> blocking, std::size_t threads,
                    const std::function<void()>& fn) {
  ASSERT_TRUE(core::testing::run_with_kernel_table(table, [&] {
    core::testing::run_with_pool_size(threads, [&] {
      if (blocking.has_value()) {
        testing::run_with_blocking(*blocking, fn);
      } else {
        fn();
      }
    });
  })) << table;
}

template <typename T>
std::vector<Complex<T>> state_after(const std::vector<Complex<T>>& initial,
                                    const std::vector<Operation>& ops, std::optional<double> phase,
                                    Blocking blocking, std::size_t threads,
                                    const std::string& table = "reference") {
  std::vector<Complex<T>> v = initial;
  run_configured(table, blocking, threads, [&] { execute_operations<T>(v, ops, phase); });
  return v;
}

// The one NaN of these tests: the one the processor makes of an invalid operation (0 * inf,
// cos(inf)), negative on x86. Which of two different NaNs a sum passes on is not part of the
// formula (the compiler may order a sum's operands either way), so every NaN in play here has
// the same bits, and the results are then defined to the bit.
template <typename T>
T processor_nan() {
  volatile T zero = 0;
  return zero * std::numeric_limits<T>::infinity();
}

// Angles for the differential circuits: mostly ordinary, sometimes NaN or infinite, which turns
// whole regions of the state into NaN through the gates' own arithmetic.
double unusual_angle(std::mt19937_64& rng) {
  switch (rng() % 40) {
    case 0:
      return processor_nan<double>();
    case 1:
      return std::numeric_limits<double>::infinity();
    default:
      return std::uniform_real_distribution<double>(-7.0, 7.0)(rng);
  }
}

// Every gate kind, operands anywhere (coinciding ones too), measurements and global phases in
// between.
Circuit differential_circuit(std::mt19937_64& rng, std::uint64_t n, std::size_t operations,
                             bool unusual_angles) {
  test::RandomCircuitSpec spec;
  spec.qubits = n;
  spec.operations = operations;
  spec.coinciding = true;
  using test::Draw;
  for (const Draw draw : {Draw::Measure, Draw::MeasureAll, Draw::GlobalPhase}) {
    spec.choices.push_back({draw});
  }
  if (unusual_angles) {
    spec.angle = unusual_angle;
  }
  return test::random_circuit(rng, spec);
}

// A state of random amplitudes with negative zeros, infinities and NaN mixed in.
template <typename T>
std::vector<Complex<T>> special_state(unsigned n, std::mt19937_64& rng) {
  std::uniform_real_distribution<T> unit(-1, 1);
  const T specials[] = {T(-0.0), T(0), std::numeric_limits<T>::infinity(),
                        -std::numeric_limits<T>::infinity(), processor_nan<T>()};
  std::vector<Complex<T>> v(std::uint64_t{1} << n);
  for (auto& a : v) {
    a.re = rng() % 64 == 0 ? specials[rng() % 5] : unit(rng);
    a.im = rng() % 64 == 0 ? specials[rng() % 5] : unit(rng);
  }
  return v;
}

// The blockings a differential case runs under: tiny blocks (many short passes), blocks
// without low qubits, stretches in place longer than the blocks, one qubit short of the state,
// and the caches' own.
std::vector<Blocking> blockings_for(unsigned n, std::size_t amplitude_bytes) {
  return {{5, 2, 8}, {7, 0}, {9, 4, 11}, {n - 1, 3}, cache_blocking(amplitude_bytes)};
}

// Whether a and b hold the same bits, where a NaN may stand for any NaN when nan_blind. A table's
// blocked passes run its kernels' own instructions on every amplitude, so they keep even the
// sign of its NaNs; which of two NaNs a sum passes on is not part of the formula, and the
// scalar reference's serial and parallel loops, or two tables, may choose differently where
// NaNs of both signs meet (a NaN angle makes them: sin(NaN) and -sin(NaN)).
template <typename T>
bool same_bits(std::span<const Complex<T>> a, std::span<const Complex<T>> b, bool nan_blind) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::memcmp(&a[i], &b[i], sizeof(a[i])) == 0) {
      continue;
    }
    const auto both_nan = [](T x, T y) { return std::isnan(x) && std::isnan(y); };
    const bool re_same = std::memcmp(&a[i].re, &b[i].re, sizeof(T)) == 0;
    const bool im_same = std::memcmp(&a[i].im, &b[i].im, sizeof(T)) == 0;
    if (!nan_blind || !(re_same || both_nan(a[i].re, b[i].re)) ||
        !(im_same || both_nan(a[i].im, b[i].im))) {
      return false;
    }
  }
  return true;
}

// Random circuits from the zero state through run(): statevector and counts are those of
// gate-by-gate execution, for every table, blocking and pool size; each table's gate-by-gate
// run gives the bits of the reference's.
TYPED_TEST(PassesTest, RunsMatchGateByGateExecution) {
  using T = TypeParam;
  const Precision precision = std::is_same_v<T, float> ? Precision::F32 : Precision::F64;
  std::mt19937_64 rng(std::is_same_v<T, float> ? 5 : 6);
  const std::vector<unsigned> sizes =
      kSanitized ? std::vector<unsigned>{13, 15} : std::vector<unsigned>{13, 15, 17, 20, 22};
  std::size_t turn = 0;
  for (const unsigned n : sizes) {
    // NaN and infinite angles at one size.
    const bool unusual = n == 15;
    const Circuit c = differential_circuit(rng, n, n <= 17 ? 150 : 40, unusual);
    const auto run_with = [&](const std::string& table, std::optional<Blocking> blocking,
                              std::size_t threads) {
      std::optional<SimulationResult> r;
      run_configured(table, blocking, threads, [&] { r.emplace(run(c, 300, 11, precision)); });
      return std::get<RunResult<T>>(std::move(*r));
    };
    const RunResult<T> reference = run_with("reference", kGateByGate, 2);
    for (const std::string& table : table_names()) {
      if (table == "reference" && n > 17) {
        continue;  // slow, and already held to its gate-by-gate bits at the smaller sizes
      }
      const RunResult<T> expected = run_with(table, kGateByGate, 1 + turn++ % 3);
      EXPECT_TRUE(same_bits<T>(expected.statevector.amplitudes(),
                               reference.statevector.amplitudes(), unusual))
          << table << " gate by gate, n=" << n;
      EXPECT_EQ(expected.counts, reference.counts) << table << " n=" << n;
      for (const Blocking blocking : blockings_for(n, sizeof(Complex<T>))) {
        const std::size_t threads = 1 + turn++ % 3;
        const RunResult<T> got = run_with(table, blocking, threads);
        // Where two different NaNs meet, which one comes out is the compiler's choice and may
        // differ between the blocked and the gate-by-gate code of one table (sanitised builds
        // show it): NaN-ness, infinities, signed zeros and every other bit must agree.
        EXPECT_TRUE(
            same_bits<T>(got.statevector.amplitudes(), expected.statevector.amplitudes(), unusual))
            << table << " n=" << n << " blocks of " << blocking.block_qubits << " qubits, "
            << blocking.low_qubits << " low, threads " << threads;
        EXPECT_EQ(got.counts, expected.counts) << table << " n=" << n;
      }
      // The machine's own plan, from a calibration measured on the run's fresh state at the
      // first run of each size.
      const RunResult<T> got = run_with(table, std::nullopt, 1 + turn++ % 3);
      EXPECT_TRUE(
          same_bits<T>(got.statevector.amplitudes(), expected.statevector.amplitudes(), unusual))
          << table << " n=" << n << " calibrated";
      EXPECT_EQ(got.counts, expected.counts) << table << " n=" << n << " calibrated";
    }
  }
}

// States holding NaN, infinities and negative zeros, NaN and infinite angles, and the global
// phase folded into the last pass: every table and blocking gives the bits of gate-by-gate
// execution on the same table, and each table's those of the reference up to NaN signs.
TYPED_TEST(PassesTest, SpecialValuesMatchGateByGateExecution) {
  using T = TypeParam;
  std::mt19937_64 rng(std::is_same_v<T, float> ? 7 : 8);
  for (const unsigned n : {13u, 14u}) {
    const std::vector<Complex<T>> initial = special_state<T>(n, rng);
    const Circuit c = differential_circuit(rng, n, 120, true);
    const std::vector<Operation>& ops = c.ops();
    for (const std::optional<double> phase : {std::optional<double>{}, std::optional<double>{0.7},
                                              std::optional<double>{processor_nan<double>()}}) {
      const auto reference = state_after<T>(initial, ops, phase, kGateByGate, 1);
      std::size_t threads = 1;
      for (const std::string& table : table_names()) {
        const auto expected = state_after<T>(initial, ops, phase, kGateByGate, 2, table);
        EXPECT_TRUE(same_bits<T>(expected, reference, true)) << table << " n=" << n;
        for (const Blocking blocking : blockings_for(n, sizeof(Complex<T>))) {
          EXPECT_TRUE(same_bits<T>(state_after<T>(initial, ops, phase, blocking, threads, table),
                                   expected, table == "reference"))
              << table << " n=" << n << " blocks of " << blocking.block_qubits << " qubits, "
              << blocking.low_qubits << " low, threads " << threads << " phase "
              << phase.value_or(0.0) << (phase ? "" : " (none)");
          threads = threads % 3 + 1;
        }
      }
    }
  }
}

// The global phase in the last blockwise pass and as a pass of its own give the same bits, and
// apply_operations alone leaves the phase to its caller.
TYPED_TEST(PassesTest, FoldedPhaseEqualsSeparatePhase) {
  using T = TypeParam;
  std::mt19937_64 rng(9);
  const unsigned n = 14;
  const std::vector<Complex<T>> initial = special_state<T>(n, rng);
  std::vector<Operation> ops;
  for (const std::uint64_t q : {0u, 1u, 2u, 12u, 13u}) {
    ops.emplace_back(GateOp{core::Gate{GateKind::Ry, 0.3 * static_cast<double>(q + 1)}, {q}});
  }
  const Blocking blocking{8, 2};
  ASSERT_NE(plan_passes(ops, n, blocking).back().qubits, 0u);
  std::vector<Complex<T>> separate = initial;
  testing::run_with_blocking(blocking, [&] {
    apply_operations<T>(separate, ops);
    apply_global_phase<T>(separate, -2.5);
  });
  EXPECT_TRUE(same_bits<T>(state_after<T>(initial, ops, -2.5, blocking, 2), separate, false));
  EXPECT_FALSE(
      same_bits<T>(state_after<T>(initial, ops, std::nullopt, blocking, 2), separate, false));
}

}  // namespace
}  // namespace vorn::sim
