// Expectation values of Pauli sums on a distributed state: each rank reads its slice, and for the
// strings whose flips reach another rank's slice, that rank's amplitudes chunk by chunk; rank 0
// combines the contributions. The values are bit for bit those of sim::expectations on the whole
// state, for any number of ranks.
#pragma once

#include <span>
#include <vector>

#include "core/complex.h"
#include "mpi/distributed.h"
#include "simulator/observable.h"

namespace vorn::mpi {

// One value per sum on rank 0, nothing on the other ranks. Collective; every rank passes the
// same sums, each acting below ranks.global_qubits + ranks.local_qubits qubits, and its slice in
// the original qubit order.
template <typename T>
std::vector<double> distributed_expectations(std::span<const core::Complex<T>> slice,
                                             std::span<const sim::PauliSum> sums,
                                             const Ranks& ranks, Exchanger& exchanger);

}  // namespace vorn::mpi
