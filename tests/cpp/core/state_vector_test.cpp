// State-vector creation: the initial state, the size limits, and a failed allocation.
#include "core/state_vector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <utility>

#include "../support/abort_message.h"
#include "core/abort.h"

// Under AddressSanitizer, let a refused allocation return null as it does without it.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace vorn::core {
namespace {

template <typename T>
class StateVectorTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(StateVectorTest, Precisions);

template <typename T>
std::string abort_message(std::uint64_t n) {
  return vorn::test::abort_message([n] { StateVector<T> v(n); });
}

TYPED_TEST(StateVectorTest, StartsInTheZeroState) {
  using T = TypeParam;
  // 1, 3 qubits (heap) and 18 qubits (a mapping of its own at both precisions).
  for (const std::uint64_t n : {1u, 3u, 18u}) {
    StateVector<T> v(n);
    EXPECT_EQ(v.num_qubits(), n);
    EXPECT_EQ(v.len(), std::uint64_t{1} << n);
    const auto a = v.amplitudes();
    ASSERT_EQ(a.size(), v.len());
    EXPECT_EQ(a[0], (Complex<T>{1, 0}));
    for (std::uint64_t i = 1; i < a.size(); ++i) {
      ASSERT_EQ(std::memcmp(&a[i], "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", sizeof(Complex<T>)), 0) << i;
    }
  }
}

TYPED_TEST(StateVectorTest, SizeLimits) {
  using T = TypeParam;
  EXPECT_EQ(abort_message<T>(0), "qubit 수는 1 이상이어야 합니다");
  const std::uint64_t first_overflow = sizeof(T) == 8 ? 59 : 60;
  for (const std::uint64_t n : {first_overflow, first_overflow + 1, std::uint64_t{63},
                                std::uint64_t{64}, std::uint64_t{65}, ~std::uint64_t{0}}) {
    EXPECT_EQ(abort_message<T>(n), "capacity overflow") << n;
  }
  // The largest count that passes the size check fails only for want of memory.
  EXPECT_THROW(StateVector<T>(first_overflow - 1), AllocationFailure);
}

// The process's virtual size in pages.
std::uint64_t virtual_pages() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  statm >> pages;
  return pages;
}

// 40 qubits at f64 (16 TiB) is admissible but cannot be allocated: a clean error, no state,
// and no memory left behind.
TYPED_TEST(StateVectorTest, FailedAllocationIsAnError) {
  using T = TypeParam;
  const std::uint64_t pages_before = virtual_pages();
  for (const std::uint64_t n : {40u, 44u, 40u, 44u}) {
    try {
      StateVector<T> v(n);
      ADD_FAILURE() << "allocated " << n << " qubits";
    } catch (const AllocationFailure& e) {
      EXPECT_EQ(e.num_qubits(), n);
      EXPECT_EQ(e.bytes(), (std::uint64_t{1} << n) * sizeof(Complex<T>));
    }
  }
  // Less than 64 MiB of address space came and stayed (none should).
  EXPECT_LT(virtual_pages(), pages_before + 16384);
  // The process goes on allocating normally.
  StateVector<T> after(10);
  EXPECT_EQ(after.amplitudes()[0], (Complex<T>{1, 0}));
}

TEST(StateVectorLayout, SinglePrecisionTakesHalfTheBytes) {
  StateVector<float> f(5);
  StateVector<double> d(5);
  EXPECT_EQ(f.amplitudes().size_bytes() * 2, d.amplitudes().size_bytes());
  EXPECT_EQ(d.amplitudes().size_bytes(), 32u * 16u);
}

TEST(StateVectorLayout, MoveLeavesAnEmptyVector) {
  StateVector<double> a(4);
  a.amplitudes()[3] = {0.5, -0.25};
  StateVector<double> b(std::move(a));
  EXPECT_EQ(a.len(), 0u);  // NOLINT(bugprone-use-after-move): checks the moved-from state
  EXPECT_TRUE(a.amplitudes().empty());
  EXPECT_EQ(b.len(), 16u);
  EXPECT_EQ(b.amplitudes()[3], (Complex<double>{0.5, -0.25}));
  StateVector<double> c(20);
  c = std::move(b);
  EXPECT_EQ(c.num_qubits(), 4u);
  EXPECT_EQ(c.amplitudes()[3], (Complex<double>{0.5, -0.25}));
}

}  // namespace
}  // namespace vorn::core
