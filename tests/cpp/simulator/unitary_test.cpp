// The unitarity check, the Z-Y-Z decomposition and the append of its rotations.
#include "simulator/unitary.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>

#include "core/constants.h"
#include "core/gates.h"
#include "dense_oracle.h"

namespace vorn::sim {
namespace {

using C = core::Complex<double>;
using Std = std::complex<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

#define EXPECT_SAME_DOUBLE(a, b) EXPECT_EQ(bits(a), bits(b)) << (a) << " vs " << (b)

core::Matrix2<double> diag(C a, C d) { return {a, C{0, 0}, C{0, 0}, d}; }

C from_std(Std z) { return {z.real(), z.imag()}; }

// A Haar-distributed unitary: Gram-Schmidt on two Gaussian complex columns.
core::Matrix2<double> random_unitary(std::mt19937_64& rng) {
  std::normal_distribution<double> normal;
  Std a0(normal(rng), normal(rng)), a1(normal(rng), normal(rng));
  Std b0(normal(rng), normal(rng)), b1(normal(rng), normal(rng));
  const double na = std::sqrt(std::norm(a0) + std::norm(a1));
  a0 /= na;
  a1 /= na;
  const Std dot = std::conj(a0) * b0 + std::conj(a1) * b1;
  b0 -= dot * a0;
  b1 -= dot * a1;
  const double nb = std::sqrt(std::norm(b0) + std::norm(b1));
  b0 /= nb;
  b1 /= nb;
  // Columns a and b.
  return {from_std(a0), from_std(b0), from_std(a1), from_std(b1)};
}

// e^(i·alpha) times the product of the circuit's appended rotations, Rz(beta)·Ry(gamma)·Rz(delta).
void expect_reproduces(const Circuit& c, const core::Matrix2<double>& m, double tol) {
  ASSERT_EQ(c.ops().size(), 3u);
  Std product[4] = {1.0, 0.0, 0.0, 1.0};
  for (const Operation& op : c.ops()) {
    const core::Matrix2<double> g = core::matrix_2x2<double>(std::get<GateOp>(op).gate);
    const Std r[4] = {testing::to_std(g[0]), testing::to_std(g[1]), testing::to_std(g[2]),
                      testing::to_std(g[3])};
    // Later gates multiply from the left.
    const Std p[4] = {r[0] * product[0] + r[1] * product[2], r[0] * product[1] + r[1] * product[3],
                      r[2] * product[0] + r[3] * product[2], r[2] * product[1] + r[3] * product[3]};
    std::copy(std::begin(p), std::end(p), std::begin(product));
  }
  const Std phase = std::polar(1.0, c.global_phase());
  for (int k = 0; k < 4; ++k) {
    EXPECT_LT(std::abs(phase * product[k] - testing::to_std(m[k])), tol) << "entry " << k;
  }
}

void expect_rotations(const Circuit& c, std::uint64_t qubit) {
  ASSERT_EQ(c.ops().size(), 3u);
  const GateKind kinds[3] = {GateKind::Rz, GateKind::Ry, GateKind::Rz};
  for (int k = 0; k < 3; ++k) {
    const auto& op = std::get<GateOp>(c.ops()[k]);
    EXPECT_EQ(op.kind(), kinds[k]);
    EXPECT_EQ(op.qubits[0], qubit);
  }
}

double theta(const Circuit& c, int k) { return std::get<GateOp>(c.ops()[k]).gate.theta; }

TEST(CheckUnitary, UnitariesPass) {
  const double s = 0.7071067811865476;
  EXPECT_FALSE(check_unitary(diag({1, 0}, {1, 0}), UNITARY_TOL));
  EXPECT_FALSE(check_unitary({C{0, 0}, C{1, 0}, C{1, 0}, C{0, 0}}, UNITARY_TOL));
  EXPECT_FALSE(check_unitary({C{s, 0}, C{s, 0}, C{s, 0}, C{-s, 0}}, UNITARY_TOL));
  std::mt19937_64 rng(3);
  for (int n = 0; n < 1000; ++n) {
    ASSERT_FALSE(check_unitary(random_unitary(rng), UNITARY_TOL));
  }
}

TEST(CheckUnitary, ReportsTheProductEntryAndItsError) {
  const auto v = check_unitary(diag({2, 0}, {1, 0}), UNITARY_TOL);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->i, 0u);
  EXPECT_EQ(v->j, 0u);
  EXPECT_EQ(v->value, (C{4, 0}));
  EXPECT_EQ(v->expected, (C{1, 0}));
  EXPECT_SAME_DOUBLE(v->error, 3.0);
  EXPECT_SAME_DOUBLE(v->tol, UNITARY_TOL);
}

TEST(CheckUnitary, OffDiagonalProductUsesTheConjugate) {
  // Rows (1, 0) and (0.6i, 0.8): P01 = 1·conj(0.6i) = -0.6i, P10 = 0.6i.
  const auto v = check_unitary({C{1, 0}, C{0, 0}, C{0, 0.6}, C{0.8, 0}}, UNITARY_TOL);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->i, 0u);
  EXPECT_EQ(v->j, 1u);
  EXPECT_SAME_DOUBLE(v->value.re, 0.0);
  EXPECT_SAME_DOUBLE(v->value.im, -0.6);
  EXPECT_EQ(v->expected, (C{0, 0}));
  EXPECT_SAME_DOUBLE(v->error, 0.6);
}

