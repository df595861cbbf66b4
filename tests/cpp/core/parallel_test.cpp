// The worker pool: its size from the environment, the test pools, kernels run from several
// threads at once, and kernels in a child process after fork().
#include "core/parallel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "child_process.h"
#include "core/gates.h"
#include "core/kernels.h"
#include "kernel_ops.h"
#include "support.h"

namespace vorn::core {
namespace {

using test::Amplitudes;

TEST(ParseThreadCount, AcceptsUnsignedDecimalsWithOptionalPlus) {
  EXPECT_EQ(parse_thread_count("4"), 4u);
  EXPECT_EQ(parse_thread_count("+4"), 4u);
  EXPECT_EQ(parse_thread_count("0"), 0u);
  EXPECT_EQ(parse_thread_count("+0"), 0u);
  EXPECT_EQ(parse_thread_count("007"), 7u);
  EXPECT_EQ(parse_thread_count("18446744073709551615"), 18446744073709551615u);
}

TEST(ParseThreadCount, RejectsEverythingElse) {
  for (const char* text : {"", "+", "++4", "-1", "-0", " 4", "4 ", "4a", "0x10", "1e3", "3.0",
                           "18446744073709551616", "99999999999999999999", "\xd9\xa3", "4\n"}) {
    EXPECT_EQ(parse_thread_count(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(PoolSizeFromEnv, FollowsTheTwoVariables) {
  const auto none = std::nullopt;
  using sv = std::string_view;
  EXPECT_EQ(pool_size_from_env(none, none, 8), 8u);
  EXPECT_EQ(pool_size_from_env(sv("3"), none, 8), 3u);
  EXPECT_EQ(pool_size_from_env(sv("+3"), sv("5"), 8), 3u);
  // 0 means the number of logical processors; it does not fall through to the second variable.
  EXPECT_EQ(pool_size_from_env(sv("0"), sv("5"), 8), 8u);
  // A value that is not a number is as if absent.
  EXPECT_EQ(pool_size_from_env(sv("abc"), sv("5"), 8), 5u);
  EXPECT_EQ(pool_size_from_env(sv(""), sv("+6"), 8), 6u);
  EXPECT_EQ(pool_size_from_env(sv("-2"), sv("2"), 8), 2u);
  EXPECT_EQ(pool_size_from_env(none, sv("7"), 8), 7u);
  // In the second variable only a positive value counts.
  EXPECT_EQ(pool_size_from_env(none, sv("0"), 8), 8u);
  EXPECT_EQ(pool_size_from_env(sv("x"), sv("y"), 8), 8u);
  EXPECT_EQ(pool_size_from_env(sv("99999999999999999999"), sv("4"), 8), 4u);
  // An unknown processor count counts as 1.
  EXPECT_EQ(pool_size_from_env(none, none, 0), 1u);
  EXPECT_EQ(pool_size_from_env(sv("0"), none, 0), 1u);
  // More threads than can usefully start are capped.
  EXPECT_EQ(pool_size_from_env(sv("18446744073709551615"), none, 8), max_pool_size(8));
  EXPECT_EQ(pool_size_from_env(none, sv("1000000"), 2), max_pool_size(2));
  EXPECT_GE(max_pool_size(2), 256u);
  EXPECT_EQ(max_pool_size(1000), 4000u);
}

std::optional<std::string_view> env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::optional<std::string_view>(v) : std::nullopt;
}

TEST(Pool, SizeComesFromThisProcesssEnvironment) {
  EXPECT_GE(logical_processor_count(), 1u);
  EXPECT_EQ(pool_size(), pool_size_from_env(env("RAYON_NUM_THREADS"), env("RAYON_RS_NUM_CPUS"),
                                            logical_processor_count()));
}

TEST(Pool, CoversTheRangeOnceInDisjointPieces) {
  for (const std::uint64_t len : {1u, 2u, 7u, 1000u, 100000u}) {
    std::vector<std::atomic<int>> hits(len);
    parallel_for(0, len, 1, [&](std::uint64_t b, std::uint64_t e) {
      for (std::uint64_t i = b; i < e; ++i) {
        hits[i].fetch_add(1);
      }
    });
    for (std::uint64_t i = 0; i < len; ++i) {
      ASSERT_EQ(hits[i].load(), 1) << len << " " << i;
    }
  }
  bool called = false;
  parallel_for(5, 5, 1, [&](std::uint64_t, std::uint64_t) { called = true; });
  EXPECT_FALSE(called);
}

// A loop is cut into one part per pool thread (no part of grain items or fewer is cut further):
// the kernels' work items are equal, and every further part costs the scheduler's overhead.
TEST(Pool, OnePartPerThread) {
  for (const std::size_t threads : {1u, 2u, 3u}) {
    testing::run_with_pool_size(threads, [&] {
      for (const auto& [len, grain, parts] :
           {std::tuple{100000u, 1u, threads}, std::tuple{100000u, 100000u, std::size_t{1}},
            std::tuple{2u, 1u, std::min<std::size_t>(threads, 2)}}) {
        std::atomic<std::size_t> calls{0};
        std::atomic<std::uint64_t> covered{0};
        parallel_for(0, len, grain, [&](std::uint64_t b, std::uint64_t e) {
          calls.fetch_add(1);
          covered.fetch_add(e - b);
        });
        EXPECT_EQ(calls.load(), parts) << threads << " threads, " << len << " / " << grain;
        EXPECT_EQ(covered.load(), len);
      }
    });
  }
}

// Each of `threads` single items waits until all are running at once: only a pool with that
// many threads can finish. Returns false on timeout or when the items were not split.
bool all_threads_meet(std::size_t threads) {
  std::atomic<std::size_t> arrived{0};
  std::atomic<bool> ok{true};
  parallel_for(0, threads, 1, [&](std::uint64_t b, std::uint64_t e) {
    if (e - b != 1) {
      ok = false;
      return;
    }
    arrived.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (arrived.load() < threads) {
      if (std::chrono::steady_clock::now() > deadline) {
        ok = false;
        return;
      }
      std::this_thread::yield();
    }
  });
  return ok.load() && arrived.load() == threads;
}

TEST(Pool, TestPoolsHaveExactlyTheRequestedSize) {
  for (const std::size_t threads : {1u, 2u, 3u, 5u}) {
    testing::run_with_pool_size(threads, [&] {
      std::atomic<int> concurrency{0};
      parallel_for(0, 1, 1, [&](std::uint64_t, std::uint64_t) {
        concurrency = oneapi::tbb::this_task_arena::max_concurrency();
      });
      EXPECT_EQ(concurrency.load(), static_cast<int>(threads));
      EXPECT_TRUE(all_threads_meet(threads)) << threads;
      if (threads == 3) {
        testing::run_with_pool_size(2, [&] {
          parallel_for(0, 1, 1, [&](std::uint64_t, std::uint64_t) {
            concurrency = oneapi::tbb::this_task_arena::max_concurrency();
          });
          EXPECT_EQ(concurrency.load(), 2);
        });
        parallel_for(0, 1, 1, [&](std::uint64_t, std::uint64_t) {
          concurrency = oneapi::tbb::this_task_arena::max_concurrency();
        });
        EXPECT_EQ(concurrency.load(), 3);
      }
    });
  }
  std::atomic<int> concurrency{0};
  parallel_for(0, 1, 1, [&](std::uint64_t, std::uint64_t) {
    concurrency = oneapi::tbb::this_task_arena::max_concurrency();
  });
  EXPECT_EQ(concurrency.load(), static_cast<int>(pool_size()));
}

// A fixed sequence of gates at 14 qubits through the public kernels (the pool), and the same
// through the serial scans of the reference.
template <typename T>
std::vector<test::Op<T>> gate_sequence(std::uint64_t seed) {
  std::vector<test::Op<T>> ops;
  ops.push_back(test::make_op<T>(test::Kernel::Single, {13}, seed));
  ops.push_back(test::make_op<T>(test::Kernel::Single, {0}, seed + 1));
  ops.push_back(test::make_op<T>(test::Kernel::Controlled, {3, 9}, seed + 2));
  ops.push_back(test::make_op<T>(test::Kernel::TwoQubit, {12, 1}, seed + 3));
  ops.push_back(test::make_op<T>(test::Kernel::DoublyControlled, {0, 13, 7}, seed + 4));
  ops.push_back(test::make_op<T>(test::Kernel::ControlledSwap, {5, 2, 11}, seed + 5));
  return ops;
}

Amplitudes<double> run_public(std::uint64_t seed) {
  Amplitudes<double> v = test::random_state<double>(14, seed);
  for (const auto& op : gate_sequence<double>(seed)) {
    test::apply_with(kernels::active_table<double>(), v, op);
  }
  return v;
}

Amplitudes<double> run_serial_scans(std::uint64_t seed) {
  Amplitudes<double> v = test::random_state<double>(14, seed);
  for (const auto& op : gate_sequence<double>(seed)) {
    if (op.kernel == test::Kernel::TwoQubit) {
      test::apply_with(kernels::reference_table<double>(), v, op);
    } else {
      test::apply_serial_scan(v, op);
    }
  }
  return v;
}

TEST(Pool, KernelsFromSeveralThreadsAtOnce) {
  constexpr int kThreads = 4;
  std::vector<Amplitudes<double>> expected;
  for (int t = 0; t < kThreads; ++t) {
    expected.push_back(run_serial_scans(100 + t));
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 10; ++round) {
        Amplitudes<double> v;
        if (round % 3 == 2) {
          testing::run_with_pool_size(3, [&] { v = run_public(100 + t); });
        } else {
          v = run_public(100 + t);
        }
        if (!test::bit_difference(v, expected[t]).empty()) {
          failures.fetch_add(1);
        }
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  EXPECT_EQ(failures.load(), 0);
}

TEST(Pool, KernelsRunInAForkedChild) {
  const Amplitudes<double> expected = run_serial_scans(7);
  // The parent has used the pool, so its workers exist when it forks.
  ASSERT_EQ(test::bit_difference(run_public(7), expected), "");
  const int rc = test::in_child([&] {
    if (!test::bit_difference(run_public(7), expected).empty()) {
      return 10;
    }
    // The child has a pool of its own with real worker threads...
    bool met = false;
    testing::run_with_pool_size(2, [&] { met = all_threads_meet(2); });
    if (!met) {
      return 11;
    }
    // ...and can fork in turn.
    return test::in_child(
        [&] { return test::bit_difference(run_public(7), expected).empty() ? 0 : 12; });
  });
  EXPECT_EQ(rc, 0);
  // The parent's pool keeps working after the fork.
  EXPECT_EQ(test::bit_difference(run_public(7), expected), "");
  bool met = false;
  testing::run_with_pool_size(2, [&] { met = all_threads_meet(2); });
  EXPECT_TRUE(met);
}

// While another live thread holds the scheduler, the worker threads cannot be joined before
// the fork; the child still completes its kernels (on its calling thread) instead of hanging.
TEST(Pool, ForkWhileAnotherThreadHoldsTheScheduler) {
  const Amplitudes<double> expected = run_serial_scans(8);
  std::mutex mutex;
  std::condition_variable cv;
  bool ran = false;
  bool release = false;
  std::thread holder([&] {
    run_public(9);
    std::unique_lock lock(mutex);
    ran = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  });
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return ran; });
  }
  const int rc = test::in_child([&] {
    int bad = test::bit_difference(run_public(8), expected).empty() ? 0 : 20;
    testing::run_with_pool_size(
        3, [&] { bad += test::bit_difference(run_public(8), expected).empty() ? 0 : 21; });
    return bad;
  });
  EXPECT_EQ(rc, 0);
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  cv.notify_all();
  holder.join();
  EXPECT_EQ(test::bit_difference(run_public(8), expected), "");
}

// Forks while other threads keep running kernels: each fork waits for the kernels in flight,
// and nothing deadlocks on either side.
TEST(Pool, ForkWhileKernelsRunElsewhere) {
  const Amplitudes<double> expected = run_serial_scans(3);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> runners;
  for (int t = 0; t < 2; ++t) {
    runners.emplace_back([&] {
      while (!stop.load()) {
        if (!test::bit_difference(run_public(3), expected).empty()) {
          failures.fetch_add(1);
        }
      }
    });
  }
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(test::in_child(
                  [&] { return test::bit_difference(run_public(3), expected).empty() ? 0 : 30; }),
              0);
  }
  stop = true;
  for (auto& th : runners) {
    th.join();
  }
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace vorn::core
