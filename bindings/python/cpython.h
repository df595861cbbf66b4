// Python.h with the size-type convention every file of the binding relies on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
