// vorn._native.run and its Result class: a program's run, with counts and memory over the
// classical bits and the final state when every shot ends in the same one.
#pragma once

#include <span>
#include <vector>

#include "core/precision.h"
#include "cpython.h"
#include "simulator/dynamic.h"
#include "simulator/expectation.h"

namespace vorn::py {

extern PyTypeObject RunResultType;

bool ready_run_result_type() noexcept;

extern PyMethodDef run_definition;

// "f32" or "f64" as a precision; anything else raises ValueError.
core::Precision to_precision(PyObject* value);

// A fusion width: 0, 2..5, or True for the best width of the precision; anything else raises
// ValueError (TypeError for what is not an integer).
unsigned to_fusion(PyObject* value, core::Precision precision);

// The sums' values on a run's final state. Precondition: the run has one.
template <typename T>
std::vector<double> expectations_on_final_state(const sim::DynamicRun<T>& run,
                                                std::span<const sim::PauliSum> sums) {
  return sim::expectations<T>(run.final_state->amplitudes(), sums);
}

// A new list of floats.
PyObject* new_float_list(std::span<const double> values);

}  // namespace vorn::py
