// The ranks of the test's MPI world, for a state of n_qubits: as many global qubits as the rank
// count needs (a power of two), the rest local.
#pragma once

#include <mpi.h>

#include <cstdint>

#include "mpi/distributed.h"

namespace vorn::mpi::test {

inline Ranks world(std::uint64_t n_qubits) {
  Ranks ranks;
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  ranks.rank = static_cast<std::uint64_t>(rank);
  ranks.size = static_cast<std::uint64_t>(size);
  while ((std::uint64_t{1} << ranks.global_qubits) < ranks.size) {
    ++ranks.global_qubits;
  }
  ranks.local_qubits = n_qubits - ranks.global_qubits;
  return ranks;
}

}  // namespace vorn::mpi::test
