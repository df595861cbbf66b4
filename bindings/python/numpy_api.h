// The one way the binding includes the NumPy C API: module.cpp imports the API table
// (import_array at initialisation), every other file only refers to it.
#pragma once

#include "cpython.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vorn_python_ARRAY_API
#ifndef VORN_PYTHON_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
