// The boundary between the libraries and the interpreter: every entry point the host calls runs
// its body inside guard(), so that no C++ exception ever crosses into the interpreter.
//   core::Abort              -> PanicException(message)
//   core::AllocationFailure  -> MemoryError(message naming the qubit count and the bytes)
//   std::bad_alloc           -> MemoryError
//   ErrorAlreadySet          -> the pending Python exception, unchanged
//   anything else            -> SystemError
#pragma once

#include <exception>
#include <new>
#include <string_view>

#include "core/abort.h"
#include "cpython.h"
#include "ref.h"

namespace vorn::py {

// Raises PanicException (derived directly from BaseException, created once on first use and
// never added to the module) with the message as its single argument.
void raise_panic(std::string_view message) noexcept;

// Sets an exception of the given type whose message is UTF-8 text.
void raise_text(PyObject* type, std::string_view message) noexcept;

// Sets the exception and throws ErrorAlreadySet, for use inside a guarded body.
[[noreturn]] void throw_text(PyObject* type, std::string_view message);

namespace detail {
void raise_current_exception() noexcept;
}  // namespace detail

template <typename Body>
PyObject* guard(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    detail::raise_current_exception();
    return nullptr;
  }
}

}  // namespace vorn::py
