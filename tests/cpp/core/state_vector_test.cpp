// State-vector creation: the initial state, the size limits, and a failed allocation.
#include "core/state_vector.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "../support/abort_message.h"
#include "child_process.h"
#include "core/abort.h"
#include "core/parallel.h"

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

// The first problem with v as |0...0>, bit for bit (amplitude 0 = +1 +0i, every other byte
// zero), or "" when there is none.
template <typename T>
std::string zero_state_difference(const StateVector<T>& v) {
  const auto a = v.amplitudes();
  const Complex<T> one{1, 0};
  if (a.empty() || std::memcmp(&a[0], &one, sizeof one) != 0) {
    return "amplitude 0 is not 1";
  }
  static const std::vector<unsigned char> zeros(1 << 16, 0);
  const auto* bytes = reinterpret_cast<const unsigned char*>(a.data());
  const std::uint64_t total = a.size_bytes();
  for (std::uint64_t at = sizeof one; at < total; at += zeros.size()) {
    const std::uint64_t length = std::min<std::uint64_t>(zeros.size(), total - at);
    if (std::memcmp(bytes + at, zeros.data(), length) != 0) {
      return "non-zero byte in [" + std::to_string(at) + ", " + std::to_string(at + length) + ")";
    }
  }
  return "";
}

// Fills every byte of v with 0xff (NaN amplitudes), as a state left by some run might be.
template <typename T>
void poison(StateVector<T>& v) {
  std::memset(v.amplitudes().data(), 0xff, v.amplitudes().size_bytes());
}

template <typename T>
std::uint64_t state_bytes(std::uint64_t n) {
  return (std::uint64_t{1} << n) * sizeof(Complex<T>);
}

// A released state's mapping serves the next state of its size, which starts as |0...0>
// whatever the last one left in it: below and above the size from which the fill bypasses the
// caches (128 MiB), on pools of 1, 2 and 3 threads.
TYPED_TEST(StateVectorTest, ReusedMappingIsZeroed) {
  using T = TypeParam;
  const std::uint64_t large = sizeof(T) == 8 ? 23 : 24;
  for (const std::uint64_t n : {std::uint64_t{18}, large}) {
    for (const std::size_t threads : {1u, 2u, 3u}) {
      testing::run_with_pool_size(threads, [&] {
        testing::release_spare_mapping();
        std::optional<StateVector<T>> first(std::in_place, n);
        const void* memory = first->amplitudes().data();
        poison(*first);
        first.reset();
        EXPECT_EQ(testing::spare_mapping_bytes(), state_bytes<T>(n));
        StateVector<T> second(n);
        EXPECT_EQ(static_cast<const void*>(second.amplitudes().data()), memory) << n;
        EXPECT_EQ(testing::spare_mapping_bytes(), 0u);
        EXPECT_EQ(zero_state_difference(second), "") << n << " " << threads;
      });
    }
  }
  testing::release_spare_mapping();
}

// Only a mapping of exactly the requested bytes is reused, whatever the precision; any other
// size releases it. Heap-sized states are never kept, and a refused request keeps it.
TYPED_TEST(StateVectorTest, SpareServesOnlyItsOwnSize) {
  using T = TypeParam;
  using Other = std::conditional_t<sizeof(T) == 4, double, float>;
  testing::release_spare_mapping();
  {
    StateVector<T> small(10);
    poison(small);
  }
  EXPECT_EQ(testing::spare_mapping_bytes(), 0u);
  std::optional<StateVector<T>> a(std::in_place, 18);
  poison(*a);
  a.reset();
  ASSERT_EQ(testing::spare_mapping_bytes(), state_bytes<T>(18));
  // A request that cannot be met leaves the spare as it is.
  EXPECT_THROW(StateVector<T>(44), AllocationFailure);
  EXPECT_EQ(testing::spare_mapping_bytes(), state_bytes<T>(18));
  // The same bytes at the other precision: reused and zeroed.
  const std::uint64_t same_bytes = sizeof(T) == 8 ? 19 : 17;
  std::optional<StateVector<Other>> b(std::in_place, same_bytes);
  EXPECT_EQ(testing::spare_mapping_bytes(), 0u);
  EXPECT_EQ(zero_state_difference(*b), "");
  poison(*b);
  b.reset();
  ASSERT_EQ(testing::spare_mapping_bytes(), state_bytes<T>(18));
  // Another size releases the spare before mapping its own.
  {
    StateVector<T> c(19);
    EXPECT_EQ(testing::spare_mapping_bytes(), 0u);
    EXPECT_EQ(zero_state_difference(c), "");
    StateVector<T> d(17);
    EXPECT_EQ(zero_state_difference(d), "");
    poison(c);
    poison(d);
  }
  // Of the two released last, only the last is kept.
  EXPECT_EQ(testing::spare_mapping_bytes(), state_bytes<T>(19));
  testing::release_spare_mapping();
  EXPECT_EQ(testing::spare_mapping_bytes(), 0u);
}

