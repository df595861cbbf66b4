// Sampling: cumulative tables at both precisions, the fixed-shape search, keys and tallies, and
// the searches of many uniforms at once (by buckets) against the search of each on its own.
#include "simulator/sampling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "abort_message.h"
#include "core/abort.h"
#include "core/gates.h"
#include "core/parallel.h"
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

// ---- many uniforms at once --------------------------------------------------------------------

// The search as described, step by step: the reference for every batch search below.
std::uint64_t fixed_shape_search(const std::vector<double>& c, double u) {
  std::uint64_t base = 0;
  std::uint64_t size = c.size();
  while (size > 1) {
    const std::uint64_t half = size / 2;
    const std::uint64_t mid = base + half;
    if (u >= c[mid]) {
      base = mid;
    }
    size -= half;
  }
  const std::uint64_t k = u >= c[base] ? base + 1 : base;
  return std::min<std::uint64_t>(k, c.size() - 1);
}

// Cumulative sums of `p` left to right, the last entry then set to `last`.
std::vector<double> table_of(const std::vector<double>& p, double last = 1.0) {
  std::vector<double> c(p.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    sum = i == 0 ? p[i] : sum + p[i];
    c[i] = sum;
  }
  c.back() = last;
  return c;
}

// n probabilities adding up to about `total`, a fraction `zeros` of them exactly 0.
std::vector<double> random_probabilities(std::size_t n, double zeros, double total,
                                         std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> p(n);
  double sum = 0.0;
  for (double& x : p) {
    x = unit(gen) < zeros ? 0.0 : unit(gen);
    sum += x;
  }
  for (double& x : p) {
    x = sum > 0.0 ? x / sum * total : x;
  }
  return p;
}

struct TableCase {
  const char* name;
  std::function<std::vector<double>()> make;
};

void PrintTo(const TableCase& table, std::ostream* os) { *os << table.name; }

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::vector<TableCase> table_cases() {
  return {
      {"OneEntry", [] { return std::vector<double>{1.0}; }},
      {"TwoEntries",
       [] {
         return table_of({0.25, 0.75});
       }},
      // With two entries the first comparison is with the last entry: these two are searched
      // one by one, and a u in [0.3, 0.5) or [1.0, 1.5) tells them apart from a count.
      {"TwoEntriesLastBelowFirst",
       [] {
         return std::vector<double>{0.5, 0.3};
       }},
      {"TwoEntriesFirstAboveOne",
       [] {
         return std::vector<double>{1.5, 1.0};
       }},
      {"TwoEntriesNan",
       [] {
         return std::vector<double>{kNan, 1.0};
       }},
      {"ThreeEntries",
       [] {
         return table_of({0.2, 0.3, 0.5});
       }},
      {"FiveEntries", [] { return table_of(random_probabilities(5, 0.0, 1.0, 5)); }},
      {"Random1000", [] { return table_of(random_probabilities(1000, 0.0, 1.0, 6)); }},
      {"Random65536", [] { return table_of(random_probabilities(65536, 0.0, 1.0, 7)); }},
      {"Uniform4096", [] { return table_of(std::vector<double>(4096, 1.0 / 4096)); }},
      {"ZerosAndTies", [] { return table_of(random_probabilities(4096, 0.7, 1.0, 8)); }},
      {"MostlyZeros", [] { return table_of(random_probabilities(65536, 0.999, 1.0, 9)); }},
      {"OneCertainOutcome",
       [] {
         std::vector<double> p(1024, 0.0);
         p[700] = 1.0;
         return table_of(p);
       }},
      // The total short of 1: the forced last entry takes the rest.
      {"ShortOfOne", [] { return table_of(random_probabilities(3000, 0.2, 0.9, 10)); }},
      // The total above 1 with a last probability of 0: the entries before the last exceed
      // the forced 1.0 that follows them.
      {"AboveOneBeforeTheLast",
       [] {
         std::vector<double> p = random_probabilities(2048, 0.1, 1.25, 11);
         p.back() = 0.0;
         p[p.size() - 2] = 0.5;
         return table_of(p);
       }},
      {"LastEntryBelowTheOneBefore",
       [] { return table_of(random_probabilities(100, 0.0, 1.0, 12), 0.25); }},
      {"LastEntryNan", [] { return table_of(random_probabilities(100, 0.0, 1.0, 13), kNan); }},
      {"AllNanButTheLast", [] { return table_of(std::vector<double>(1024, kNan)); }},
      {"NanFromTheMiddle",
       [] {
         std::vector<double> p = random_probabilities(1024, 0.0, 1.0, 14);
         p[300] = kNan;
         return table_of(p);
       }},
      {"NanOnlyFirst",
       [] {
         std::vector<double> c = table_of(random_probabilities(64, 0.0, 1.0, 15));
         c[0] = kNan;
         return c;
       }},
      {"DecreasingInside",
       [] {
         std::vector<double> c = table_of(random_probabilities(4096, 0.0, 1.0, 16));
         std::swap(c[1000], c[2000]);
         return c;
       }},
      {"InfinityInside",
       [] {
         std::vector<double> p = random_probabilities(512, 0.0, 0.5, 17);
         p[400] = kInf;
         return table_of(p);
       }},
      {"NegativeEntries", [] { return std::vector<double>{-2.0, -1.0, -1.0, 0.0, 0.5, 1.0}; }},
  };
}

