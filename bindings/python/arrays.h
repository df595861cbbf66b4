// NumPy arrays handed out by the extension modules: one-dimensional, C-contiguous, writeable,
// over a fresh buffer that a private base object owns.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "core/complex.h"
#include "numpy_api.h"

namespace vorn::py {

namespace detail {
inline constexpr const char kBufferName[] = "vorn_python.buffer";

inline void free_buffer(PyObject* capsule) {
  PyDataMem_FREE(PyCapsule_GetPointer(capsule, kBufferName));
}
}  // namespace detail

// A new array of `length` elements of `typenum`, whose buffer is filled by `fill`; nullptr with
// an exception set on failure.
template <typename Element, typename Fill>
PyObject* new_owned_array(std::uint64_t length, int typenum, Fill&& fill) {
  void* buffer = PyDataMem_NEW(length * sizeof(Element));
  if (buffer == nullptr) {
    return PyErr_NoMemory();
  }
  fill(static_cast<Element*>(buffer));
  PyObject* base = PyCapsule_New(buffer, detail::kBufferName, detail::free_buffer);
  if (base == nullptr) {
    PyDataMem_FREE(buffer);
    return nullptr;
  }
  npy_intp dims[1] = {static_cast<npy_intp>(length)};
  PyObject* array = PyArray_SimpleNewFromData(1, dims, typenum, buffer);
  if (array == nullptr) {
    Py_DECREF(base);
    return nullptr;
  }
  // Steals the reference to base, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), base) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

template <typename T>
constexpr int complex_typenum() {
  return std::is_same_v<T, double> ? NPY_COMPLEX128 : NPY_COMPLEX64;
}

template <typename T>
constexpr int real_typenum() {
  return std::is_same_v<T, double> ? NPY_FLOAT64 : NPY_FLOAT32;
}

// A copy of the amplitudes (complex64 or complex128).
template <typename T>
PyObject* new_state_array(std::span<const core::Complex<T>> amplitudes) {
  using Element = core::Complex<T>;
  return new_owned_array<Element>(amplitudes.size(), complex_typenum<T>(), [&](Element* out) {
    std::memcpy(out, amplitudes.data(), amplitudes.size_bytes());
  });
}

// re * re + im * im of every amplitude, in T (float32 or float64).
template <typename T>
PyObject* new_probability_array(std::span<const core::Complex<T>> amplitudes) {
  return new_owned_array<T>(amplitudes.size(), real_typenum<T>(), [&](T* out) {
    for (std::size_t i = 0; i < amplitudes.size(); ++i) {
      const T re = amplitudes[i].re;
      const T im = amplitudes[i].im;
      out[i] = re * re + im * im;
    }
  });
}

}  // namespace vorn::py
