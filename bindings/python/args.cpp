// The general argument-binding path and its messages, in the host's own wording.
#include "args.h"

#include <string>
#include <vector>

#include "messages.h"

namespace vorn::py {

namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

[[noreturn]] void fail() { throw ErrorAlreadySet{}; }

void bind_core(const char* name, const char* const* parameters, std::size_t count,
               std::size_t required, PyObject* const* args, Py_ssize_t nargs,
               PyObject* const* kwkeys, PyObject* const* kwvalues, Py_ssize_t nkw,
               PyObject** bound) {
  const auto npos = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < npos && i < count; ++i) {
    bound[i] = args[i];
  }
  // Keywords first, then the positional count, then what is missing: the order in which the
  // interpreter checks a call of a Python function.
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = kwkeys[k];
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, messages::KEYWORDS_MUST_BE_STRINGS, name);
      fail();
    }
    std::size_t j = 0;
    while (j < count && PyUnicode_CompareWithASCIIString(key, parameters[j]) != 0) {
      ++j;
    }
    if (j == count) {
      PyErr_Format(PyExc_TypeError, messages::UNEXPECTED_KEYWORD, name, key);
      fail();
    }
    if (bound[j] != nullptr) {
      PyErr_Format(PyExc_TypeError, messages::MULTIPLE_VALUES, name, parameters[j]);
      fail();
    }
    bound[j] = kwvalues[k];
  }
  if (npos > count) {
    const bool has_defaults = required < count;
    const std::string takes =
        has_defaults ? "from " + std::to_string(required) + " to " + std::to_string(count)
                     : std::to_string(count);
    PyErr_Format(PyExc_TypeError, messages::TOO_MANY_POSITIONAL, name, takes.c_str(),
                 (has_defaults || count != 1) ? "s" : "", nargs, nargs == 1 ? "was" : "were");
    fail();
  }
  std::vector<const char*> missing;
  for (std::size_t j = 0; j < required; ++j) {
    if (bound[j] == nullptr) {
      missing.push_back(parameters[j]);
    }
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, messages::MISSING_POSITIONAL, name, missing.size(),
                 missing.size() == 1 ? "" : "s", name_list(missing).c_str());
    fail();
  }
}

}  // namespace

namespace detail {

void bind_slow(const char* name, const char* const* parameters, std::size_t count,
               std::size_t required, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** bound) {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  PyObject* const* kwkeys = nkw == 0 ? nullptr : &PyTuple_GET_ITEM(kwnames, 0);
  bind_core(name, parameters, count, required, args, nargs, kwkeys, args + nargs, nkw, bound);
}

}  // namespace detail

void bind_tuple_dict(const char* name, const char* const* parameters, std::size_t count,
                     std::size_t required, PyObject* args, PyObject* kwargs, PyObject** bound) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  PyObject* const* positional = nargs == 0 ? nullptr : &PyTuple_GET_ITEM(args, 0);
  std::vector<PyObject*> keys;
  std::vector<PyObject*> values;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      keys.push_back(key);
      values.push_back(value);
    }
  }
  bind_core(name, parameters, count, required, positional, nargs, keys.data(), values.data(),
            static_cast<Py_ssize_t>(keys.size()), bound);
}

}  // namespace vorn::py
