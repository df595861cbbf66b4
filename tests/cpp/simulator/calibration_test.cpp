// The calibration: what it measures on a fresh state's zero half, that it gives the state back
// bit for bit, that it refuses states it may not write, and that it is kept per precision,
// kernel table and state size.
#include "simulator/calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/kernels/dispatch.h"

namespace vorn::sim {
namespace {

using core::Complex;

template <typename T>
class CalibrationTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(CalibrationTest, Precisions);

// The smallest state the calibration measures: eight blocks.
template <typename T>
unsigned smallest_measured_qubits() {
  return cache_blocking(sizeof(Complex<T>)).block_qubits + 3;
}

// A state whose lower half holds ordinary values and special ones, and whose upper half is zero.
template <typename T>
std::vector<Complex<T>> half_zero_state(unsigned n) {
  std::vector<Complex<T>> v(std::uint64_t{1} << n, Complex<T>{0, 0});
  for (std::size_t i = 0; i < v.size() / 2; ++i) {
    v[i] = {static_cast<T>(std::sin(0.001 * static_cast<double>(i))), T(-0.0)};
  }
  v[1].re = std::numeric_limits<T>::infinity();
  v[2].im = std::numeric_limits<T>::quiet_NaN();
  return v;
}

template <typename T>
bool same_bits(const std::vector<Complex<T>>& a, const std::vector<Complex<T>>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0;
}

template <typename T>
void expect_sane(const Calibration& c, const std::string& context) {
  // Blocks and stretches of a quarter or half of the level-2 cache, runs of at most 4 KiB.
  const unsigned quarter = cache_blocking(sizeof(Complex<T>)).block_qubits;
  for (const unsigned qubits : {c.blocking.block_qubits, c.blocking.in_place_qubits}) {
    EXPECT_GE(qubits, quarter) << context;
    EXPECT_LE(qubits, quarter + 1) << context;
  }
  EXPECT_GE(c.blocking.low_qubits, 3u) << context;
  EXPECT_LT(c.blocking.low_qubits, c.blocking.block_qubits) << context;
  EXPECT_LE(std::uint64_t{sizeof(Complex<T>)} << c.blocking.low_qubits, 4096u) << context;
  // Seconds per amplitude: more than a picosecond, less than a microsecond.
  for (const double cost :
       {c.costs.arithmetic, c.costs.gate, c.costs.controlled, c.costs.in_place, c.costs.gathered}) {
    EXPECT_TRUE(std::isfinite(cost)) << context;
    EXPECT_GT(cost, 1e-12) << context;
    EXPECT_LT(cost, 1e-6) << context;
  }
}

// Every table this CPU runs measures on the zero half and gives every bit of the state back.
TYPED_TEST(CalibrationTest, MeasuresOnTheZeroHalfAndGivesTheStateBack) {
  using T = TypeParam;
  const unsigned n = smallest_measured_qubits<T>() + 1;
  const std::vector<Complex<T>> before = half_zero_state<T>(n);
  for (const auto* table : core::kernels::available_tables<T>()) {
    std::vector<Complex<T>> v = before;
    const std::optional<Calibration> c = measure_calibration<T>(v, *table);
    ASSERT_TRUE(c.has_value()) << table->name;
    expect_sane<T>(*c, table->name);
    EXPECT_TRUE(same_bits(v, before)) << table->name;
  }
}

// A single bit set anywhere in the upper half (a negative zero at its start, in its middle, at
// its end) refuses the measurement and leaves the state as it was; so does a state too short.
TYPED_TEST(CalibrationTest, RefusesStatesItMayNotWrite) {
  using T = TypeParam;
  const unsigned n = smallest_measured_qubits<T>();
  const auto& table = core::kernels::active_table<T>();
  const std::uint64_t len = std::uint64_t{1} << n;
  for (const std::uint64_t at : {len / 2, len / 2 + len / 8 + 5, len - 1}) {
    std::vector<Complex<T>> v = half_zero_state<T>(n);
    v[at].im = T(-0.0);
    const std::vector<Complex<T>> before = v;
    EXPECT_FALSE(measure_calibration<T>(v, table).has_value()) << at;
    EXPECT_TRUE(same_bits(v, before)) << at;
  }
  std::vector<Complex<T>> small = half_zero_state<T>(n - 1);
  const std::vector<Complex<T>> before = small;
  EXPECT_FALSE(measure_calibration<T>(small, table).has_value());
  EXPECT_TRUE(same_bits(small, before));
}

// Once a size is measured, the calibration is kept for the process: a state that could not be
// measured gets it, untouched, and the two precisions and the tables keep their own.
TYPED_TEST(CalibrationTest, IsKeptPerPrecisionTableAndSize) {
  using T = TypeParam;
  const unsigned n = smallest_measured_qubits<T>() + 2;
  for (const auto* table : core::kernels::available_tables<T>()) {
    std::vector<Complex<T>> fresh = half_zero_state<T>(n);
    const std::optional<Calibration> first = calibration_for<T>(fresh, *table);
    ASSERT_TRUE(first.has_value()) << table->name;
    std::vector<Complex<T>> busy = half_zero_state<T>(n);
    busy.back() = {1, 1};
    const std::vector<Complex<T>> before = busy;
    ASSERT_FALSE(measure_calibration<T>(busy, *table).has_value());
    const std::optional<Calibration> kept = calibration_for<T>(busy, *table);
    ASSERT_TRUE(kept.has_value()) << table->name;
    EXPECT_EQ(std::memcmp(&kept->costs, &first->costs, sizeof(PassCosts)), 0) << table->name;
    EXPECT_EQ(kept->blocking.low_qubits, first->blocking.low_qubits);
    EXPECT_EQ(kept->blocking.in_place_qubits, first->blocking.in_place_qubits);
    EXPECT_TRUE(same_bits(busy, before));
  }
  // A size never measured, on a state that cannot be: nothing.
  std::vector<Complex<T>> other = half_zero_state<T>(n + 1);
  other.back() = {1, 1};
  EXPECT_FALSE(calibration_for<T>(other, core::kernels::reference_table<T>()).has_value());
}

TEST(CacheBytes, LevelsGrowOutward) {
  const std::size_t l1 = cache_bytes(1);
  const std::size_t l2 = cache_bytes(2);
  const std::size_t l3 = cache_bytes(3);
  EXPECT_GT(l2, 0u);
  if (l1 > 0) {
    EXPECT_LT(l1, l2);
  }
  if (l3 > 0) {
    EXPECT_LT(l2, l3);
  }
  EXPECT_EQ(cache_bytes(0), 0u);
  EXPECT_EQ(cache_bytes(4), 0u);
}

}  // namespace
}  // namespace vorn::sim
