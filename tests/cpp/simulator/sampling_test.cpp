// Sampling: cumulative tables at both precisions, the fixed-shape search, keys and tallies.
#include "simulator/sampling.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "core/abort.h"
#include "core/gates.h"
#include "core/state_vector.h"

namespace vorn::sim {
namespace {

template <typename T>
core::StateVector<T> state_of(const std::vector<core::Complex<T>>& amplitudes) {
  const auto n = static_cast<std::uint64_t>(std::countr_zero(amplitudes.size()));
  core::StateVector<T> state(n);
  auto v = state.amplitudes();
  EXPECT_EQ(v.size(), amplitudes.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    v[i] = amplitudes[i];
  }
  return state;
}

std::map<std::string, std::uint64_t> sorted(const Counts& counts) {
  return {counts.begin(), counts.end()};
}

std::uint64_t total(const Counts& counts) {
  std::uint64_t sum = 0;
  for (const auto& [key, n] : counts) {
    sum += n;
  }
  return sum;
}

// Per-shot reference: every shot writes its key and increments it, as described.
std::map<std::string, std::uint64_t> reference_counts(const std::vector<double>& cumulative,
                                                      std::uint64_t width, std::uint64_t shots,
                                                      SampleRng& rng) {
  std::map<std::string, std::uint64_t> counts;
  for (std::uint64_t shot = 0; shot < shots; ++shot) {
    const double u = static_cast<double>(rng.next_u64() >> 11) * 1.1102230246251565e-16;
    std::uint64_t k = 0;  // the number of entries <= u
    while (k < cumulative.size() && cumulative[k] <= u) {
      ++k;
    }
    k = std::min<std::uint64_t>(k, cumulative.size() - 1);
    std::string key;
    for (std::uint64_t b = width; b-- > 0;) {
      key += ((k >> b) & 1) != 0 ? '1' : '0';
    }
    ++counts[key];
  }
  return counts;
}

template <typename T>
class SamplingTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SamplingTest, Precisions);

TEST(UniformTest, SeedZeroUniformValues) {
  SampleRng rng = SampleRng::seed_from_u64(0);
  EXPECT_EQ(uniform_from_draw(rng.next_u64()), 0.7311134158637046);
  EXPECT_EQ(uniform_from_draw(rng.next_u64()), 0.7734601843532382);
  EXPECT_EQ(uniform_from_draw(rng.next_u64()), 0.025844634233355035);
  EXPECT_EQ(uniform_from_draw(rng.next_u64()), 0.5841592619362002);
  EXPECT_EQ(uniform_from_draw(0), 0.0);
  EXPECT_EQ(uniform_from_draw(~std::uint64_t{0}), 1.0 - 0x1.0p-53);
  EXPECT_EQ(uniform_from_draw(0x7ff), 0.0);  // the low 11 bits are dropped
}

TYPED_TEST(SamplingTest, HadamardStateGivesThreeOnesAndOneZeroForSeedZero) {
  using T = TypeParam;
  const core::Complex<T> s = core::matrix_2x2<T>(core::Gate{core::GateKind::H})[0];
  const auto state = state_of<T>({s, s});
  const std::vector<double> c = cumulative_probabilities(state);
  ASSERT_EQ(c.size(), 2u);
  const double expected = std::is_same_v<T, float> ? 0.4999999701976776 : 0.5000000000000001;
  EXPECT_EQ(c[0], expected);
  EXPECT_EQ(c[1], 1.0);

  SampleRng rng = SampleRng::seed_from_u64(0);
  const Counts counts = sample_counts(state, 4, rng);
  EXPECT_EQ(sorted(counts), (std::map<std::string, std::uint64_t>{{"0", 1}, {"1", 3}}));
}

TYPED_TEST(SamplingTest, ZeroShotsDrawNothing) {
  using T = TypeParam;
  const auto state = state_of<T>({{1, 0}, {0, 0}});
  SampleRng rng = SampleRng::seed_from_u64(7);
  EXPECT_TRUE(sample_counts(state, 0, rng).empty());
  SampleRng fresh = SampleRng::seed_from_u64(7);
  EXPECT_EQ(rng.next_u64(), fresh.next_u64());
}

TYPED_TEST(SamplingTest, EachShotDrawsExactlyOnce) {
  using T = TypeParam;
  const auto state = state_of<T>({{0.6f, 0}, {0, 0.8f}});
  for (const std::uint64_t shots : {1u, 31u, 32u, 33u, 100u}) {
    SampleRng rng = SampleRng::seed_from_u64(3);
    const Counts counts = sample_counts(state, shots, rng);
    EXPECT_EQ(total(counts), shots);
    SampleRng skipped = SampleRng::seed_from_u64(3);
    for (std::uint64_t d = 0; d < shots; ++d) {
      skipped.next_u64();
    }
    EXPECT_EQ(rng.next_u64(), skipped.next_u64()) << shots << " shots";
  }
}

TYPED_TEST(SamplingTest, BasisStatesGiveTheirKeyOnEveryShot) {
  using T = TypeParam;
  SampleRng rng = SampleRng::seed_from_u64(11);
  EXPECT_EQ(sorted(sample_counts(state_of<T>({{1, 0}, {0, 0}}), 50, rng)),
            (std::map<std::string, std::uint64_t>{{"0", 50}}));
  EXPECT_EQ(sorted(sample_counts(state_of<T>({{0, 0}, {0, 1}}), 50, rng)),
            (std::map<std::string, std::uint64_t>{{"1", 50}}));
  // Three qubits with qubit 0 set: index 1, written with qubit 0 rightmost.
  std::vector<core::Complex<T>> eight(8, core::Complex<T>{0, 0});
  eight[1] = {1, 0};
  EXPECT_EQ(sorted(sample_counts(state_of<T>(eight), 20, rng)),
            (std::map<std::string, std::uint64_t>{{"001", 20}}));
  eight[1] = {0, 0};
  eight[6] = {0, -1};
  EXPECT_EQ(sorted(sample_counts(state_of<T>(eight), 3, rng)),
            (std::map<std::string, std::uint64_t>{{"110", 3}}));
}

TYPED_TEST(SamplingTest, ZeroProbabilityOutcomesNeverOccur) {
  using T = TypeParam;
  // h(0) on two qubits: only "00" and "01".
  const core::Complex<T> s = core::matrix_2x2<T>(core::Gate{core::GateKind::H})[0];
  const auto state = state_of<T>({s, s, {0, 0}, {0, 0}});
  SampleRng rng = SampleRng::seed_from_u64(5);
  const Counts counts = sample_counts(state, 2000, rng);
  EXPECT_EQ(total(counts), 2000u);
  for (const auto& [key, n] : counts) {
    EXPECT_TRUE(key == "00" || key == "01") << key;
  }
  EXPECT_EQ(counts.size(), 2u);
}

TYPED_TEST(SamplingTest, ShortfallGoesToTheLastIndex) {
  using T = TypeParam;
  // Total probability 0.75 with a zero last amplitude: the last entry is forced to 1.0, so
  // about a quarter of the shots land on "11".
  const auto state = state_of<T>({{0.5, 0}, {0, 0.5}, {-0.5, 0}, {0, 0}});
  const std::vector<double> c = cumulative_probabilities(state);
  EXPECT_EQ(c, (std::vector<double>{0.25, 0.5, 0.75, 1.0}));
  SampleRng rng = SampleRng::seed_from_u64(9);
  const Counts counts = sample_counts(state, 4000, rng);
  ASSERT_TRUE(counts.contains("11"));
  EXPECT_GT(counts.at("11"), 800u);
  EXPECT_LT(counts.at("11"), 1200u);
}

TYPED_TEST(SamplingTest, ExcessIsTakenFromTheLastIndex) {
  using T = TypeParam;
  // Total 2.0: the first entry alone reaches 1.0, so nothing beyond index 0 can be drawn.
  const auto state = state_of<T>({{1, 0}, {0, 1}});
  EXPECT_EQ(cumulative_probabilities(state), (std::vector<double>{1.0, 1.0}));
  SampleRng rng = SampleRng::seed_from_u64(1);
  EXPECT_EQ(sorted(sample_counts(state, 100, rng)),
            (std::map<std::string, std::uint64_t>{{"0", 100}}));
}

TYPED_TEST(SamplingTest, NanStateGivesTheAllZerosKey) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const auto state = state_of<T>({{nan, nan}, {nan, 0}, {0, nan}, {nan, nan}});
  const std::vector<double> c = cumulative_probabilities(state);
  EXPECT_TRUE(std::isnan(c[0]) && std::isnan(c[1]) && std::isnan(c[2]));
  EXPECT_EQ(c[3], 1.0);
  SampleRng rng = SampleRng::seed_from_u64(2);
  EXPECT_EQ(sorted(sample_counts(state, 64, rng)),
            (std::map<std::string, std::uint64_t>{{"00", 64}}));
}

