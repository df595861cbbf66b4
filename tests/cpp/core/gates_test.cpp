// Gate matrices: the bit patterns of every fixed entry at both precisions, the rotation rules,
// and the refusal of multi-qubit kinds.
#include "core/gates.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

#include "core/abort.h"

namespace vorn::core {
namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

constexpr std::uint64_t S64 = 0x3FE6A09E667F3BCD;
constexpr std::uint64_t NEG_S64 = 0xBFE6A09E667F3BCD;
constexpr std::uint64_t ONE64 = 0x3FF0000000000000;
constexpr std::uint64_t NEG_ONE64 = 0xBFF0000000000000;
constexpr std::uint64_t NEG_ZERO64 = 0x8000000000000000;

constexpr std::uint32_t S32 = 0x3F3504F3;
constexpr std::uint32_t NEG_S32 = 0xBF3504F3;
constexpr std::uint32_t ONE32 = 0x3F800000;
constexpr std::uint32_t NEG_ONE32 = 0xBF800000;
constexpr std::uint32_t NEG_ZERO32 = 0x80000000;

// Expected entries as (re, im) bit patterns, row-major m00, m01, m10, m11.
struct Fixed {
  GateKind kind;
  std::uint64_t f64[8];
  std::uint32_t f32[8];
};

const Fixed kFixed[] = {
    {GateKind::H, {S64, 0, S64, 0, S64, 0, NEG_S64, 0}, {S32, 0, S32, 0, S32, 0, NEG_S32, 0}},
    {GateKind::X, {0, 0, ONE64, 0, ONE64, 0, 0, 0}, {0, 0, ONE32, 0, ONE32, 0, 0, 0}},
    {GateKind::Y,
     {0, 0, NEG_ZERO64, NEG_ONE64, 0, ONE64, 0, 0},
     {0, 0, NEG_ZERO32, NEG_ONE32, 0, ONE32, 0, 0}},
    {GateKind::Z, {ONE64, 0, 0, 0, 0, 0, NEG_ONE64, 0}, {ONE32, 0, 0, 0, 0, 0, NEG_ONE32, 0}},
    {GateKind::S, {ONE64, 0, 0, 0, 0, 0, 0, ONE64}, {ONE32, 0, 0, 0, 0, 0, 0, ONE32}},
    {GateKind::Sdg,
     {ONE64, 0, 0, 0, 0, 0, NEG_ZERO64, NEG_ONE64},
     {ONE32, 0, 0, 0, 0, 0, NEG_ZERO32, NEG_ONE32}},
    {GateKind::T, {ONE64, 0, 0, 0, 0, 0, S64, S64}, {ONE32, 0, 0, 0, 0, 0, S32, S32}},
    {GateKind::Tdg, {ONE64, 0, 0, 0, 0, 0, S64, NEG_S64}, {ONE32, 0, 0, 0, 0, 0, S32, NEG_S32}},
    {GateKind::Id, {ONE64, 0, 0, 0, 0, 0, ONE64, 0}, {ONE32, 0, 0, 0, 0, 0, ONE32, 0}},
};

TEST(GatesTest, FixedEntriesHaveExactBitPatterns) {
  for (const Fixed& f : kFixed) {
    const Matrix2<double> m64 = matrix_2x2<double>(Gate{f.kind});
    const Matrix2<float> m32 = matrix_2x2<float>(Gate{f.kind});
    for (int e = 0; e < 4; ++e) {
      EXPECT_EQ(bits(m64[e].re), f.f64[2 * e]) << static_cast<int>(f.kind) << " entry " << e;
      EXPECT_EQ(bits(m64[e].im), f.f64[2 * e + 1]) << static_cast<int>(f.kind) << " entry " << e;
      EXPECT_EQ(bits(m32[e].re), f.f32[2 * e]) << static_cast<int>(f.kind) << " entry " << e;
      EXPECT_EQ(bits(m32[e].im), f.f32[2 * e + 1]) << static_cast<int>(f.kind) << " entry " << e;
    }
  }
}

TEST(GatesTest, FourByFourConstants) {
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      const double cz = r == c ? (r == 3 ? -1.0 : 1.0) : 0.0;
      const bool swap_one =
          (r == c && (r == 0 || r == 3)) || (r == 1 && c == 2) || (r == 2 && c == 1);
      EXPECT_EQ(bits(CZ_MATRIX<double>[4 * r + c].re), bits(cz));
      EXPECT_EQ(bits(CZ_MATRIX<float>[4 * r + c].re), bits(static_cast<float>(cz)));
      EXPECT_EQ(bits(SWAP_MATRIX<double>[4 * r + c].re), bits(swap_one ? 1.0 : 0.0));
      EXPECT_EQ(bits(SWAP_MATRIX<float>[4 * r + c].re), bits(swap_one ? 1.0f : 0.0f));
      EXPECT_EQ(bits(CZ_MATRIX<double>[4 * r + c].im), 0u);
      EXPECT_EQ(bits(SWAP_MATRIX<double>[4 * r + c].im), 0u);
      EXPECT_EQ(bits(CZ_MATRIX<float>[4 * r + c].im), 0u);
      EXPECT_EQ(bits(SWAP_MATRIX<float>[4 * r + c].im), 0u);
    }
  }
}

