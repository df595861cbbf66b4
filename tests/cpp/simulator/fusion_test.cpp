// Gate fusion: the planner's groups and matrices, the fused kernels of every instruction set
// against the scalar ones bit for bit, and fused runs against exact f64 runs (fidelity), against
// themselves over block and pool sizes (bit for bit), and on the cases other simulators' fusion
// got wrong (a lost global phase, reversed operands, diagonal runs across controls).
#include "simulator/fusion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/kernels.h"
#include "core/kernels/dispatch.h"
#include "core/kernels/fused.h"
#include "core/parallel.h"
#include "core/state_vector.h"
#include "random_circuit.h"
#include "simulator/engine.h"
#include "simulator/fused_passes.h"

namespace vorn::sim {
namespace {

using core::Complex;
using core::kernels::FusedGate;
using Cd = std::complex<double>;
using test::Draw;
using test::random_circuit;
using test::RandomCircuitSpec;

template <typename T>
std::vector<Complex<T>> random_state(std::mt19937_64& rng, unsigned n) {
  std::normal_distribution<double> normal;
  std::vector<Complex<T>> v(std::size_t{1} << n);
  for (auto& a : v) {
    a = {static_cast<T>(normal(rng)), static_cast<T>(normal(rng))};
  }
  return v;
}

// A Haar-like random unitary of dimension dim (Gram-Schmidt over Gaussian columns).
std::vector<Complex<double>> random_unitary(std::mt19937_64& rng, std::size_t dim) {
  std::normal_distribution<double> normal;
  std::vector<std::vector<Cd>> cols(dim, std::vector<Cd>(dim));
  for (std::size_t c = 0; c < dim; ++c) {
    for (auto& x : cols[c]) {
      x = {normal(rng), normal(rng)};
    }
    for (std::size_t p = 0; p < c; ++p) {
      Cd dot = 0;
      for (std::size_t r = 0; r < dim; ++r) {
        dot += std::conj(cols[p][r]) * cols[c][r];
      }
      for (std::size_t r = 0; r < dim; ++r) {
        cols[c][r] -= dot * cols[p][r];
      }
    }
    double norm = 0;
    for (const Cd& x : cols[c]) {
      norm += std::norm(x);
    }
    for (Cd& x : cols[c]) {
      x /= std::sqrt(norm);
    }
  }
  std::vector<Complex<double>> m(dim * dim);
  for (std::size_t r = 0; r < dim; ++r) {
    for (std::size_t c = 0; c < dim; ++c) {
      m[r * dim + c] = {cols[c][r].real(), cols[c][r].imag()};
    }
  }
  return m;
}

// The gate applied to a state in long double from its definition: for every index with the
// controls 1, output row r (the targets' bits of the index) sums the matrix row times the
// amplitudes of the same index with the targets set to each column.
template <typename T>
std::vector<std::complex<long double>> oracle(const std::vector<Complex<T>>& v,
                                              const FusedGate<T>& g) {
  std::vector<std::complex<long double>> out(v.size());
  const std::size_t dim = std::size_t{1} << g.targets.size();
  for (std::size_t i = 0; i < v.size(); ++i) {
    if ((i & g.controls) != g.controls) {
      out[i] = {v[i].re, v[i].im};
      continue;
    }
    std::size_t row = 0;
    std::size_t base = i;
    for (std::size_t j = 0; j < g.targets.size(); ++j) {
      row |= ((i >> g.targets[j]) & 1) << j;
      base &= ~(std::size_t{1} << g.targets[j]);
    }
    if (g.diagonal) {
      const Complex<T> d = g.entries[row];
      out[i] = std::complex<long double>(d.re, d.im) * std::complex<long double>(v[i].re, v[i].im);
      continue;
    }
    std::complex<long double> sum = 0;
    for (std::size_t c = 0; c < dim; ++c) {
      std::size_t index = base;
      for (std::size_t j = 0; j < g.targets.size(); ++j) {
        index |= ((c >> j) & 1) << g.targets[j];
      }
      const Complex<T> m = g.entries[row * dim + c];
      sum += std::complex<long double>(m.re, m.im) *
             std::complex<long double>(v[index].re, v[index].im);
    }
    out[i] = sum;
  }
  return out;
}

// A random fused gate on n qubits: t targets (increasing), up to two controls or a diagonal.
template <typename T>
FusedGate<T> random_fused_gate(std::mt19937_64& rng, unsigned n, unsigned t, bool diagonal,
                               unsigned controls) {
  std::vector<unsigned> qubits(n);
  for (unsigned q = 0; q < n; ++q) {
    qubits[q] = q;
  }
  std::shuffle(qubits.begin(), qubits.end(), rng);
  FusedGate<T> g;
  g.diagonal = diagonal;
  g.targets.assign(qubits.begin(), qubits.begin() + t);
  std::sort(g.targets.begin(), g.targets.end());
  if (!diagonal) {
    for (unsigned c = 0; c < controls; ++c) {
      g.controls |= std::uint64_t{1} << qubits[t + c];
    }
  }
  const std::size_t dim = std::size_t{1} << t;
  std::uniform_real_distribution<double> angle(-4.0, 4.0);
  if (diagonal) {
    for (std::size_t k = 0; k < dim; ++k) {
      const double a = angle(rng);
      g.entries.push_back({static_cast<T>(std::cos(a)), static_cast<T>(std::sin(a))});
    }
  } else {
    for (const Complex<double>& e : random_unitary(rng, dim)) {
      g.entries.push_back({static_cast<T>(e.re), static_cast<T>(e.im)});
    }
  }
  return g;
}

template <typename T>
class FusedKernelTest : public ::testing::Test {};
using Floats = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FusedKernelTest, Floats);

// Every table this CPU runs gives the scalar kernel's bits, which agree with the definition to
// rounding: every target count, targets inside and outside a register (random placements over
// few qubits put them low often), controls inside and outside, diagonals.
TYPED_TEST(FusedKernelTest, EveryTableMatchesTheScalarKernelBitForBit) {
  using T = TypeParam;
  const double tol = std::is_same_v<T, float> ? 2e-5 : 1e-13;
  std::mt19937_64 rng(2026);
  for (const unsigned n : {1u, 3u, 6u, 9u}) {
    for (unsigned t = 1; t <= core::kernels::MAX_DIAGONAL_QUBITS && t <= n; ++t) {
      for (const bool diagonal : {false, true}) {
        if (!diagonal && t > core::kernels::MAX_FUSED_TARGETS) {
          continue;
        }
        for (unsigned controls = 0; controls <= (diagonal ? 0u : 2u) && t + controls <= n;
             ++controls) {
          for (int trial = 0; trial < 6; ++trial) {
            const FusedGate<T> g = random_fused_gate<T>(rng, n, t, diagonal, controls);
            const std::vector<Complex<T>> start = random_state<T>(rng, n);
            std::vector<Complex<T>> expected = start;
            core::kernels::apply_fused_gate(core::kernels::fused_reference_kernels<T>(),
                                            std::span<Complex<T>>(expected), g);
            const auto exact = oracle(start, g);
            for (std::size_t i = 0; i < exact.size(); ++i) {
              ASSERT_NEAR(static_cast<double>(exact[i].real()), expected[i].re, tol);
              ASSERT_NEAR(static_cast<double>(exact[i].imag()), expected[i].im, tol);
            }
            for (const core::kernels::KernelTable<T>* table :
                 core::kernels::available_tables<T>()) {
              std::vector<Complex<T>> got = start;
              core::kernels::apply_fused_gate(core::kernels::fused_kernels<T>(table->name),
                                              std::span<Complex<T>>(got), g);
              ASSERT_EQ(0,
                        std::memcmp(got.data(), expected.data(), got.size() * sizeof(Complex<T>)))
                  << table->name << " n=" << n << " t=" << t << " diagonal=" << diagonal
                  << " controls=" << controls;
            }
          }
        }
      }
    }
  }
}

// A run's state with fusion of width k at T (fused_blocks: the block size, or -1 for the
// caches' own).
template <typename T>
core::StateVector<T> fused_state(const Circuit& c, unsigned k, int fused_blocks = -1) {
  core::StateVector<T> state(c.n_qubits());
  std::optional<double> phase;
  if (c.global_phase() != 0.0) {
    phase = c.global_phase();
  }
  const auto go = [&] {
    execute_fused(state.amplitudes(), std::span<const Operation>(c.ops()), phase, k);
  };
  if (fused_blocks >= 0) {
    testing::run_with_fused_blocks(static_cast<unsigned>(fused_blocks), go);
  } else {
    go();
  }
  return state;
}

std::vector<Cd> exact_state(const Circuit& c) {
  const SimulationResult r = run(c, 0, 1, core::Precision::F64);
  const auto& v = std::get<1>(r).statevector.amplitudes();
  std::vector<Cd> out;
  for (const auto& a : v) {
    out.emplace_back(a.re, a.im);
  }
  return out;
}

template <typename T>
double fidelity(const std::vector<Cd>& exact, const core::StateVector<T>& fused) {
  Cd dot = 0;
  const auto v = fused.amplitudes();
  for (std::size_t i = 0; i < exact.size(); ++i) {
    dot += std::conj(exact[i]) * Cd(v[i].re, v[i].im);
  }
  return std::norm(dot);
}

template <typename T>
double largest_difference(const std::vector<Cd>& exact, const core::StateVector<T>& fused) {
  double worst = 0;
  const auto v = fused.amplitudes();
  for (std::size_t i = 0; i < exact.size(); ++i) {
    worst = std::max(worst, std::abs(exact[i] - Cd(v[i].re, v[i].im)));
  }
  return worst;
}

RandomCircuitSpec unitary_spec(std::uint64_t n, std::size_t ops) {
  RandomCircuitSpec spec;
  spec.qubits = n;
  spec.operations = ops;
  spec.choices.push_back({Draw::GlobalPhase, GateKind::H});
  spec.coinciding = true;
  return spec;
}

// The shared workloads' gate mix: rotations, CX and CZ on random pairs, and QFT's controlled
// phases as RZ and CX.
Circuit workload_mix(std::mt19937_64& rng, unsigned n, unsigned layers) {
  Circuit c(n);
  std::uniform_real_distribution<double> angle(-3.2, 3.2);
  for (unsigned layer = 0; layer < layers; ++layer) {
    for (unsigned q = 0; q < n; ++q) {
      switch (rng() % 3) {
        case 0:
          c.rx(angle(rng), q);
          break;
        case 1:
          c.ry(angle(rng), q);
          break;
        default:
          c.rz(angle(rng), q);
      }
    }
    for (unsigned pair = 0; pair < n / 2; ++pair) {
      const std::uint64_t a = rng() % n;
      const std::uint64_t b = (a + 1 + rng() % (n - 1)) % n;
      if (rng() % 2 == 0) {
        c.cx(a, b);
      } else {
        c.cz(a, b);
      }
    }
  }
  for (unsigned j = 0; j < n; ++j) {
    c.h(j);
    for (unsigned k = j + 1; k < n; ++k) {
      const double lambda = 3.14159265358979 / static_cast<double>(1u << (k - j));
      c.rz(lambda / 2, j);
      c.cx(k, j);
      c.rz(-lambda / 2, j);
      c.cx(k, j);
      c.rz(lambda / 2, k);
    }
  }
  for (unsigned q = 0; q < n; ++q) {
    c.h(q);
  }
  for (unsigned q = 0; q + 1 < n; ++q) {
    c.cx(q, q + 1);
  }
  return c;
}

class FusionWidth : public ::testing::TestWithParam<unsigned> {};
INSTANTIATE_TEST_SUITE_P(Widths, FusionWidth, ::testing::Values(2u, 3u, 4u, 5u));

TEST_P(FusionWidth, RandomCircuitsKeepFidelityAgainstExactDoublePrecision) {
  const unsigned k = GetParam();
  std::mt19937_64 rng(1000 + k);
  for (int trial = 0; trial < 40; ++trial) {
    const std::uint64_t n = 2 + rng() % 9;
    RandomCircuitSpec spec = unitary_spec(n, 60 + rng() % 120);
    if (trial % 2 == 1) {
      // Mostly diagonal gates between controls: long diagonal runs that may and may not join.
      for (const GateKind kind : {GateKind::Rz, GateKind::CZ, GateKind::T, GateKind::S, GateKind::Z,
                                  GateKind::Rz, GateKind::CZ}) {
        for (int copies = 0; copies < 3; ++copies) {
          spec.choices.push_back({Draw::Gate, kind});
        }
      }
    }
    const Circuit c = random_circuit(rng, spec);
    const std::vector<Cd> exact = exact_state(c);
    const auto f64 = fused_state<double>(c, k);
    const auto f32 = fused_state<float>(c, k);
    EXPECT_GE(fidelity(exact, f64), 1 - 1e-12) << "n=" << n;
    EXPECT_GE(fidelity(exact, f32), 1 - 1e-5) << "n=" << n;
    EXPECT_LT(largest_difference(exact, f64), 1e-12);
    EXPECT_LT(largest_difference(exact, f32), 1e-5);
  }
}

TEST_P(FusionWidth, WorkloadMixKeepsFidelityAgainstExactDoublePrecision) {
  const unsigned k = GetParam();
  std::mt19937_64 rng(77 + k);
  const Circuit c = workload_mix(rng, 12, 8);
  const std::vector<Cd> exact = exact_state(c);
  EXPECT_GE(fidelity(exact, fused_state<double>(c, k)), 1 - 1e-12);
  EXPECT_GE(fidelity(exact, fused_state<float>(c, k)), 1 - 1e-5);
}

// Each fused matrix is unitary to 1e-13, holds at most k qubits (a diagonal at most eight), and
// the plan accounts for every gate once.
TEST_P(FusionWidth, PlannedMatricesAreUnitaryAndWithinTheirWidth) {
  const unsigned k = GetParam();
  std::mt19937_64 rng(31 + k);
  for (int trial = 0; trial < 8; ++trial) {
    const Circuit c =
        trial % 2 == 0 ? random_circuit(rng, unitary_spec(9, 150)) : workload_mix(rng, 9, 4);
    const std::vector<FusionGate> gates = fusion_gates(std::span<const Operation>(c.ops()));
    FusionOptions options;
    options.max_qubits = k;
    const std::vector<FusedOp> plan = plan_fusion(gates, options);
    std::size_t counted = 0;
    for (const FusedOp& op : plan) {
      counted += op.gates;
      const std::size_t dim = std::size_t{1} << op.targets.size();
      if (op.diagonal) {
        ASSERT_LE(op.targets.size(), core::kernels::MAX_DIAGONAL_QUBITS);
        for (const auto& d : op.entries) {
          EXPECT_NEAR(std::hypot(d.re, d.im), 1.0, 1e-13);
        }
        continue;
      }
      // A gate kept alone may hold more qubits than k with its controls; a group never does.
      if (op.gates > 1) {
        ASSERT_LE(op.targets.size(), k);
        ASSERT_EQ(op.controls, 0u);
      }
      ASSERT_EQ(op.entries.size(), dim * dim);
      for (std::size_t a = 0; a < dim; ++a) {
        for (std::size_t b = 0; b < dim; ++b) {
          Cd dot = 0;
          for (std::size_t r = 0; r < dim; ++r) {
            const auto x = op.entries[r * dim + a];
            const auto y = op.entries[r * dim + b];
            dot += std::conj(Cd(x.re, x.im)) * Cd(y.re, y.im);
          }
          EXPECT_NEAR(std::abs(dot - Cd(a == b ? 1.0 : 0.0, 0.0)), 0.0, 1e-13);
        }
      }
    }
    EXPECT_EQ(counted, gates.size());
    EXPECT_LT(plan.size(), gates.size());
  }
}

// The same bits for every block size (0: one operation per pass over the state), pool size and
// kernel table.
TEST_P(FusionWidth, SameBitsForEveryBlockPoolSizeAndInstructionSet) {
  const unsigned k = GetParam();
  std::mt19937_64 rng(5 + k);
  const Circuit c = workload_mix(rng, 14, 3);
  const auto reference = fused_state<double>(c, k, 0);
  const auto reference32 = fused_state<float>(c, k, 0);
  const auto same = [](const auto& a, const auto& b) {
    return a.len() == b.len() && std::memcmp(a.amplitudes().data(), b.amplitudes().data(),
                                             a.len() * sizeof(a.amplitudes()[0])) == 0;
  };
  for (const int blocks : {6, 8, 10, 12, -1}) {
    for (const std::size_t pool : {1u, 2u, 3u}) {
      core::testing::run_with_pool_size(pool, [&] {
        EXPECT_TRUE(same(reference, fused_state<double>(c, k, blocks)))
            << "blocks " << blocks << " pool " << pool;
        EXPECT_TRUE(same(reference32, fused_state<float>(c, k, blocks)))
            << "blocks " << blocks << " pool " << pool;
      });
    }
  }
  for (const auto* table : core::kernels::available_tables<double>()) {
    core::testing::run_with_kernel_table(table->name, [&] {
      EXPECT_TRUE(same(reference, fused_state<double>(c, k))) << table->name;
      EXPECT_TRUE(same(reference32, fused_state<float>(c, k))) << table->name;
    });
  }
}

// Small circuits other simulators' fusion got wrong, against exact f64 to 1e-14 per amplitude.
struct KnownCase {
  const char* name;
  unsigned n;
  void (*build)(Circuit&);
};

const KnownCase KNOWN_CASES[] = {
    // X S X is S up to the global phase e^{i pi/4}: a fusion that drops scalar factors loses it.
    {"h_cx_x_s_x", 2,
     [](Circuit& c) {
       c.h(0);
       c.cx(0, 1);
       c.x(1);
       c.s(1);
       c.x(1);
     }},
    // Two-qubit gates given with their operands in either order, merged into one matrix.
    {"reversed_operands", 3,
     [](Circuit& c) {
       c.h(0);
       c.ry(0.3, 1);
       c.cx(0, 1);
       c.cx(1, 0);
       c.rz(0.7, 0);
       c.cz(1, 0);
       c.swap(1, 0);
       c.cx(2, 1);
       c.u3(0.1, 0.2, 0.3, 1);
       c.cx(1, 2);
       c.swap(2, 0);
     }},
    // Diagonal runs interrupted by controls on the same qubits: a diagonal may not move across
    // the CX whose target it shares.
    {"diagonal_runs_across_controls", 3,
     [](Circuit& c) {
       c.h(0);
       c.h(1);
       c.h(2);
       c.rz(0.4, 1);
       c.t(0);
       c.cz(0, 1);
       c.cx(0, 1);
       c.rz(1.1, 1);
       c.s(0);
       c.cz(1, 2);
       c.cx(2, 0);
       c.tdg(0);
       c.rz(-0.6, 2);
       c.ccx(0, 1, 2);
       c.z(2);
       c.cswap(2, 0, 1);
       c.sdg(1);
     }},
};

TEST_P(FusionWidth, KnownFusionBugsOfOtherSimulatorsStayFixed) {
  const unsigned k = GetParam();
  for (const KnownCase& known : KNOWN_CASES) {
    Circuit c(known.n);
    known.build(c);
    const std::vector<Cd> exact = exact_state(c);
    const auto fused = fused_state<double>(c, k);
    EXPECT_LT(largest_difference(exact, fused), 1e-14) << known.name;
  }
}

// The plan is a function of the gates and k: planning twice gives the same operations, and a
// wider k never gives more of them on the workload mix.
TEST(FusionPlan, DependsOnlyOnTheGatesAndTheWidth) {
  std::mt19937_64 rng(9);
  const Circuit c = workload_mix(rng, 10, 6);
  const std::vector<FusionGate> gates = fusion_gates(std::span<const Operation>(c.ops()));
  std::size_t previous = gates.size() + 1;
  for (unsigned k = 2; k <= 5; ++k) {
    FusionOptions options;
    options.max_qubits = k;
    const auto a = plan_fusion(gates, options);
    const auto b = plan_fusion(gates, options);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].targets, b[i].targets);
      EXPECT_EQ(0, std::memcmp(a[i].entries.data(), b[i].entries.data(),
                               a[i].entries.size() * sizeof(a[i].entries[0])));
    }
    EXPECT_LE(a.size(), previous);
    previous = a.size();
  }
}

