// The SimulationResult class.
#pragma once

#include "cpython.h"
#include "simulator/engine.h"

namespace vorn::py {

// A static type object named "SimulationResult"; instances come only from run().
extern PyTypeObject ResultType;

// Fills and readies the type object once per process; false with an exception set on failure.
bool ready_result_type() noexcept;

// A new SimulationResult object that owns the engine's result; instances come only from run().
PyObject* new_result_object(sim::SimulationResult&& result);

}  // namespace vorn::py
