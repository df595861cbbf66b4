// Argument binding for METH_FASTCALL | METH_KEYWORDS entry points (and tp_new), with the host's
// usual messages: "Circuit.h() missing 1 required positional argument: 'qubit'", "... takes 1
// positional argument but 2 were given", "... got an unexpected keyword argument 'x'", "... got
// multiple values for argument 'qubit'".
#pragma once

#include <array>
#include <cstddef>

#include "cpython.h"
#include "ref.h"

namespace vorn::py {

// The parameter list of one entry point; every parameter may be passed by position or by
// keyword, and the first `required` have no default.
template <std::size_t N>
struct Signature {
  const char* name;  // as shown in messages, with its class: "Circuit.h()", "run()"
  std::array<const char*, N> parameters;
  std::size_t required = N;
};

namespace detail {
// The general path: keywords, surplus or missing arguments. Fills `bound` (nullptr for a
// parameter that was not given) or raises TypeError and throws ErrorAlreadySet.
void bind_slow(const char* name, const char* const* parameters, std::size_t count,
               std::size_t required, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** bound);
}  // namespace detail

// Binds a vectorcall argument list (positional arguments, then the values of kwnames).
template <std::size_t N>
std::array<PyObject*, N> bind(const Signature<N>& signature, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> bound{};
  if (kwnames == nullptr && nargs >= static_cast<Py_ssize_t>(signature.required) &&
      nargs <= static_cast<Py_ssize_t>(N)) {
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      bound[static_cast<std::size_t>(i)] = args[i];
    }
    return bound;
  }
  detail::bind_slow(signature.name, signature.parameters.data(), N, signature.required, args, nargs,
                    kwnames, bound.data());
  return bound;
}

// Binds a classic (tuple, dict) argument list, as tp_new receives it. The returned references
// are borrowed from `args` and `kwargs`, which the caller keeps alive.
void bind_tuple_dict(const char* name, const char* const* parameters, std::size_t count,
                     std::size_t required, PyObject* args, PyObject* kwargs, PyObject** bound);

template <std::size_t N>
std::array<PyObject*, N> bind(const Signature<N>& signature, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> bound{};
  bind_tuple_dict(signature.name, signature.parameters.data(), N, signature.required, args, kwargs,
                  bound.data());
  return bound;
}

}  // namespace vorn::py