// Operations renamed onto other qubit positions (as a distributed run moves qubits) give the
// same bits at the moved places: every qubit permutation of a random plan, both precisions.
template <typename T>
void check_renamed_plan(std::mt19937_64& rng, unsigned k) {
  const unsigned n = 9;
  const Circuit c = random_circuit(rng, unitary_spec(n, 120));
  FusionOptions options;
  options.max_qubits = k;
  const std::vector<FusedOp> plan =
      plan_fusion(fusion_gates(std::span<const Operation>(c.ops())), options);
  std::vector<std::uint64_t> position(n);
  for (unsigned q = 0; q < n; ++q) {
    position[q] = q;
  }
  std::shuffle(position.begin(), position.end(), rng);
  std::vector<FusedOp> renamed;
  for (const FusedOp& op : plan) {
    renamed.push_back(renamed_op(op, position));
  }
  const auto move = [&](std::size_t i) {
    std::size_t out = 0;
    for (unsigned q = 0; q < n; ++q) {
      out |= ((i >> q) & 1) << position[q];
    }
    return out;
  };
  const std::vector<Complex<T>> start = random_state<T>(rng, n);
  std::vector<Complex<T>> expected = start;
  execute_fused_plan<T>(std::span<Complex<T>>(expected), plan, 0.25);
  std::vector<Complex<T>> moved(start.size());
  for (std::size_t i = 0; i < start.size(); ++i) {
    moved[move(i)] = start[i];
  }
  execute_fused_plan<T>(std::span<Complex<T>>(moved), renamed, 0.25);
  for (std::size_t i = 0; i < start.size(); ++i) {
    ASSERT_EQ(0, std::memcmp(&moved[move(i)], &expected[i], sizeof(Complex<T>))) << i;
  }
}

