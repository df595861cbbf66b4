// The multi-controlled kernel: against a dense matrix built here, against the one-, two- and
// three-operand kernels it must reproduce bit for bit, and over pool sizes and kernel tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/abort.h"
#include "core/kernels.h"
#include "core/kernels/dispatch.h"
#include "core/kernels/reference.h"
#include "core/parallel.h"
#include "support.h"

namespace vorn::core {
namespace {

using test::Amplitudes;
using test::bit_difference;
using test::random_matrix2;
using test::random_state;

// Controls (with the values they want) and a target, drawn from n qubits: distinct operands.
struct Operands {
  std::uint64_t mask = 0;
  std::uint64_t values = 0;
  unsigned target = 0;
};

Operands random_operands(unsigned n, unsigned controls, std::mt19937_64& rng) {
  std::vector<unsigned> order(n);
  for (unsigned q = 0; q < n; ++q) {
    order[q] = q;
  }
  std::shuffle(order.begin(), order.end(), rng);
  Operands o;
  o.target = order[controls];
  for (unsigned k = 0; k < controls; ++k) {
    const std::uint64_t b = std::uint64_t{1} << order[k];
    o.mask |= b;
    o.values |= (rng() & 1) != 0 ? b : 0;
  }
  return o;
}

// The whole 2^n x 2^n matrix of the gate: identity where the controls do not hold their values,
// m on the target's pair where they do.
std::vector<std::complex<double>> dense_matrix(unsigned n, const Matrix2<double>& m,
                                               const Operands& o) {
  const std::uint64_t dim = std::uint64_t{1} << n;
  std::vector<std::complex<double>> full(dim * dim, 0.0);
  const std::uint64_t t = std::uint64_t{1} << o.target;
  for (std::uint64_t col = 0; col < dim; ++col) {
    if ((col & o.mask) != o.values) {
      full[col * dim + col] = 1.0;
      continue;
    }
    const unsigned b = (col & t) != 0 ? 1 : 0;
    for (unsigned r = 0; r < 2; ++r) {
      const std::uint64_t row = r == 1 ? (col | t) : (col & ~t);
      full[row * dim + col] = {m[2 * r + b].re, m[2 * r + b].im};
    }
  }
  return full;
}

TEST(ControlledKernel, MatchesTheDenseMatrix) {
  std::mt19937_64 rng(20261209);
  const unsigned n = 6;
  const std::uint64_t dim = std::uint64_t{1} << n;
  for (unsigned round = 0; round < 60; ++round) {
    const unsigned controls = round % n;  // 0 ... 5 controls
    const Operands o = random_operands(n, controls, rng);
    const Matrix2<double> m = random_matrix2<double>(round + 1);
    const Amplitudes<double> initial = random_state<double>(n, round + 100);
    Amplitudes<double> v = initial;
    apply_multi_controlled_gate<double>(v, m, o.mask, o.values, o.target);
    const std::vector<std::complex<double>> full = dense_matrix(n, m, o);
    for (std::uint64_t row = 0; row < dim; ++row) {
      std::complex<double> sum = 0.0;
      for (std::uint64_t col = 0; col < dim; ++col) {
        sum += full[row * dim + col] * std::complex<double>(initial[col].re, initial[col].im);
      }
      ASSERT_NEAR(v[row].re, sum.real(), 1e-12) << "round " << round << " row " << row;
      ASSERT_NEAR(v[row].im, sum.imag(), 1e-12) << "round " << round << " row " << row;
    }
  }
}

// Per index, from a copy of the input: the pair update of the single-qubit kernel where the
// controls hold their values and the target is 0 (and its partner), the input elsewhere.
template <typename T>
Amplitudes<T> oracle(const Amplitudes<T>& in, const Matrix2<T>& m, const Operands& o) {
  Amplitudes<T> out = in;
  const std::uint64_t t = std::uint64_t{1} << o.target;
  for (std::uint64_t i = 0; i < in.size(); ++i) {
    if ((i & o.mask) != o.values) {
      continue;
    }
    const Complex<T> a0 = in[i & ~t];
    const Complex<T> a1 = in[i | t];
    const unsigned r = (i & t) != 0 ? 2 : 0;
    out[i] = add(mul(m[r], a0), mul(m[r + 1], a1));
  }
  return out;
}

template <typename T>
class ControlledKernelBits : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ControlledKernelBits, Precisions);

// From PARALLEL_THRESHOLD amplitudes on (the parallel path) and below it, on pools of one to
// three threads and with every kernel table of this CPU: the oracle's bits, targets below,
// between and above the controls, negated controls among them.
TYPED_TEST(ControlledKernelBits, OracleBitsForEveryPathPoolAndTable) {
  using T = TypeParam;
  std::mt19937_64 rng(77);
  for (const unsigned n : {5u, 14u}) {
    for (unsigned round = 0; round < 12; ++round) {
      const unsigned controls = round % std::min(6u, n);
      const Operands o = random_operands(n, controls, rng);
      const Matrix2<T> m = random_matrix2<T>(round + 7);
      const Amplitudes<T> initial = random_state<T>(n, round + 300);
      const Amplitudes<T> expected = oracle(initial, m, o);
      for (const auto* table : kernels::available_tables<T>()) {
        for (const std::size_t threads : {1u, 2u, 3u}) {
          Amplitudes<T> v = initial;
          ASSERT_TRUE(testing::run_with_kernel_table(table->name, [&] {
            testing::run_with_pool_size(
                threads, [&] { apply_multi_controlled_gate<T>(v, m, o.mask, o.values, o.target); });
          }));
          ASSERT_EQ(bit_difference(v.data(), expected.data(), v.size()), "")
              << "n " << n << " round " << round << " table " << table->name << " threads "
              << threads;
        }
      }
    }
  }
}

// No control is the single-qubit kernel, one or two controls wanting 1 the controlled and doubly
// controlled kernels, bit for bit, also through the reference's own enumeration of runs (which
// the public kernel hands such masks to the tables instead).
TYPED_TEST(ControlledKernelBits, SameBitsAsTheFixedKernels) {
  using T = TypeParam;
  const unsigned n = 14;
  const std::uint64_t len = std::uint64_t{1} << n;
  const Amplitudes<T> initial = random_state<T>(n, 5);
  const Matrix2<T> m = random_matrix2<T>(9);
  for (const unsigned target : {0u, 3u, 13u}) {
    Amplitudes<T> single = initial;
    apply_single_qubit_gate<T>(single, m, target);
    Amplitudes<T> multi = initial;
    apply_multi_controlled_gate<T>(multi, m, 0, 0, target);
    EXPECT_EQ(bit_difference(multi.data(), single.data(), len), "") << target;
  }
  const struct {
    unsigned c1, c2, target;
  } cases[] = {{1, 7, 0}, {0, 13, 6}, {12, 4, 13}, {2, 3, 1}};
  for (const auto& c : cases) {
    Amplitudes<T> one = initial;
    apply_controlled_gate<T>(one, m, c.c1, c.target);
    Amplitudes<T> runs = initial;
    kernels::reference::parallel_multi_controlled(runs.data(), len, m, std::uint64_t{1} << c.c1,
                                                  std::uint64_t{1} << c.c1, c.target);
    EXPECT_EQ(bit_difference(runs.data(), one.data(), len), "");
    Amplitudes<T> scan = initial;
    kernels::reference::serial_multi_controlled(scan.data(), len, m, std::uint64_t{1} << c.c1,
                                                std::uint64_t{1} << c.c1, c.target);
    EXPECT_EQ(bit_difference(scan.data(), one.data(), len), "");

    const std::uint64_t both = (std::uint64_t{1} << c.c1) | (std::uint64_t{1} << c.c2);
    Amplitudes<T> two = initial;
    apply_doubly_controlled_gate<T>(two, m, c.c1, c.c2, c.target);
    Amplitudes<T> runs2 = initial;
    kernels::reference::parallel_multi_controlled(runs2.data(), len, m, both, both, c.target);
    EXPECT_EQ(bit_difference(runs2.data(), two.data(), len), "");
    Amplitudes<T> public2 = initial;
    apply_multi_controlled_gate<T>(public2, m, both, both, c.target);
    EXPECT_EQ(bit_difference(public2.data(), two.data(), len), "");
  }
}

// Negated controls select the amplitudes where those qubits are 0: X on them before and after
// the gate with controls that want 1 gives the same bits (X only moves amplitudes).
TYPED_TEST(ControlledKernelBits, NegatedControlsAreControlsBetweenX) {
  using T = TypeParam;
  const unsigned n = 13;
  const Matrix2<T> x = matrix_2x2<T>(Gate{GateKind::X});
  std::mt19937_64 rng(3);
  for (unsigned round = 0; round < 8; ++round) {
    const Operands o = random_operands(n, 1 + round % 5, rng);
    const Matrix2<T> m = random_matrix2<T>(round + 40);
    const Amplitudes<T> initial = random_state<T>(n, round);
    Amplitudes<T> direct = initial;
    apply_multi_controlled_gate<T>(direct, m, o.mask, o.values, o.target);
    Amplitudes<T> flipped = initial;
    const std::uint64_t negated = o.mask & ~o.values;
    for (std::uint64_t r = negated; r != 0; r &= r - 1) {
      apply_single_qubit_gate<T>(flipped, x, static_cast<std::uint64_t>(std::countr_zero(r)));
    }
    apply_multi_controlled_gate<T>(flipped, m, o.mask, o.mask, o.target);
    for (std::uint64_t r = negated; r != 0; r &= r - 1) {
      apply_single_qubit_gate<T>(flipped, x, static_cast<std::uint64_t>(std::countr_zero(r)));
    }
    EXPECT_EQ(bit_difference(direct.data(), flipped.data(), direct.size()), "") << round;
  }
}

TEST(ControlledKernel, OperandChecks) {
  Amplitudes<double> v = random_state<double>(4, 1);
  const Amplitudes<double> initial = v;
  const Matrix2<double> m = random_matrix2<double>(2);
  // A control equal to the target changes nothing.
  apply_multi_controlled_gate<double>(v, m, 0b0110, 0b0110, 2);
  EXPECT_EQ(bit_difference(v.data(), initial.data(), v.size()), "");
  EXPECT_THROW(apply_multi_controlled_gate<double>(v, m, 0b10000, 0, 0), Abort);
  EXPECT_THROW(apply_multi_controlled_gate<double>(v, m, 0b1, 0, 4), Abort);
  EXPECT_EQ(bit_difference(v.data(), initial.data(), v.size()), "");
}

}  // namespace
}  // namespace vorn::core