// Draws, every entry of the table with its neighbours, bucket edges, and values outside [0, 1).
std::vector<double> uniforms_for(const std::vector<double>& table, std::size_t draws,
                                 std::uint64_t seed) {
  std::vector<double> u;
  SampleRng rng = SampleRng::seed_from_u64(seed);
  for (std::size_t d = 0; d < draws; ++d) {
    u.push_back(uniform_from_draw(rng.next_u64()));
  }
  for (std::size_t i = 0; i < table.size(); i += 1 + table.size() / 512) {
    const double v = table[i];
    u.push_back(v);
    u.push_back(std::nextafter(v, -kInf));
    u.push_back(std::nextafter(v, kInf));
  }
  for (const unsigned bits : {1u, 6u, 12u, 24u, 53u}) {
    for (std::uint64_t k = 1; k < 8; ++k) {
      const double edge = std::ldexp(static_cast<double>(k), -static_cast<int>(bits));
      u.push_back(edge);
      u.push_back(std::nextafter(edge, 0.0));
    }
  }
  for (const double v : {0.0, -0.0, 5e-324, 1e-300, 0.5, 1.0 - 0x1.0p-53, 1.0, 1.25, 2.0, kInf,
                         -kInf, -1e-300, -1.0, kNan}) {
    u.push_back(v);
  }
  std::shuffle(u.begin(), u.end(), std::mt19937_64(seed));
  return u;
}

class BatchSearchTest : public ::testing::TestWithParam<TableCase> {};

TEST_P(BatchSearchTest, SearchSortedGivesEachUniformItsOwnSearch) {
  const std::vector<double> table = GetParam().make();
  // Few uniforms (each searched over its bucket's stretch of the table) and many (through the
  // guide of each bucket), and enough for the pool.
  for (const std::size_t draws : {std::size_t{0}, std::size_t{60}, std::size_t{50000}}) {
    const std::vector<double> u = uniforms_for(table, draws, draws + table.size());
    const std::vector<std::uint64_t> found = search_sorted(table, u);
    ASSERT_EQ(found.size(), u.size());
    for (std::size_t i = 0; i < u.size(); ++i) {
      ASSERT_EQ(found[i], fixed_shape_search(table, u[i]))
          << "u = " << u[i] << " (" << draws << " draws)";
    }
  }
}