TEST_P(FusionWidth, RenamedPlansKeepTheirBitsAtTheMovedPlaces) {
  std::mt19937_64 rng(600 + GetParam());
  for (int trial = 0; trial < 6; ++trial) {
    check_renamed_plan<double>(rng, GetParam());
    check_renamed_plan<float>(rng, GetParam());
  }
}

// A gate given only as its qubits and a dense matrix fuses like the built-in ones: a random
// three-qubit unitary with operands out of order, between gates that share its qubits.
TEST(FusionPlan, GeneralMatrixGatesFuse) {
  std::mt19937_64 rng(4);
  const std::vector<Complex<double>> u = random_unitary(rng, 8);
  std::vector<FusionGate> gates;
  const core::Matrix2<double> h = core::matrix_2x2<double>(core::Gate{GateKind::H});
  gates.push_back({{}, {2}, {h.begin(), h.end()}, std::nullopt});
  gates.push_back({{}, {3, 0, 2}, u, std::nullopt});
  gates.push_back({{1}, {0}, {h.begin(), h.end()}, std::nullopt});
  FusionOptions options;
  options.max_qubits = 4;
  const auto plan = plan_fusion(gates, options);
  ASSERT_FALSE(plan.empty());
  EXPECT_EQ(plan[0].gates, 2u);
  EXPECT_EQ(plan[0].targets, (std::vector<unsigned>{0, 2, 3}));
  // The same gates applied one by one through the kernels' definition.
  std::vector<Complex<double>> state = random_state<double>(rng, 4);
  std::vector<Complex<double>> fused = state;
  for (const FusedOp& op : plan) {
    core::kernels::apply_fused_gate(core::kernels::fused_reference_kernels<double>(),
                                    std::span<Complex<double>>(fused), rounded_gate<double>(op));
  }
  for (const FusionGate& g : gates) {
    std::vector<unsigned> sorted(g.targets.begin(), g.targets.end());
    std::sort(sorted.begin(), sorted.end());
    FusionOptions one;
    one.max_qubits = 3;
    const auto single = plan_fusion(std::span<const FusionGate>(&g, 1), one);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].targets, sorted);
    core::kernels::apply_fused_gate(core::kernels::fused_reference_kernels<double>(),
                                    std::span<Complex<double>>(state),
                                    rounded_gate<double>(single[0]));
  }
  for (std::size_t i = 0; i < state.size(); ++i) {
    EXPECT_NEAR(state[i].re, fused[i].re, 1e-13);
    EXPECT_NEAR(state[i].im, fused[i].im, 1e-13);
  }
}

}  // namespace
}  // namespace vorn::sim