TEST(CheckUnitary, LargestErrorWinsAndTiesKeepTheEarlierEntry) {
  auto v = check_unitary(diag({2, 0}, {3, 0}), UNITARY_TOL);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->i, 1u);
  EXPECT_EQ(v->j, 1u);
  EXPECT_SAME_DOUBLE(v->error, 8.0);

  v = check_unitary(diag({2, 0}, {0, 2}), UNITARY_TOL);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->i, 0u);
  EXPECT_EQ(v->j, 0u);

  // Rows (1, 1) and (0, 1): errors 1, 1, 1, 0; the first in visiting order is kept.
  v = check_unitary({C{1, 0}, C{1, 0}, C{0, 0}, C{1, 0}}, UNITARY_TOL);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->i, 0u);
  EXPECT_EQ(v->j, 0u);
  EXPECT_EQ(v->value, (C{2, 0}));
}

TEST(CheckUnitary, ErrorEqualToTheToleranceAndNaNErrorsPass) {
  EXPECT_FALSE(check_unitary(diag({2, 0}, {1, 0}), 3.0));
  EXPECT_TRUE(check_unitary(diag({2, 0}, {1, 0}), std::nextafter(3.0, 0.0)));
  EXPECT_FALSE(
      check_unitary({C{kNaN, kNaN}, C{kNaN, kNaN}, C{kNaN, kNaN}, C{kNaN, kNaN}}, UNITARY_TOL));
  // A NaN entry does not hide a violation elsewhere.
  const auto v = check_unitary(diag({kNaN, 0}, {2, 0}), UNITARY_TOL);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->i, 1u);
  EXPECT_EQ(v->j, 1u);
}

TEST(CheckUnitary, InfiniteAndTinyErrors) {
  const auto v = check_unitary(diag({1e200, 0}, {1, 0}), UNITARY_TOL);
  ASSERT_TRUE(v);
  EXPECT_TRUE(std::isinf(v->error));
  const auto w = check_unitary({C{1, 0}, C{0, 0}, C{0, 1e-10}, C{1, 0}}, 0.0);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->j, 1u);
  EXPECT_GT(w->error, 0.0);
}

TEST(DecomposeZyz, Identity) {
  Circuit c(1);
  c.add_global_phase(0.25);
  append_unitary(c, diag({1, 0}, {1, 0}), 0);
  expect_rotations(c, 0);
  for (int k = 0; k < 3; ++k) {
    EXPECT_SAME_DOUBLE(theta(c, k), 0.0);
  }
  EXPECT_SAME_DOUBLE(c.global_phase(), 0.25);
}

TEST(DecomposeZyz, PauliXExactly) {
  const core::Matrix2<double> x = {C{0, 0}, C{1, 0}, C{1, 0}, C{0, 0}};
  const ZyzAngles a = decompose_zyz(x);
  EXPECT_SAME_DOUBLE(a.alpha, 1.5707963267948966);
  EXPECT_SAME_DOUBLE(a.gamma, core::PI);
  EXPECT_SAME_DOUBLE(a.beta, -core::PI);
  EXPECT_SAME_DOUBLE(a.delta, 0.0);

  Circuit c(2);
  append_unitary(c, x, 1);
  expect_rotations(c, 1);
  EXPECT_SAME_DOUBLE(theta(c, 0), 0.0);
  EXPECT_SAME_DOUBLE(theta(c, 1), core::PI);
  EXPECT_SAME_DOUBLE(theta(c, 2), -core::PI);
  EXPECT_SAME_DOUBLE(c.global_phase(), 1.5707963267948966);
  // Applied twice, the phase is added twice.
  append_unitary(c, x, 1);
  EXPECT_EQ(c.ops().size(), 6u);
  EXPECT_SAME_DOUBLE(c.global_phase(), core::PI);
}

TEST(DecomposeZyz, PhaseGateSExactly) {
  const ZyzAngles a = decompose_zyz(diag({1, 0}, {0, 1}));
  EXPECT_SAME_DOUBLE(a.alpha, 0.7853981633974483);
  EXPECT_SAME_DOUBLE(a.gamma, 0.0);
  EXPECT_SAME_DOUBLE(a.delta, 0.0);
  EXPECT_NEAR(a.beta, core::PI / 2, 4e-16);
  EXPECT_SAME_DOUBLE(a.beta, 2.0 * std::atan2(std::cos(core::PI / 4), std::sin(core::PI / 4)));
}

