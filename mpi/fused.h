// Fused runs over ranks: the fusion plan of the whole program (simulator/fusion.h), the same for
// any rank count, with each dense operation's targets brought to local positions by exchanges
// and every operation renamed onto the positions its qubits hold, so that each amplitude goes
// through the operations of a single-process fused run, bit for bit.
#pragma once

#include <cstdint>
#include <span>

#include "core/complex.h"
#include "mpi/distributed.h"
#include "simulator/fusion.h"

namespace vorn::mpi {

// The local qubits the widest dense operation of the plan needs (diagonals need none: a rank
// applies the part of a diagonal that its bits of the global qubits select).
unsigned fused_local_qubits_needed(std::span<const sim::FusedOp> plan);

// Runs the plan on this rank's slice; the layout is the identity before and after. The global
// targets of a dense operation, with those of the dense operations that follow while local
// positions stay free, come in by one group exchange (Exchanger::exchange_group). Controls at
// global positions are decided by the rank's bits. Precondition: ranks.local_qubits is at least
// fused_local_qubits_needed(plan). Collective (every rank makes the same exchanges).
template <typename T>
void run_fused_plan(std::span<core::Complex<T>> slice, std::span<const sim::FusedOp> plan,
                    const Ranks& ranks, Exchanger& exchanger);

}  // namespace vorn::mpi
