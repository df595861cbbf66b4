// Argument conversions with the host's own refusal messages behind "argument '{name}': ".
#include "convert.h"

#include "messages.h"
#include "numpy_api.h"
#include "ref.h"

namespace vorn::py {

namespace {

// The pending exception as one normalised instance (with its traceback), cleared from the
// thread state.
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) {
    PyException_SetTraceback(value, traceback);
  }
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Makes the instance the pending exception; steals the reference.
void restore_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// Re-raises a pending TypeError as "argument '{name}': {its message}", with the host's own
// refusal as its cause; any other pending exception (OverflowError, UnicodeEncodeError, an
// error raised by a conversion hook) is left unchanged.
[[noreturn]] void fail_argument(const char* name) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyObject* original = take_exception();
    if (original != nullptr) {
      PyErr_Format(PyExc_TypeError, messages::ARGUMENT_REFUSED, name, original);
      PyObject* renamed = take_exception();
      if (renamed != nullptr) {
        PyException_SetCause(renamed, original);  // steals original
        restore_exception(renamed);
      } else {
        Py_DECREF(original);
      }
    }
  }
  throw ErrorAlreadySet{};
}

}  // namespace

std::uint64_t to_index(PyObject* value, const char* name) {
  if (PyLong_Check(value)) {
    const unsigned long long result = PyLong_AsUnsignedLongLong(value);
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      fail_argument(name);
    }
    return result;
  }
  PyObject* index = PyNumber_Index(value);
  if (index == nullptr) {
    fail_argument(name);
  }
  const unsigned long long result = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    fail_argument(name);
  }
  return result;
}

double to_double(PyObject* value, const char* name) {
  if (PyFloat_CheckExact(value)) {
    return PyFloat_AS_DOUBLE(value);
  }
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) {
    fail_argument(name);
  }
  return result;
}

std::string_view to_text(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    throw_conversion_error(value, name, "str");
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) {
    fail_argument(name);
  }
  return {data, static_cast<std::size_t>(size)};
}

bool to_flag(PyObject* value, const char* name) {
  if (PyBool_Check(value)) {
    return value == Py_True;
  }
  if (PyArray_IsScalar(value, Bool)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
      fail_argument(name);
    }
    return truth != 0;
  }
  throw_conversion_error(value, name, "bool");
}

void throw_conversion_error(PyObject* value, const char* name, const char* target) {
  PyErr_Format(PyExc_TypeError, messages::CANNOT_CONVERT, name, Py_TYPE(value)->tp_name, target);
  throw ErrorAlreadySet{};
}

}  // namespace vorn::py
