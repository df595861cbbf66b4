// vorn._native.Program: one dynamic program per instance, built gate by gate from Python or read
// from OpenQASM, and what the package asks of it (its parts, its text, a run).
#pragma once

#include <cstddef>
#include <vector>

#include "cpython.h"
#include "simulator/program.h"

namespace vorn::py {

struct ProgramObject {
  PyObject ob_base;  // PyObject_HEAD
  sim::Program program;
};

extern PyTypeObject ProgramType;

bool ready_program_type() noexcept;

inline bool is_program(PyObject* object) noexcept {
  return PyObject_TypeCheck(object, &ProgramType);
}

inline ProgramObject* as_program(PyObject* object) noexcept {
  return reinterpret_cast<ProgramObject*>(object);
}

// A new Program object that owns the given program.
PyObject* new_program_object(sim::Program&& program);

// The module-level functions that make programs: read(), from_circuit().
extern PyMethodDef read_definition;
extern PyMethodDef from_circuit_definition;

}  // namespace vorn::py