TEST(GatesTest, RotationsAtPi) {
  const double pi = std::numbers::pi;
  const double c = std::cos(pi * 0.5);
  EXPECT_EQ(c, 6.123233995736766e-17);
  const Matrix2<double> rx = matrix_2x2<double>(Gate{GateKind::Rx, pi});
  EXPECT_EQ(bits(rx[0].re), bits(c));
  EXPECT_EQ(bits(rx[3].re), bits(c));
  EXPECT_EQ(bits(rx[1].im), NEG_ONE64);
  EXPECT_EQ(bits(rx[2].im), NEG_ONE64);
  EXPECT_EQ(bits(rx[1].re), 0u);
  const Matrix2<double> ry = matrix_2x2<double>(Gate{GateKind::Ry, pi});
  EXPECT_EQ(bits(ry[0].re), bits(c));
  EXPECT_EQ(bits(ry[3].re), bits(c));
  EXPECT_EQ(bits(ry[1].re), NEG_ONE64);
  EXPECT_EQ(bits(ry[2].re), ONE64);
  // Rz: m00 from theta * -0.5, m11 from theta * 0.5.
  const Matrix2<double> rz = matrix_2x2<double>(Gate{GateKind::Rz, pi});
  EXPECT_EQ(bits(rz[0].re), bits(std::cos(pi * -0.5)));
  EXPECT_EQ(bits(rz[0].im), bits(std::sin(pi * -0.5)));
  EXPECT_EQ(bits(rz[3].re), bits(std::cos(pi * 0.5)));
  EXPECT_EQ(bits(rz[3].im), bits(std::sin(pi * 0.5)));
  // f32: each finished double entry rounded once.
  const Matrix2<float> rx32 = matrix_2x2<float>(Gate{GateKind::Rx, pi});
  EXPECT_EQ(bits(rx32[0].re), bits(static_cast<float>(c)));
  EXPECT_EQ(bits(rx32[1].im), NEG_ONE32);
}

