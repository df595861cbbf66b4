// The Circuit class: one circuit record per instance, behind the instance's access state.
#pragma once

#include "access.h"
#include "cpython.h"
#include "simulator/circuit.h"

namespace vorn::py {

struct CircuitObject {
  PyObject ob_base;  // PyObject_HEAD
  AccessState access;
  sim::Circuit circuit;
};

// A static type object named "Circuit" (so its __module__ is "builtins"); not subclassable,
// no instance dictionary, no weak references.
extern PyTypeObject CircuitType;

// Fills and readies the type object once per process; false with an exception set on failure.
bool ready_circuit_type() noexcept;

inline bool is_circuit(PyObject* object) noexcept {
  return PyObject_TypeCheck(object, &CircuitType);
}

inline CircuitObject* as_circuit(PyObject* object) noexcept {
  return reinterpret_cast<CircuitObject*>(object);
}

}  // namespace vorn::py
