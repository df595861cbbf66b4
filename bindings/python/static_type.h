// The module's classes are static type objects, filled the same way: only what differs between
// them is given.
#pragma once

#include "cpython.h"

namespace vorn::py {

struct StaticTypeSpec {
  const char* name;
  Py_ssize_t basicsize;
  destructor dealloc;
  const char* doc;
  PyMethodDef* methods;
  PyGetSetDef* getset;
  newfunc new_instance;
};

// Fills and readies `type` once per process. Default flags only: not subclassable, no instance
// dictionary, no weak references. A static type object has one reference held by the process
// for ever (ob_type is set by PyType_Ready). False with an exception set on failure.
inline bool ready_static_type(PyTypeObject& type, const StaticTypeSpec& spec) noexcept {
  if (type.tp_flags & Py_TPFLAGS_READY) {
    return true;
  }
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = spec.name;
  type.tp_basicsize = spec.basicsize;
  type.tp_itemsize = 0;
  type.tp_dealloc = spec.dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = spec.doc;
  type.tp_methods = spec.methods;
  type.tp_getset = spec.getset;
  type.tp_new = spec.new_instance;
  return PyType_Ready(&type) == 0;
}

}  // namespace vorn::py
