// Releasing the interpreter lock around work that touches no Python object.
#pragma once

#include "cpython.h"

namespace vorn::py {

// Releases the interpreter lock for its lifetime and takes it back on every path out,
// exceptions included. Nothing that touches a Python object may run while it is alive.
class Unlocked {
 public:
  Unlocked() noexcept : thread_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(thread_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* thread_;
};

}  // namespace vorn::py
