// The entry guard's exception mapping and the module's abort exception.
#include "guard.h"

#include "messages.h"

namespace vorn::py {

namespace {

// Created once per process, on first use, and kept for the life of the process.
PyObject* panic_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("vorn_python.PanicException", messages::DOC_PANIC_EXCEPTION,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

void raise_text(PyObject* type, std::string_view message) noexcept {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) {
    return;
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

[[noreturn]] void throw_text(PyObject* type, std::string_view message) {
  raise_text(type, message);
  throw ErrorAlreadySet{};
}

void raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_type();
  if (type == nullptr) {
    return;
  }
  // Build the instance ourselves: PyErr_SetObject would unpack a tuple argument, and the
  // message must be the single argument whatever it is.
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) {
    return;
  }
  PyObject* instance = PyObject_CallOneArg(type, text);
  Py_DECREF(text);
  if (instance == nullptr) {
    return;
  }
  PyErr_SetObject(type, instance);
  Py_DECREF(instance);
}

namespace detail {

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, messages::ERROR_WITHOUT_EXCEPTION);
    }
  } catch (const core::Abort& e) {
    raise_panic(e.message());
  } catch (const core::AllocationFailure& e) {
    raise_text(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, messages::UNEXPECTED_EXCEPTION_WHAT, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, messages::UNEXPECTED_EXCEPTION);
  }
}

}  // namespace detail

}  // namespace vorn::py
