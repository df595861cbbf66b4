// Observables handed down from the vorn package: each a list of parts, a text (a sum in sparse
// form, or a dense label) or a (label, coefficient) pair, read into one Pauli sum.
#pragma once

#include <cstdint>
#include <vector>

#include "cpython.h"
#include "simulator/observable.h"

namespace vorn::py {

// The sums of a sequence of observables for a program of n_qubits qubits; a refused text or
// label raises ValueError with the reader's message (ErrorAlreadySet).
std::vector<sim::PauliSum> to_pauli_sums(PyObject* observables, std::uint64_t n_qubits);

// The module functions check_observable(parts, n_qubits) -> [(label, coefficient)] and
// expectation(program, observables, precision) -> [float].
extern PyMethodDef check_observable_definition;
extern PyMethodDef expectation_definition;

}  // namespace vorn::py
