// The planner's costs and block sizes measured on this machine: once per precision, kernel table
// and state size, at the first run that needs them, and kept for the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/complex.h"
#include "core/kernels/dispatch.h"
#include "simulator/passes.h"

namespace vorn::sim {

// The size in bytes of this machine's data or unified cache of a level (1, 2 or 3) as one core
// sees it, read once from the system; 0 if unknown.
std::size_t cache_bytes(unsigned level);

// What the calibration measured, and the blocking it chose. Costs are seconds per amplitude of
// the state, each the least of a few repetitions, timed in the calling thread's processor time
// (so that a moment without the processor does not count):
//   arithmetic: a single-qubit gate on a block in the cache, on each qubit of the block from the
//     fourth on (below it, the lanes of a vector register);
//   gate and controlled: a single-qubit gate and CX (its control high) through their kernels
//     over a part of the state that no cache holds;
//   in_place and gathered: a blockwise pass of two single-qubit gates over such a part, less one
//     gate's arithmetic.
// The parts are sixteen pieces of the state's upper half (at most the last-level cache in all)
// taken in turn, so that each has left the caches when it comes round again.
// The gathered blocks (a quarter or half of the level-2 cache) with their runs (1, 2 or 4 KiB, at
// most an eighth of the level-1 cache), and the stretches in place (a quarter or half of the
// level-2 cache) are those of least measured cost per qubit they leave a pass.
struct Calibration {
  Blocking blocking;
  PassCosts costs;
};

// The calibration for states of v.size() amplitudes run by `table`: the one kept for the process
// if states of this size were measured before (from twice the last-level cache on, every size
// counts as one), else one measured now on v and kept, else nullopt. v must be a power of two
// long. Measuring needs v's upper half to hold zero bits only (a fresh state): the half serves
// as scratch (a few milliseconds) and holds zero bits again afterwards; a state of fewer than
// eight blocks is not measured. Safe to call from several threads at once.
template <typename T>
std::optional<Calibration> calibration_for(std::span<core::Complex<T>> v,
                                           const core::kernels::KernelTable<T>& table);

// One measurement as calibration_for makes it, without keeping it: nullopt when v is too short
// or its upper half holds a bit that is not zero (then v is left untouched).
template <typename T>
std::optional<Calibration> measure_calibration(std::span<core::Complex<T>> v,
                                               const core::kernels::KernelTable<T>& table);

}  // namespace vorn::sim
