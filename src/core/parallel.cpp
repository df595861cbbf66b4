// The process-wide worker pool on oneTBB, its size from the environment, and its fork handling.
#include "core/parallel.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "core/abort.h"
#include "core/messages.h"

namespace vorn::core {

std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

std::size_t max_pool_size(std::size_t logical_processors) noexcept {
  // The scheduler's own default ceiling on worker threads: 256, or four per processor.
  constexpr std::size_t kFloor = 256;
  const std::size_t limit = std::numeric_limits<std::size_t>::max() / 4;
  return std::max(kFloor, 4 * std::min(logical_processors, limit));
}

std::size_t pool_size_from_env(std::optional<std::string_view> rayon_num_threads,
                               std::optional<std::string_view> rayon_rs_num_cpus,
                               std::size_t logical_processors) noexcept {
  const std::size_t logical = std::max<std::size_t>(logical_processors, 1);
  const std::size_t limit = max_pool_size(logical);
  const auto clamp = [limit](std::uint64_t n) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(n, limit));
  };
  if (rayon_num_threads) {
    if (const auto n = parse_thread_count(*rayon_num_threads)) {
      return *n == 0 ? logical : clamp(*n);
    }
  }
  if (rayon_rs_num_cpus) {
    if (const auto n = parse_thread_count(*rayon_rs_num_cpus); n && *n > 0) {
      return clamp(*n);
    }
  }
  return logical;
}

std::size_t logical_processor_count() noexcept {
  for (int cpus = 1024; cpus <= (1 << 16); cpus *= 4) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) {
      break;
    }
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0 && count > 0) {
      return static_cast<std::size_t>(count);
    }
    if (rc != 0 && errno != EINVAL) {
      break;
    }
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

namespace {

std::optional<std::string_view> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string_view(value);
}

int arena_concurrency(std::size_t threads) {
  return static_cast<int>(std::min<std::size_t>(threads, std::numeric_limits<int>::max()));
}

void prepare_fork();
void after_fork_in_parent();
void after_fork_in_child();

// The arena of the innermost run_with_pool_size on this thread, if any.
thread_local oneapi::tbb::task_arena* t_test_arena = nullptr;

// All mutable state of the pool. Kernels register as "in flight" while they use the scheduler,
// so that a fork can wait until none is, then join the worker threads before the fork.
class Pool {
 public:
  Pool()
      : size_(pool_size_from_env(env("RAYON_NUM_THREADS"), env("RAYON_RS_NUM_CPUS"),
                                 logical_processor_count())),
        arena_(arena_concurrency(size_)) {
    raise_parallelism_limit(size_);
    pthread_atfork(prepare_fork, after_fork_in_parent, after_fork_in_child);
  }

  std::size_t size() const { return size_; }

