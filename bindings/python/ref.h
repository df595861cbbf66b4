// An owning reference to a Python object, and the exception that carries "a Python error is
// already set" through C++ frames up to the entry guard.
#pragma once

#include <utility>

#include "cpython.h"

namespace vorn::py {

// Thrown after a CPython call failed and left its exception pending; the guard returns the
// host's error indication without touching the pending exception.
struct ErrorAlreadySet {};

class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref moved(std::move(other));
    std::swap(object_, moved.object_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference; throws ErrorAlreadySet when it is null (the call failed).
  static Ref steal(PyObject* object) {
    if (object == nullptr) {
      throw ErrorAlreadySet{};
    }
    return Ref(object);
  }
  // Adds a reference to a borrowed, non-null object.
  static Ref borrow(PyObject* object) noexcept {
    Py_INCREF(object);
    return Ref(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (for instance as the return value of an entry point).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vorn::py