TEST(DecomposeZyz, DegenerateInputs) {
  // m01 enters only through the determinant, here multiplied by m10 = 0.
  ZyzAngles a = decompose_zyz({C{1, 0}, C{5, 0}, C{0, 0}, C{1, 0}});
  for (const double angle : {a.alpha, a.beta, a.gamma, a.delta}) {
    EXPECT_SAME_DOUBLE(angle, 0.0);
  }
  a = decompose_zyz({C{0, 0}, C{0, 0}, C{0, 0}, C{0, 0}});
  for (const double angle : {a.alpha, a.beta, a.gamma, a.delta}) {
    EXPECT_SAME_DOUBLE(angle, 0.0);
  }
  Circuit c(1);
  append_unitary(c, {C{kNaN, kNaN}, C{kNaN, kNaN}, C{kNaN, kNaN}, C{kNaN, kNaN}}, 0);
  expect_rotations(c, 0);
  // NaN magnitudes fail both threshold tests: the third case, whose delta is 0.
  EXPECT_SAME_DOUBLE(theta(c, 0), 0.0);
  EXPECT_TRUE(std::isnan(theta(c, 1)));
  EXPECT_TRUE(std::isnan(theta(c, 2)));
  EXPECT_TRUE(std::isnan(c.global_phase()));
}

// m = [[-i, 0], [r, i]]: det = 1, so alpha = 0 and the stripped entries equal the inputs;
// arg(m11') = π/2 and arg(m10') = 0 tell the three cases apart.
TEST(DecomposeZyz, ThresholdSelectsTheCase) {
  const auto with_r = [](double r) { return decompose_zyz({C{0, -1}, C{0, 0}, C{r, 0}, C{0, 1}}); };
  // Both entries above the threshold: beta = π/2 + 0, delta = π/2 - 0.
  ZyzAngles a = with_r(std::nextafter(ZYZ_EPS, 1.0));
  EXPECT_SAME_DOUBLE(a.alpha, 0.0);
  EXPECT_SAME_DOUBLE(a.beta, core::PI / 2);
  EXPECT_SAME_DOUBLE(a.delta, core::PI / 2);
  // Below: diagonal, beta = 2·arg(m11').
  a = with_r(std::nextafter(ZYZ_EPS, 0.0));
  EXPECT_SAME_DOUBLE(a.beta, core::PI);
  EXPECT_SAME_DOUBLE(a.delta, 0.0);
  // Exactly at the threshold: the anti-diagonal case, beta = 2·arg(m10').
  a = with_r(ZYZ_EPS);
  EXPECT_SAME_DOUBLE(a.beta, 0.0);
  EXPECT_SAME_DOUBLE(a.delta, 0.0);
  EXPECT_SAME_DOUBLE(a.gamma, 2.0 * std::atan2(ZYZ_EPS, 1.0));
}

TEST(AppendUnitary, RandomUnitariesAreReproduced) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> angle(-core::PI, core::PI);
  for (int n = 0; n < 2000; ++n) {
    core::Matrix2<double> m = random_unitary(rng);
    // Every fourth matrix is diagonal or anti-diagonal, the two threshold cases.
    if (n % 4 == 1) {
      m = diag(from_std(std::polar(1.0, angle(rng))), from_std(std::polar(1.0, angle(rng))));
    } else if (n % 4 == 2) {
      m = {C{0, 0}, from_std(std::polar(1.0, angle(rng))), from_std(std::polar(1.0, angle(rng))),
           C{0, 0}};
    }
    Circuit c(1);
    append_unitary(c, m, 0);
    expect_rotations(c, 0);
    expect_reproduces(c, m, 1e-12);
    if (HasFailure()) {
      return;
    }
  }
}

// Runs a random 3-qubit prefix, then the same prefix with a random unitary appended; the
// second state must be the first with the matrix applied directly. Checked with the engine and
// with the dense reference.
TEST(AppendUnitary, StateMatchesTheMatrixAppliedDirectly) {
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> angle(-core::PI, core::PI);
  for (int n = 0; n < 200; ++n) {
    Circuit c(3);
    for (std::uint64_t q = 0; q < 3; ++q) {
      c.ry(angle(rng), q);
      c.rz(angle(rng), q);
    }
    c.cx(0, 2);
    c.add_global_phase(angle(rng));
    const testing::Amplitudes before = testing::engine_state(c);
    const std::uint64_t qubit = rng() % 3;
    const core::Matrix2<double> m = random_unitary(rng);
    append_unitary(c, m, qubit);

    testing::Amplitudes expected = before;
    const Std direct[4] = {testing::to_std(m[0]), testing::to_std(m[1]), testing::to_std(m[2]),
                           testing::to_std(m[3])};
    testing::apply_matrix(expected, direct, qubit);
    const testing::Amplitudes engine = testing::engine_state(c);
    const testing::Amplitudes dense = testing::simulate(c);
    for (std::size_t i = 0; i < engine.size(); ++i) {
      ASSERT_LT(std::abs(engine[i] - expected[i]), 1e-12) << "amplitude " << i;
      ASSERT_LT(std::abs(dense[i] - expected[i]), 1e-12) << "amplitude " << i;
    }
  }
}

}  // namespace
}  // namespace vorn::sim