  void run(std::uint64_t begin, std::uint64_t end, std::uint64_t grain,
           detail::RangeFunction function, const void* context) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return forks_ == 0; });
      if (!scheduler_usable_) {
        lock.unlock();
        function(context, begin, end);
        return;
      }
      if (!handle_) {
        handle_ = oneapi::tbb::task_scheduler_handle{oneapi::tbb::attach{}};
      }
      ++in_flight_;
    }
    struct Leave {
      Pool* pool;
      ~Leave() { pool->leave(); }
    } leave{this};
    oneapi::tbb::task_arena& arena = t_test_arena != nullptr ? *t_test_arena : arena_;
    // One part per thread of the arena, made by the scheduler's halving: the gates split into
    // equal, independent work, so finer parts would buy no balance, only the scheduler's cost
    // per part (about 0.1 us each, a fifth of the time of a 16 KiB work item in the caches).
    arena.execute([&] {
      oneapi::tbb::parallel_for(
          oneapi::tbb::blocked_range<std::uint64_t>(begin, end, std::max<std::uint64_t>(grain, 1)),
          [&](const oneapi::tbb::blocked_range<std::uint64_t>& r) {
            function(context, r.begin(), r.end());
          },
          oneapi::tbb::static_partitioner{});
    });
  }

  // The test pool of the given size, created on first request and kept: creating and
  // dropping scheduler arenas by the thousand leaves the scheduler slow to staff new ones.
  oneapi::tbb::task_arena* test_arena(std::size_t threads) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return forks_ == 0; });
    auto& slot = test_arenas_[threads];
    if (!slot) {
      raise_parallelism_limit(threads);
      slot = std::make_unique<oneapi::tbb::task_arena>(arena_concurrency(threads));
    }
    return slot.get();
  }

  // Fork handlers. The mutex is held from prepare until after the fork, so no other thread is
  // inside the pool's bookkeeping when the process is copied.
  void prepare() {
    std::unique_lock lock(mutex_);
    ++forks_;
    changed_.wait(lock, [this] { return in_flight_ == 0; });
    lock.release();
    if (!scheduler_usable_) {
      return;
    }
    arena_.terminate();
    for (auto& [threads, arena] : test_arenas_) {
      arena->terminate();
    }
    // Joins the worker threads, unless another live thread still holds the scheduler.
    if (!handle_) {
      handle_ = oneapi::tbb::task_scheduler_handle{oneapi::tbb::attach{}};
    }
    workers_joined_ = oneapi::tbb::finalize(handle_, std::nothrow);
  }

  void parent() {
    --forks_;
    mutex_.unlock();
    changed_.notify_all();
  }

  void child() {
    // The threads that waited on these in the parent do not exist here: start afresh.
    new (&mutex_) std::mutex;
    new (&changed_) std::condition_variable;
    forks_ = 0;
    in_flight_ = 0;
    if (!workers_joined_) {
      scheduler_usable_ = false;
    }
  }

 private:
  void leave() {
    std::lock_guard lock(mutex_);
    if (--in_flight_ == 0 && forks_ > 0) {
      changed_.notify_all();
    }
  }

  // The scheduler caps its worker threads at the processor count unless told otherwise.
  void raise_parallelism_limit(std::size_t threads) {
    using oneapi::tbb::global_control;
    const std::size_t current =
        global_control::active_value(global_control::max_allowed_parallelism);
    if (threads <= current) {
      return;
    }
    auto raised =
        std::make_unique<global_control>(global_control::max_allowed_parallelism, threads);
    parallelism_limit_ = std::move(raised);
  }

  const std::size_t size_;
  oneapi::tbb::task_arena arena_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t in_flight_ = 0;
  int forks_ = 0;
  bool scheduler_usable_ = true;
  bool workers_joined_ = true;
  oneapi::tbb::task_scheduler_handle handle_;
  std::unique_ptr<oneapi::tbb::global_control> parallelism_limit_;
  std::map<std::size_t, std::unique_ptr<oneapi::tbb::task_arena>> test_arenas_;
};

// Never destroyed: worker threads may still be parked in the scheduler when the process exits.
Pool& pool() {
  static Pool* const instance = new Pool();
  return *instance;
}

void prepare_fork() { pool().prepare(); }
void after_fork_in_parent() { pool().parent(); }
void after_fork_in_child() { pool().child(); }

}  // namespace

std::size_t pool_size() { return pool().size(); }

namespace detail {
void parallel_for_impl(std::uint64_t begin, std::uint64_t end, std::uint64_t grain,
                       RangeFunction function, const void* context) {
  if (begin >= end) {
    return;
  }
  pool().run(begin, end, grain, function, context);
}
}  // namespace detail

namespace testing {
void run_with_pool_size(std::size_t threads, const std::function<void()>& fn) {
  if (threads == 0) {
    abort_with(messages::POOL_WITHOUT_THREADS);
  }
  oneapi::tbb::task_arena* arena = pool().test_arena(threads);
  struct Restore {
    oneapi::tbb::task_arena* previous;
    ~Restore() { t_test_arena = previous; }
  } restore{t_test_arena};
  t_test_arena = arena;
  fn();
}
}  // namespace testing

}  // namespace vorn::core