TEST_P(BatchSearchTest, SampleIndicesGiveEachShotItsOwnSearch) {
  const std::vector<double> table = GetParam().make();
  for (const std::uint64_t shots : {std::uint64_t{1}, std::uint64_t{777}, std::uint64_t{40000}}) {
    SampleRng rng = SampleRng::seed_from_u64(shots);
    SampleRng ref = SampleRng::seed_from_u64(shots);
    const std::vector<std::uint64_t> indices = sample_indices(table, shots, rng);
    ASSERT_EQ(indices.size(), shots);
    for (std::uint64_t s = 0; s < shots; ++s) {
      ASSERT_EQ(indices[s], fixed_shape_search(table, uniform_from_draw(ref.next_u64())))
          << "shot " << s << " of " << shots;
    }
    EXPECT_EQ(rng.next_u64(), ref.next_u64()) << "draws taken for " << shots << " shots";
  }
}

TEST_P(BatchSearchTest, TallyCountsTheShotsOfEachIndex) {
  const std::vector<double> table = GetParam().make();
  // Shots below and above a sixteenth of the outcomes take the sorted and the counter tally.
  for (const std::uint64_t shots :
       {std::uint64_t{3}, table.size() / 16 + 1, std::uint64_t{30000}}) {
    SampleRng rng = SampleRng::seed_from_u64(shots + 100);
    SampleRng ref = SampleRng::seed_from_u64(shots + 100);
    std::map<std::uint64_t, std::uint64_t> expected;
    for (std::uint64_t s = 0; s < shots; ++s) {
      ++expected[fixed_shape_search(table, uniform_from_draw(ref.next_u64()))];
    }
    std::vector<IndexCount> expected_tally;
    for (const auto& [index, n] : expected) {
      expected_tally.push_back(IndexCount{index, n});
    }
    EXPECT_EQ(sample_tally(table, shots, rng), expected_tally) << shots << " shots";
    EXPECT_EQ(rng.next_u64(), ref.next_u64());
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, BatchSearchTest, ::testing::ValuesIn(table_cases()),
                         [](const ::testing::TestParamInfo<TableCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(BatchSearchTest, ChunksFollowEachOtherInShotOrder) {
  // More shots than one chunk of draws (2^22) on a small table.
  const std::vector<double> table = table_of(random_probabilities(8, 0.0, 1.0, 1));
  const std::uint64_t shots = (std::uint64_t{1} << 22) + 5;
  SampleRng rng = SampleRng::seed_from_u64(99);
  SampleRng ref = SampleRng::seed_from_u64(99);
  const std::vector<std::uint64_t> indices = sample_indices(table, shots, rng);
  std::vector<std::uint64_t> counters(table.size(), 0);
  for (std::uint64_t s = 0; s < shots; ++s) {
    const std::uint64_t k = fixed_shape_search(table, uniform_from_draw(ref.next_u64()));
    ASSERT_EQ(indices[s], k) << "shot " << s;
    ++counters[k];
  }
  SampleRng again = SampleRng::seed_from_u64(99);
  const std::vector<IndexCount> tally = sample_tally(table, shots, again);
  std::vector<std::uint64_t> tallied(table.size(), 0);
  for (const IndexCount& entry : tally) {
    tallied[entry.index] = entry.shots;
  }
  EXPECT_EQ(tallied, counters);
  EXPECT_EQ(rng.next_u64(), ref.next_u64());
}

TEST(BatchSearchTest, ResultsDoNotDependOnThePoolSize) {
  const std::vector<double> table = table_of(random_probabilities(1 << 14, 0.3, 1.0, 3));
  const std::vector<double> u = uniforms_for(table, 100000, 4);
  std::vector<std::vector<std::uint64_t>> found;
  std::vector<std::vector<IndexCount>> tallies;
  for (const std::size_t threads : {1u, 2u, 3u}) {
    core::testing::run_with_pool_size(threads, [&] {
      found.push_back(search_sorted(table, u));
      SampleRng rng = SampleRng::seed_from_u64(5);
      tallies.push_back(sample_tally(table, 200000, rng));
    });
  }
  EXPECT_EQ(found[0], found[1]);
  EXPECT_EQ(found[0], found[2]);
  EXPECT_EQ(tallies[0], tallies[1]);
  EXPECT_EQ(tallies[0], tallies[2]);
}

TEST(BatchSearchTest, EmptyTableAborts) {
  const std::vector<double> empty;
  SampleRng rng = SampleRng::seed_from_u64(1);
  const std::string message = "search over an empty cumulative table";
  EXPECT_EQ(test::abort_message([&] { search_sorted(empty, std::vector<double>{0.5}); }), message);
  EXPECT_EQ(test::abort_message([&] { sample_indices(empty, 1, rng); }), message);
  EXPECT_EQ(test::abort_message([&] { sample_tally(empty, 1, rng); }), message);
}

// 2^n amplitudes with normally distributed parts, of about unit norm in total.
template <typename T>
std::vector<core::Complex<T>> random_amplitudes(unsigned n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> normal;
  const double scale = 1.0 / std::sqrt(2.0 * static_cast<double>(std::uint64_t{1} << n));
  std::vector<core::Complex<T>> amplitudes(std::size_t{1} << n);
  for (auto& a : amplitudes) {
    a = {static_cast<T>(normal(gen) * scale), static_cast<T>(normal(gen) * scale)};
  }
  return amplitudes;
}

TYPED_TEST(SamplingTest, StateIndicesMatchTheTableOfTheState) {
  using T = TypeParam;
  const auto state = state_of<T>(random_amplitudes<T>(12, 21));
  const std::vector<double> c = cumulative_probabilities(state);
  SampleRng rng = SampleRng::seed_from_u64(8);
  SampleRng ref = SampleRng::seed_from_u64(8);
  const std::vector<std::uint64_t> indices = sample_indices(state, 20000, rng);
  ASSERT_EQ(indices.size(), 20000u);
  for (const std::uint64_t k : indices) {
    ASSERT_EQ(k, fixed_shape_search(c, uniform_from_draw(ref.next_u64())));
  }
  EXPECT_TRUE(sample_indices(state, 0, rng).empty());
  EXPECT_EQ(rng.next_u64(), ref.next_u64());
}

TYPED_TEST(SamplingTest, StatesWithNanInfinityOrAnyTotalFollowTheSearch) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const T inf = std::numeric_limits<T>::infinity();
  // Special amplitudes placed into a random state of n qubits.
  struct Special {
    const char* name;
    std::function<void(std::vector<core::Complex<T>>&)> apply;
  };
  const std::vector<Special> specials = {
      {"NanInside",
       [&](auto& a) {
         a[a.size() / 3] = {nan, 0};
       }},
      {"NanFirst",
       [&](auto& a) {
         a[0] = {0, nan};
       }},
      {"InfinityInside",
       [&](auto& a) {
         a[a.size() / 5] = {inf, 0};
       }},
      // Total about 1.3 with a zero last amplitude: the sums pass 1 before the forced 1.0.
      {"AboveOneBeforeTheLast",
       [&](auto& a) {
         for (auto& x : a) {
           x = {x.re * static_cast<T>(1.14), x.im * static_cast<T>(1.14)};
         }
         a.back() = {0, 0};
       }},
      {"AllZero",
       [&](auto& a) {
         std::fill(a.begin(), a.end(), core::Complex<T>{0, 0});
       }},
      {"EveryOtherZero",
       [&](auto& a) {
         for (std::size_t i = 0; i < a.size(); i += 2) {
           a[i] = {0, 0};
         }
       }},
  };
  // 8 qubits with many shots count per outcome; 14 qubits with few tally sorted indices.
  for (const auto& [n, shots] :
       {std::pair<unsigned, std::uint64_t>{8, 5000}, std::pair<unsigned, std::uint64_t>{14, 700}}) {
    for (const Special& special : specials) {
      SCOPED_TRACE(testing::Message() << special.name << ", " << n << " qubits");
      std::vector<core::Complex<T>> amplitudes = random_amplitudes<T>(n, n);
      special.apply(amplitudes);
      const auto state = state_of<T>(amplitudes);
      const std::vector<double> c = cumulative_probabilities(state);

      SampleRng rng = SampleRng::seed_from_u64(n);
      SampleRng ref = SampleRng::seed_from_u64(n);
      const std::vector<std::uint64_t> indices = sample_indices(state, shots, rng);
      std::map<std::string, std::uint64_t> expected;
      for (std::uint64_t s = 0; s < shots; ++s) {
        const std::uint64_t k = fixed_shape_search(c, uniform_from_draw(ref.next_u64()));
        ASSERT_EQ(indices[s], k) << "shot " << s;
        ++expected[outcome_key(k, n)];
      }
      SampleRng again = SampleRng::seed_from_u64(n);
      EXPECT_EQ(sorted(sample_counts(state, shots, again)), expected);
      const std::uint64_t next = ref.next_u64();
      EXPECT_EQ(rng.next_u64(), next);
      EXPECT_EQ(again.next_u64(), next);
    }
  }
}

TYPED_TEST(SamplingTest, TableOfAmplitudesIsTheTableOfTheState) {
  using T = TypeParam;
  // Large enough for the probabilities to be formed on the pool.
  const std::vector<core::Complex<T>> amplitudes = random_amplitudes<T>(15, 22);
  const auto state = state_of<T>(amplitudes);
  std::vector<double> expected(amplitudes.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < amplitudes.size(); ++i) {
    volatile T re = amplitudes[i].re;
    volatile T im = amplitudes[i].im;
    const T p = re * re + im * im;
    sum = i == 0 ? static_cast<double>(p) : sum + static_cast<double>(p);
    expected[i] = sum;
  }
  expected.back() = 1.0;
  const std::vector<double> from_state = cumulative_probabilities(state);
  const std::vector<double> from_span =
      cumulative_probabilities(std::span<const core::Complex<T>>(amplitudes));
  ASSERT_EQ(from_state.size(), expected.size());
  EXPECT_EQ(std::memcmp(from_state.data(), expected.data(), expected.size() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(from_span.data(), expected.data(), expected.size() * sizeof(double)), 0);
  EXPECT_TRUE(cumulative_probabilities(std::span<const core::Complex<T>>()).empty());
}

TEST(CountsFromTallyTest, EveryIndexGetsItsKeyAndShots) {
  // Small tallies keep their order; from 2^16 entries on the keys go in by bucket group, and
  // keys over 128 characters keep their order again.
  for (const std::uint64_t width : {std::uint64_t{3}, std::uint64_t{20}, std::uint64_t{130}}) {
    for (const std::uint64_t entries : {std::uint64_t{5}, std::uint64_t{70000}}) {
      if (width == 3 && entries > 8) {
        continue;
      }
      std::vector<IndexCount> tally;
      std::map<std::string, std::uint64_t> expected;
      for (std::uint64_t i = 0; i < entries; ++i) {
        const std::uint64_t index = width == 3 ? i : i * 7 + (i % 3) * (std::uint64_t{1} << 18);
        tally.push_back(IndexCount{index, i % 5 + 1});
        expected[outcome_key(index, width)] = i % 5 + 1;
      }
      const Counts counts = counts_from_tally(tally, width);
      EXPECT_EQ(counts.size(), entries);
      EXPECT_EQ(sorted(counts), expected) << width << " wide, " << entries << " entries";
    }
  }
  EXPECT_TRUE(counts_from_tally({}, 4).empty());
  EXPECT_EQ(test::abort_message([] { counts_from_tally({}, 65536); }),
            "Formatting argument out of range");
}

}  // namespace
}  // namespace vorn::sim
