// The module's initialisation: PyInit_vorn_python, the only exported symbol. It claims the
// process for the first interpreter that imports it, imports the NumPy C API once, and fills
// the module with Circuit, SimulationResult and run, in that order.
#include <atomic>
#include <cstdint>

#define VORN_PYTHON_IMPORT_ARRAY
#include "numpy_api.h"

#include "circuit_type.h"
#include "guard.h"
#include "messages.h"
#include "ref.h"
#include "result_type.h"
#include "run.h"

namespace vorn::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vorn_python",  // m_name
    "",             // m_doc
    0,              // m_size: no per-module state
    nullptr,        // m_methods: everything is added by the initialiser
    nullptr,        // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

// The module is created with the C API version 1013, which every supported interpreter has.
static_assert(PYTHON_API_VERSION == 1013);

// The interpreter that first initialised the module (-1: none yet) and the module object,
// both kept for the life of the process.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    throw ErrorAlreadySet{};
  }
}

PyObject* initialise() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1 && PyErr_Occurred()) {
    throw ErrorAlreadySet{};
  }
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, interpreter) &&
      expected != interpreter) {
    PyErr_SetString(PyExc_ImportError, messages::SUB_INTERPRETER);
    throw ErrorAlreadySet{};
  }
  if (module_object != nullptr) {
    Py_INCREF(module_object);
    return module_object;
  }

  if (_import_array() < 0) {
    throw ErrorAlreadySet{};
  }
  Ref module = Ref::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!ready_circuit_type()) {
    throw ErrorAlreadySet{};
  }
  add_type(module.get(), "Circuit", &CircuitType);
  if (!ready_result_type()) {
    throw ErrorAlreadySet{};
  }
  add_type(module.get(), "SimulationResult", &ResultType);
  const Ref module_name = Ref::steal(PyUnicode_FromString("vorn_python"));
  Ref run = Ref::steal(PyCFunction_NewEx(&run_definition, module.get(), module_name.get()));
  if (PyModule_AddObject(module.get(), "run", run.get()) < 0) {
    throw ErrorAlreadySet{};
  }
  run.release();  // the module holds it now

  module_object = module.get();
  Py_INCREF(module_object);
  return module.release();
}

}  // namespace
}  // namespace vorn::py

PyMODINIT_FUNC PyInit_vorn_python(void) {
  return vorn::py::guard([] { return vorn::py::initialise(); });
}
