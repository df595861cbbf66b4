// Faults injected on purpose, for the tests of how a job ends when one rank fails. The variable
// VORN_MPI_FAULT, read once, names one fault and the rank it strikes: "KIND:RANK", KIND one of
//   kill-simulate  the rank kills itself (SIGKILL) when the simulation starts
//   kill-write     the rank kills itself after writing its first part of a .npy file
//   alloc          the rank's allocation of its state fails, as when its memory runs out
//   full           the rank's writes to a .npy file fail as on a full disk (ENOSPC)
//   include        the rank cannot read the files the program includes
// Unset, empty or malformed: no fault.
#pragma once

#include <cstdint>

namespace vorn::mpi {

enum class Fault : std::uint8_t { None, KillSimulate, KillWrite, Alloc, Full, Include };

// Whether the injected fault is `kind` and strikes `rank`.
bool fault_strikes(Fault kind, std::uint64_t rank);

// Ends this process at once, as a node's failure would (no handler, no flush).
[[noreturn]] void die_now();

}  // namespace vorn::mpi
