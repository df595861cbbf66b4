// Executing an operation list with gate fusion (simulator/fusion.h): the plan's operations run
// through the fused kernels (core/kernels/fused.h), in passes over blocks that stay in a core's
// cache as the exact engine's passes do (simulator/passes.h), or one operation per pass over the
// state. Every amplitude goes through the same operations whatever the thread count, block size
// or instruction set, so the results are the same bits for all of them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.h"
#include "simulator/circuit.h"
#include "simulator/fusion.h"

namespace vorn::sim {

// The fusion widths: 0 runs exactly (simulator/passes.h), 2..5 fuse.
inline constexpr unsigned MIN_FUSION = 2;
inline constexpr unsigned MAX_FUSION = 5;

// The measured best width per precision (see the README's fusion figures).
unsigned best_fusion(bool single_precision);

// Applies the plan's operations in order, then, when phase is given, multiplies every amplitude
// by e^{i phase}. v.size() must be 2^m with every operand below m.
template <typename T>
void execute_fused_plan(std::span<core::Complex<T>> v, std::span<const FusedOp> plan,
                        std::optional<double> phase);

// The plan of the gates of ops with width k (2..5).
std::vector<FusedOp> plan_operations(std::span<const Operation> ops, unsigned k);

// Plans the gates of ops with width k (2..5) and executes the plan. Returns whether ops holds a
// measurement.
template <typename T>
bool execute_fused(std::span<core::Complex<T>> v, std::span<const Operation> ops,
                   std::optional<double> phase, unsigned k);

namespace testing {
// Runs fn so that every fused execution started from fn on this thread cuts its passes into
// blocks of 2^block_qubits amplitudes (0: one operation per pass over the state). Calls may
// nest; the innermost wins.
void run_with_fused_blocks(unsigned block_qubits, const std::function<void()>& fn);
}  // namespace testing

}  // namespace vorn::sim
