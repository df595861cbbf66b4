// The module function run(circuit, shots=1024, seed=None, precision="f64").
#pragma once

#include "cpython.h"

namespace vorn::py {

// The method definition of run(), added to the module at initialisation.
extern PyMethodDef run_definition;

}  // namespace vorn::py