TEST(GatesTest, U3ProductsInDoublePrecision) {
  const Gate g{GateKind::U3, 0.3, 1.1, -0.7};
  const double c = std::cos(0.3 * 0.5);
  const double n = std::sin(0.3 * 0.5);
  const double sum = 1.1 + -0.7;
  const Matrix2<double> m = matrix_2x2<double>(g);
  EXPECT_EQ(bits(m[0].re), bits(c));
  EXPECT_EQ(bits(m[0].im), 0u);
  EXPECT_EQ(bits(m[1].re), bits(-n * std::cos(-0.7)));
  EXPECT_EQ(bits(m[1].im), bits(-n * std::sin(-0.7)));
  EXPECT_EQ(bits(m[2].re), bits(n * std::cos(1.1)));
  EXPECT_EQ(bits(m[2].im), bits(n * std::sin(1.1)));
  EXPECT_EQ(bits(m[3].re), bits(c * std::cos(sum)));
  EXPECT_EQ(bits(m[3].im), bits(c * std::sin(sum)));
  const Matrix2<float> m32 = matrix_2x2<float>(g);
  for (int e = 0; e < 4; ++e) {
    EXPECT_EQ(bits(m32[e].re), bits(static_cast<float>(m[e].re))) << e;
    EXPECT_EQ(bits(m32[e].im), bits(static_cast<float>(m[e].im))) << e;
  }
  // Rz(theta) and U3(0, 0, theta) differ by a global phase: only Rz's m00 is not 1.
  const Matrix2<double> u = matrix_2x2<double>(Gate{GateKind::U3, 0.0, 0.0, 0.4});
  EXPECT_EQ(bits(u[0].re), ONE64);
  EXPECT_NE(bits(matrix_2x2<double>(Gate{GateKind::Rz, 0.4})[0].re), ONE64);
}

template <typename T>
void expect_nan_entries(GateKind kind, const std::vector<int>& nan_parts) {
  const T nan_angle = std::numeric_limits<T>::quiet_NaN();
  const Matrix2<T> m = matrix_2x2<T>(Gate{kind, nan_angle, nan_angle, nan_angle});
  for (const int part : nan_parts) {
    const T value = part % 2 == 0 ? m[part / 2].re : m[part / 2].im;
    EXPECT_TRUE(std::isnan(value)) << static_cast<int>(kind) << " part " << part;
  }
}

TEST(GatesTest, NanAnglesGiveNanEntries) {
  // Entries that carry cos or sin of the angle (parts: 2 * entry + 0 for re, + 1 for im).
  for (const bool f32 : {false, true}) {
    const auto check = [&](GateKind kind, const std::vector<int>& parts) {
      if (f32) {
        expect_nan_entries<float>(kind, parts);
      } else {
        expect_nan_entries<double>(kind, parts);
      }
    };
    check(GateKind::Rx, {0, 3, 5, 6});
    check(GateKind::Ry, {0, 2, 4, 6});
    check(GateKind::Rz, {0, 1, 6, 7});
    check(GateKind::U3, {0, 2, 3, 4, 5, 6, 7});
  }
  // The structural zeros stay zero.
  const Matrix2<double> rx = matrix_2x2<double>(Gate{GateKind::Rx, std::nan("")});
  EXPECT_EQ(bits(rx[0].im), 0u);
  EXPECT_EQ(bits(rx[1].re), 0u);
}

TEST(GatesTest, MultiQubitKindsAbort) {
  for (const GateKind kind :
       {GateKind::CX, GateKind::CZ, GateKind::SWAP, GateKind::CCX, GateKind::CSWAP}) {
    try {
      (void)matrix_2x2<double>(Gate{kind});
      ADD_FAILURE() << static_cast<int>(kind);
    } catch (const Abort& e) {
      EXPECT_EQ(e.message(), "matrix_2x2는 단일 큐비트 게이트에만 사용 가능");
    }
    EXPECT_THROW((void)matrix_2x2<float>(Gate{kind}), Abort);
  }
}

TEST(GatesTest, TagsAndArity) {
  EXPECT_EQ(static_cast<int>(GateKind::H), 0);
  EXPECT_EQ(static_cast<int>(GateKind::Id), 12);
  EXPECT_EQ(static_cast<int>(GateKind::CX), 13);
  EXPECT_EQ(static_cast<int>(GateKind::CSWAP), 17);
  EXPECT_EQ(arity(GateKind::Id), 1u);
  EXPECT_EQ(arity(GateKind::SWAP), 2u);
  EXPECT_EQ(arity(GateKind::CCX), 3u);
}

}  // namespace
}  // namespace vorn::core