TYPED_TEST(SamplingTest, CountsMatchThePerShotReferenceOnBothTallyPaths) {
  using T = TypeParam;
  for (const std::uint64_t n : {1u, 3u, 6u, 10u}) {
    std::vector<core::Complex<T>> amplitudes(std::size_t{1} << n);
    std::uint64_t x = 0x9e3779b97f4a7c15u * (n + 1);
    double norm = 0.0;
    for (auto& a : amplitudes) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      // Some exact zeros, so that zero-probability outcomes are present.
      const double re = (x % 5 == 0) ? 0.0 : static_cast<double>(x % 1000) / 1000.0;
      const double im = (x % 5 == 0) ? 0.0 : static_cast<double>((x >> 20) % 1000) / 1000.0;
      a = {static_cast<T>(re), static_cast<T>(im)};
      norm += re * re + im * im;
    }
    const double scale = 1.0 / std::sqrt(norm);
    for (auto& a : amplitudes) {
      a = {static_cast<T>(a.re * scale), static_cast<T>(a.im * scale)};
    }
    const auto state = state_of<T>(amplitudes);
    const std::vector<double> c = cumulative_probabilities(state);
    // Far fewer shots than outcomes (10 qubits, 5 shots) and many shots take different tally
    // paths.
    for (const std::uint64_t shots : {std::uint64_t{5}, std::uint64_t{3000}}) {
      SCOPED_TRACE(testing::Message() << n << " qubits, " << shots << " shots");
      SampleRng rng = SampleRng::seed_from_u64(n * 1000 + shots);
      SampleRng ref_rng = SampleRng::seed_from_u64(n * 1000 + shots);
      const Counts counts = sample_counts(state, shots, rng);
      EXPECT_EQ(sorted(counts), reference_counts(c, n, shots, ref_rng));
      EXPECT_EQ(rng.next_u64(), ref_rng.next_u64());
      for (const auto& [key, count] : counts) {
        EXPECT_EQ(key.size(), n);
        EXPECT_GT(count, 0u);
      }
    }
  }
}

