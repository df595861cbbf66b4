// Gates of the controlled kernel in operation lists and programs: the same bits gate by gate and
// in blockwise passes (controls inside and outside a pass's set), on any pool and kernel table,
// against a dense reference, in the dynamic engine and in fusion.
#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/abort.h"
#include "core/kernels.h"
#include "core/kernels/dispatch.h"
#include "core/parallel.h"
#include "simulator/dynamic.h"
#include "simulator/engine.h"
#include "simulator/fused_passes.h"
#include "simulator/passes.h"
#include "simulator/program.h"

namespace vorn::sim {
namespace {

using core::Complex;

ControlledGate random_controlled(unsigned n, std::mt19937_64& rng) {
  std::vector<std::uint64_t> order(n);
  for (unsigned q = 0; q < n; ++q) {
    order[q] = q;
  }
  std::shuffle(order.begin(), order.end(), rng);
  std::uniform_real_distribution<double> angle(-3.0, 3.0);
  ControlledGate g;
  const auto kind = static_cast<GateKind>(rng() % 13);
  g.gate = core::Gate{kind, angle(rng), angle(rng), angle(rng)};
  if (kind == GateKind::U3 && rng() % 2 == 0) {
    g.phase = angle(rng);
  }
  const unsigned controls = 1 + static_cast<unsigned>(rng() % 5);
  g.target = order[controls];
  for (unsigned k = 0; k < controls; ++k) {
    g.controls.push_back(order[k]);
    g.values.push_back(static_cast<std::uint8_t>(rng() % 2));
  }
  return g;
}

std::vector<Operation> mixed_ops(unsigned n, std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Operation> ops;
  for (std::size_t k = 0; k < count; ++k) {
    switch (rng() % 4) {
      case 0:
      case 1:
        ops.emplace_back(random_controlled(n, rng));
        break;
      case 2:
        ops.emplace_back(
            GateOp{core::Gate{GateKind::Ry, 0.1 * static_cast<double>(k)}, {rng() % n, 0, 0}});
        break;
      default: {
        const std::uint64_t c = rng() % n;
        ops.emplace_back(GateOp{core::Gate{GateKind::CX}, {c, (c + 1 + rng() % (n - 1)) % n, 0}});
        break;
      }
    }
  }
  return ops;
}

template <typename T>
std::vector<Complex<T>> random_state(unsigned n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<T> dist(T(-1), T(1));
  std::vector<Complex<T>> v(std::uint64_t{1} << n);
  for (auto& a : v) {
    a = {dist(rng), dist(rng)};
  }
  return v;
}

template <typename T>
bool same_bytes(const std::vector<Complex<T>>& a, const std::vector<Complex<T>>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0;
}

template <typename T>
class ControlledOps : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ControlledOps, Precisions);

// Gate by gate (no blocking) is the reference; gathered and in-place blockwise passes, pools of
// one to three threads and every kernel table give the same bytes.
TYPED_TEST(ControlledOps, BlockedAndUnblockedGiveTheSameBits) {
  using T = TypeParam;
  const unsigned n = 14;
  const std::vector<Operation> ops = mixed_ops(n, 40, 11);
  const std::vector<Complex<T>> initial = random_state<T>(n, 12);
  std::vector<Complex<T>> expected = initial;
  core::testing::run_with_kernel_table("reference", [&] {
    testing::run_with_blocking(Blocking{0, 0, 0}, [&] { apply_operations<T>(expected, ops); });
  });
  // The blockings put controlled gates in blockwise passes, some with controls outside the set.
  const Blocking blockings[] = {{8, 2, 0}, {6, 3, 5}, {10, 3, 9}};
  bool outside = false;
  for (const Blocking& b : blockings) {
    const PassCosts cheap{1.0, 1.0, 0.2, 0.3, 0.0};
    for (const Pass& pass : plan_passes(ops, n, b, cheap)) {
      for (std::size_t i = pass.first; pass.qubits != 0 && i < pass.last; ++i) {
        if (const auto* g = std::get_if<ControlledGate>(&ops[i])) {
          outside = outside || (g->control_mask() & ~pass.qubits) != 0;
        }
      }
    }
  }
  ASSERT_TRUE(outside);
  for (const auto* table : core::kernels::available_tables<T>()) {
    for (const Blocking& b : blockings) {
      for (const std::size_t threads : {1u, 2u, 3u}) {
        std::vector<Complex<T>> v = initial;
        ASSERT_TRUE(core::testing::run_with_kernel_table(table->name, [&] {
          core::testing::run_with_pool_size(threads, [&] {
            testing::run_with_blocking(b, [&] {
              testing::run_with_costs(PassCosts{1.0, 1.0, 0.2, 0.3, 0.0},
                                      [&] { apply_operations<T>(v, ops); });
            });
          });
        }));
        EXPECT_TRUE(same_bytes(v, expected))
            << table->name << " blocking " << b.block_qubits << " threads " << threads;
      }
    }
  }
}

// A dense reference: each gate's full matrix action, computed from the gate's definition.
TEST(ControlledOps, MatchesADenseReference) {
  const unsigned n = 7;
  const std::vector<Operation> ops = mixed_ops(n, 30, 21);
  std::vector<std::complex<double>> ref(std::size_t{1} << n);
  const std::vector<Complex<double>> initial = random_state<double>(n, 22);
  for (std::size_t i = 0; i < ref.size(); ++i) {
    ref[i] = {initial[i].re, initial[i].im};
  }
  for (const Operation& op : ops) {
    std::complex<double> m[4];
    std::uint64_t mask = 0;
    std::uint64_t values = 0;
    std::uint64_t target = 0;
    if (const auto* g = std::get_if<ControlledGate>(&op)) {
      // e^{i phase} times the gate's matrix, in std::complex arithmetic.
      const core::Matrix2<double> base = core::matrix_2x2<double>(g->gate);
      for (int k = 0; k < 4; ++k) {
        m[k] = std::polar(1.0, g->phase) * std::complex<double>(base[k].re, base[k].im);
      }
      mask = g->control_mask();
      values = g->control_values();
      target = g->target;
    } else {
      const auto& gate = std::get<GateOp>(op);
      const core::Matrix2<double> base = core::matrix_2x2<double>(
          gate.kind() == GateKind::CX ? core::Gate{GateKind::X} : gate.gate);
      for (int k = 0; k < 4; ++k) {
        m[k] = {base[k].re, base[k].im};
      }
      if (gate.kind() == GateKind::CX) {
        mask = values = std::uint64_t{1} << gate.qubits[0];
        target = gate.qubits[1];
      } else {
        target = gate.qubits[0];
      }
    }
    const std::uint64_t t = std::uint64_t{1} << target;
    std::vector<std::complex<double>> next = ref;
    for (std::size_t i = 0; i < ref.size(); ++i) {
      if ((i & mask) != values) {
        continue;
      }
      const int r = (i & t) != 0 ? 2 : 0;
      next[i] = m[r] * ref[i & ~t] + m[r + 1] * ref[i | t];
    }
    ref = next;
  }
  std::vector<Complex<double>> v = initial;
  apply_operations<double>(v, ops);
  for (std::size_t i = 0; i < ref.size(); ++i) {
    ASSERT_NEAR(v[i].re, ref[i].real(), 1e-12) << i;
    ASSERT_NEAR(v[i].im, ref[i].imag(), 1e-12) << i;
  }
}

// The same list through fusion (controls kept, negated ones between X) stays within rounding.
TEST(ControlledOps, FusedRunsAgreeWithExactOnes) {
  const unsigned n = 10;
  const std::vector<Operation> ops = mixed_ops(n, 40, 31);
  const std::vector<Complex<double>> initial = random_state<double>(n, 32);
  std::vector<Complex<double>> exact = initial;
  apply_operations<double>(exact, ops);
  for (const unsigned k : {1u, 3u, 4u}) {
    std::vector<Complex<double>> fused = initial;
    execute_fused<double>(fused, ops, std::nullopt, k);
    for (std::size_t i = 0; i < fused.size(); ++i) {
      ASSERT_NEAR(fused[i].re, exact[i].re, 1e-11) << k << " " << i;
      ASSERT_NEAR(fused[i].im, exact[i].im, 1e-11) << k << " " << i;
    }
  }
}

// In a program: a controlled gate is a gate (the program stays static, terminal measurements
// stay terminal), the validation checks its operands, and a run after a mid-circuit
// measurement goes through the dynamic engine with the same final state as the static run.
TEST(ControlledOps, ProgramsValidateAndRun) {
  Program p;
  p.n_qubits = 4;
  p.n_bits = 1;
  p.registers.push_back({"c", 0, 1});
  ControlledGate g;
  g.gate = core::Gate{GateKind::H};
  g.target = 0;
  g.controls = {3, 1};
  g.values = {0, 0};
  p.instructions.emplace_back(g);
  p.instructions.emplace_back(Measure{0, 0});
  EXPECT_TRUE(is_static(p));
  EXPECT_TRUE(terminal_measurements(p)[1]);
  validate_program(p);

  Program repeated = p;
  std::get<ControlledGate>(repeated.instructions[0]).controls = {3, 0};
  EXPECT_THROW(validate_program(repeated), core::Abort);
  Program phased = p;
  std::get<ControlledGate>(phased.instructions[0]).phase = 0.5;
  EXPECT_THROW(validate_program(phased), core::Abort);
  Program outside = p;
  std::get<ControlledGate>(outside.instructions[0]).target = 4;
  EXPECT_THROW(validate_program(outside), core::Abort);
  Program values = p;
  std::get<ControlledGate>(values.instructions[0]).values = {0, 2};
  EXPECT_THROW(validate_program(values), core::Abort);

  // |0000>: both negated controls hold, so H makes qubit 0 a fair coin.
  const DynamicRunResult run = run_program(p, 2000, 5, core::Precision::F64);
  const auto& result = std::get<DynamicRun<double>>(run);
  std::size_t ones = 0;
  for (const std::uint32_t index : result.outcome.memory) {
    ones += result.outcome.bit_arrays[index][0];
  }
  EXPECT_GT(ones, 850u);
  EXPECT_LT(ones, 1150u);
}

}  // namespace
}  // namespace vorn::sim
