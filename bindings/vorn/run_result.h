// vorn._native.run and its Result class: a program's run, with counts and memory over the
// classical bits and the final state when every shot ends in the same one.
#pragma once

#include "cpython.h"

namespace vorn::py {

extern PyTypeObject RunResultType;

bool ready_run_result_type() noexcept;

extern PyMethodDef run_definition;

}  // namespace vorn::py