TEST(CumulativeTest, ProbabilitiesAreFormedInTheStateFloatType) {
  volatile float re = 0.1f;
  volatile float im = 0.3f;
  const float p_f = re * re + im * im;
  const auto state = state_of<float>({{re, im}, {0, 0}});
  const std::vector<double> c = cumulative_probabilities(state);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(c[0]),
            std::bit_cast<std::uint64_t>(static_cast<double>(p_f)));
  // Formed in double, the same amplitudes would give a different value.
  const double p_d = static_cast<double>(re) * re + static_cast<double>(im) * im;
  EXPECT_NE(c[0], p_d);
}

TEST(CumulativeTest, SumIsStrictlyLeftToRight) {
  // 0.5 + 2^-54 rounds back to 0.5 (tie to even) twice; any other grouping would add 2^-53
  // first and land on 0.5000000000000001.
  const double tiny = 0x1.0p-27;  // squared: 2^-54
  const auto state = state_of<double>({{0.5, 0.5}, {tiny, 0}, {0, tiny}, {0, 0}});
  const std::vector<double> c = cumulative_probabilities(state);
  EXPECT_EQ(c[0], 0.5);
  EXPECT_EQ(c[1], c[0]);
  EXPECT_EQ(c[2], c[0]);
  EXPECT_EQ(c[3], 1.0);
}

TEST(SearchTest, CountsEntriesNotAboveUAndClamps) {
  const std::vector<double> c = {0.0, 0.25, 0.25, 0.5, 0.5, 0.5, 0.75, 1.0};
  const auto naive = [&](double u) {
    std::uint64_t k = 0;
    for (const double v : c) {
      k += u >= v ? 1 : 0;
    }
    return std::min<std::uint64_t>(k, c.size() - 1);
  };
  for (const double u : {0.0, 1e-300, 0.1, 0.25, 0.2499999999, 0.3, 0.5, 0.6, 0.75, 0.99,
                         1.0 - 0x1.0p-53, 1.0, 2.0}) {
    EXPECT_EQ(search_cumulative(c, u), naive(u)) << u;
  }
  // Zero-probability entries are passed over: 0.25 repeated sends u = 0.25 to index 3.
  EXPECT_EQ(search_cumulative(c, 0.25), 3u);
  EXPECT_EQ(search_cumulative(c, 0.0), 1u);
  // A table of one entry always yields 0.
  EXPECT_EQ(search_cumulative(std::vector<double>{1.0}, 0.5), 0u);
  EXPECT_EQ(search_cumulative(std::vector<double>{1.0}, 1.0), 0u);
}

TEST(SearchTest, NanEntriesNeverCompareTrue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> c = {nan, nan, nan, nan, nan, nan, nan, 1.0};
  for (const double u : {0.0, 0.5, 0.999}) {
    EXPECT_EQ(search_cumulative(c, u), 0u);
  }
  EXPECT_EQ(search_cumulative(c, nan), 0u);
}

TEST(KeyTest, BinaryMostSignificantFirstPaddedToWidth) {
  EXPECT_EQ(outcome_key(0, 1), "0");
  EXPECT_EQ(outcome_key(1, 1), "1");
  EXPECT_EQ(outcome_key(6, 3), "110");
  EXPECT_EQ(outcome_key(1, 5), "00001");
  EXPECT_EQ(outcome_key(0b10110, 5), "10110");
  const std::string wide = outcome_key(std::uint64_t{1} << 63 | 1, 70);
  EXPECT_EQ(wide, std::string(6, '0') + "1" + std::string(62, '0') + "1");
  EXPECT_EQ(outcome_key(3, 65535).size(), 65535u);
}

TEST(KeyTest, WidthAbove65535Aborts) {
  try {
    outcome_key(0, 65536);
    FAIL() << "no abort";
  } catch (const core::Abort& e) {
    EXPECT_EQ(e.message(), "Formatting argument out of range");
  }
}

}  // namespace
}  // namespace vorn::sim
