// Conversions of Python arguments to C++ values. A refused value raises TypeError
// "argument '{name}': ..." (the host's description after the prefix); an index that is negative
// or does not fit 64 bits raises the host's OverflowError unchanged. Each throws
// ErrorAlreadySet on failure.
#pragma once

#include <cstdint>
#include <string_view>

#include "cpython.h"

namespace vorn::py {

// An int (or subclass, bool included) directly, anything else through __index__.
std::uint64_t to_index(PyObject* value, const char* name);

// A float, or anything the host converts to one (__float__, __index__); no range check.
double to_double(PyObject* value, const char* name);

// A str (or subclass) as UTF-8; the view lives as long as the object.
std::string_view to_text(PyObject* value, const char* name);

// A bool (or subclass) or a NumPy boolean scalar.
bool to_flag(PyObject* value, const char* name);

// Raises TypeError "argument '{name}': '{type}' object cannot be converted to '{target}'".
[[noreturn]] void throw_conversion_error(PyObject* value, const char* name, const char* target);

}  // namespace vorn::py
