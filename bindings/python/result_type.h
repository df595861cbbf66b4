// The SimulationResult class and the module function run().
#pragma once

#include "cpython.h"

namespace vorn::py {

// A static type object named "SimulationResult"; instances come only from run().
extern PyTypeObject ResultType;

// Fills and readies the type object once per process; false with an exception set on failure.
bool ready_result_type() noexcept;

// The method definition of run(circuit, shots=1024, seed=None, precision="f64").
extern PyMethodDef run_definition;

}  // namespace vorn::py