// However many states are released, at most one mapping is kept: the address space returns to
// within one state's size of where it started.
TEST(SpareMapping, KeepsAtMostOneMapping) {
  testing::release_spare_mapping();
  const std::uint64_t n = 21;  // 32 MiB at f64
  const std::uint64_t pages = state_bytes<double>(n) / static_cast<std::uint64_t>(getpagesize());
  const std::uint64_t pages_before = virtual_pages();
  {
    std::vector<StateVector<double>> states;
    for (int i = 0; i < 4; ++i) {
      states.emplace_back(n);
      poison(states.back());
    }
    EXPECT_GE(virtual_pages(), pages_before + 4 * pages);
  }
  EXPECT_EQ(testing::spare_mapping_bytes(), state_bytes<double>(n));
  EXPECT_LT(virtual_pages(), pages_before + pages + pages / 8);
  testing::release_spare_mapping();
  EXPECT_LT(virtual_pages(), pages_before + pages / 8);
}

// Several threads create, poison and release states of a few sizes at once: every state starts
// as |0...0>, and afterwards at most one mapping is kept.
TEST(SpareMapping, ConcurrentCreationAndRelease) {
  testing::release_spare_mapping();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        // Mostly the same size, so that reuse happens; sometimes another, which releases.
        const int kind = (i + t) % 5;
        if (kind == 4) {
          StateVector<float> v(19);
          failures += zero_state_difference(v).empty() ? 0 : 1;
          poison(v);
        } else {
          StateVector<double> v(kind == 3 ? 17 : 18);
          failures += zero_state_difference(v).empty() ? 0 : 1;
          poison(v);
        }
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  EXPECT_EQ(failures.load(), 0);
  const std::uint64_t kept = testing::spare_mapping_bytes();
  EXPECT_TRUE(kept == state_bytes<double>(17) || kept == state_bytes<double>(18) ||
              kept == state_bytes<float>(19))
      << kept;
  testing::release_spare_mapping();
}

// A kept mapping is inherited by a child: both sides reuse their own copy, zeroed. Forks while
// another thread keeps taking and releasing mappings do not leave the child stuck.
TEST(SpareMapping, SurvivesFork) {
  testing::release_spare_mapping();
  std::optional<StateVector<double>> v(std::in_place, 18);
  poison(*v);
  v.reset();
  ASSERT_EQ(testing::spare_mapping_bytes(), state_bytes<double>(18));
  const auto reuse = [] {
    if (testing::spare_mapping_bytes() != state_bytes<double>(18)) {
      return 10;
    }
    StateVector<double> w(18);
    if (!zero_state_difference(w).empty()) {
      return 11;
    }
    poison(w);
    return testing::spare_mapping_bytes() == 0 ? 0 : 12;
  };
  EXPECT_EQ(test::in_child(reuse), 0);
  EXPECT_EQ(reuse(), 0);

  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) {
      StateVector<double> w(18);
      poison(w);
    }
  });
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(test::in_child([] {
                {
                  StateVector<double> a(18);
                  poison(a);
                }
                StateVector<double> b(18);
                return zero_state_difference(b).empty() ? 0 : 20;
              }),
              0);
  }
  stop = true;
  churn.join();
  testing::release_spare_mapping();
}

}  // namespace
}  // namespace vorn::core
