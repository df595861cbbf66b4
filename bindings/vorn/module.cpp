// vorn._native: the vorn package's private extension module. It exports only PyInit__native and
// adds the Program and Result classes and the functions that read, convert and run programs.
#define VORN_PYTHON_IMPORT_ARRAY
#include "numpy_api.h"

#include "guard.h"
#include "observables.h"
#include "program_type.h"
#include "ref.h"
#include "run_result.h"

namespace vorn::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vorn._native",
    "The vorn package's private extension module; use the vorn package instead.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    throw ErrorAlreadySet{};
  }
}

void add_function(PyObject* module, PyMethodDef* definition) {
  const Ref name = Ref::steal(PyUnicode_FromString("vorn._native"));
  Ref function = Ref::steal(PyCFunction_NewEx(definition, module, name.get()));
  if (PyModule_AddObject(module, definition->ml_name, function.get()) < 0) {
    throw ErrorAlreadySet{};
  }
  function.release();
}

PyObject* initialise() {
  if (_import_array() < 0) {
    throw ErrorAlreadySet{};
  }
  Ref module = Ref::steal(PyModule_Create(&module_definition));
  if (!ready_program_type() || !ready_run_result_type()) {
    throw ErrorAlreadySet{};
  }
  add_type(module.get(), "Program", &ProgramType);
  add_type(module.get(), "Result", &RunResultType);
  for (PyMethodDef* definition : {&read_definition, &from_circuit_definition, &run_definition,
                                  &check_observable_definition, &expectation_definition}) {
    add_function(module.get(), definition);
  }
  return module.release();
}

}  // namespace
}  // namespace vorn::py

PyMODINIT_FUNC PyInit__native(void) {
  return vorn::py::guard([] { return vorn::py::initialise(); });
}
