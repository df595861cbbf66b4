// The process-wide worker pool: one oneTBB task arena, created on first use and kept until the
// process ends. Kernels reach it only through parallel_for; nothing else in vorn starts threads.
//
// The pool size is read once, when the pool is created: RAYON_NUM_THREADS (an unsigned decimal,
// a leading '+' allowed) gives the size when positive and means the number of logical
// processors when 0; otherwise RAYON_RS_NUM_CPUS, read the same way, gives the size when
// positive; in every other case the size is the number of logical processors.
//
// The pool survives fork(): before a fork the scheduler's worker threads are joined, so the
// child starts its own pool on first use. Should another thread of the process still hold the
// scheduler at that moment (it ran kernels and is still alive), the worker threads cannot be
// joined; the child then runs every kernel on its calling thread instead, with the same
// results, rather than wait for workers that no longer exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace vorn::core {

// Parses an unsigned decimal thread count: ASCII digits with one optional leading '+', nothing
// else (no sign '-', no blanks, not empty), and a value that fits 64 bits.
std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept;

// The pool size that the given environment values select (nullopt: the variable is absent).
// logical_processors is the number of logical processors the process may use (0 is taken as 1).
// The result is at least 1 and at most max_pool_size(logical_processors).
std::size_t pool_size_from_env(std::optional<std::string_view> rayon_num_threads,
                               std::optional<std::string_view> rayon_rs_num_cpus,
                               std::size_t logical_processors) noexcept;

// The largest pool ever created: a larger request would only fail to start its threads.
std::size_t max_pool_size(std::size_t logical_processors) noexcept;

// The logical processors this process may run on (its affinity mask), or 1 if unknown.
std::size_t logical_processor_count() noexcept;

// The size of the process-wide pool; creates the pool (without starting threads) on first use.
std::size_t pool_size();

namespace detail {
using RangeFunction = void (*)(const void* context, std::uint64_t begin, std::uint64_t end);
void parallel_for_impl(std::uint64_t begin, std::uint64_t end, std::uint64_t grain,
                       RangeFunction function, const void* context);
}  // namespace detail

// Runs body(b, e) over disjoint subranges [b, e) that together cover [begin, end), on the
// process-wide pool (or the test pool of run_with_pool_size), and returns when all are done.
// The pool divides the range by fork-join halving into one part per pool thread, never halving
// a part of grain items or fewer; each part runs in increasing order, and the calling thread
// takes part. body must not throw.
template <typename Body>
void parallel_for(std::uint64_t begin, std::uint64_t end, std::uint64_t grain, const Body& body) {
  detail::parallel_for_impl(
      begin, end, grain,
      [](const void* context, std::uint64_t b, std::uint64_t e) {
        (*static_cast<const Body*>(context))(b, e);
      },
      &body);
}

namespace testing {
// Runs fn so that every parallel_for called from fn on this thread uses a pool of exactly
// `threads` threads (the calling thread counts as one), instead of the process-wide pool.
// threads must be at least 1. Calls may nest; the innermost wins. The test pool of each size
// is created on first request and kept, shared by every thread that asks for that size.
void run_with_pool_size(std::size_t threads, const std::function<void()>& fn);
}  // namespace testing

}  // namespace vorn::core
