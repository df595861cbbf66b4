// The access state of a Circuit object: any number of shared holders or one exclusive holder.
// A conflicting request fails at once with RuntimeError; nothing waits. The word is atomic
// because run() holds its shared access while the interpreter lock is released.
#pragma once

#include <atomic>
#include <cstdint>

#include "cpython.h"
#include "messages.h"
#include "ref.h"

namespace vorn::py {

class AccessState {
 public:
  // Fails when an exclusive holder exists.
  bool try_shared() noexcept {
    std::int64_t current = state_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) {
        return false;
      }
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

  // Fails when any holder exists.
  bool try_exclusive() noexcept {
    std::int64_t expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr std::int64_t kExclusive = -1;
  std::atomic<std::int64_t> state_{0};
};

// Held for the body of a reading entry point; raises RuntimeError "Already mutably borrowed".
class SharedAccess {
 public:
  explicit SharedAccess(AccessState& state) : state_(state) {
    if (!state_.try_shared()) {
      PyErr_SetString(PyExc_RuntimeError, messages::ALREADY_MUTABLY_BORROWED);
      throw ErrorAlreadySet{};
    }
  }
  ~SharedAccess() { state_.release_shared(); }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

 private:
  AccessState& state_;
};

// Held for the body of a changing entry point; raises RuntimeError "Already borrowed".
class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessState& state) : state_(state) {
    if (!state_.try_exclusive()) {
      PyErr_SetString(PyExc_RuntimeError, messages::ALREADY_BORROWED);
      throw ErrorAlreadySet{};
    }
  }
  ~ExclusiveAccess() { state_.release_exclusive(); }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

 private:
  AccessState& state_;
};

}  // namespace vorn::py
