// How a vectorised kernel runs its plan: on the calling thread or as one parallel loop over
// the groups. Included only through
// core/kernels/simd.h, inside the namespace of one instruction set.
#pragma once

#include <cstdint>

#include "core/kernels.h"
#include "core/kernels/simd/plan.h"
#include "core/parallel.h"

namespace vorn::core::kernels::VORN_SIMD_NAMESPACE {

inline constexpr std::uint64_t WORK_ITEM_BYTES = 16384;

using RunFunction = void (*)(const void* plan, void* v, std::uint64_t begin, std::uint64_t end);

template <typename Isa, auto Run, typename P = Plan<Isa>>
void run_erased(const void* plan, void* v, std::uint64_t begin, std::uint64_t end) {
  Run(*static_cast<const P*>(plan), static_cast<typename Isa::T*>(v), begin, end);
}

// Runs the plan over all its groups: with Placement::Pool, on the calling thread below
// PARALLEL_THRESHOLD amplitudes, else as one parallel loop over the groups; else on the calling
// thread, with software prefetching unless InCache.
template <typename Isa, typename P>
void execute(P& plan, unsigned group_size, typename Isa::T* v, std::uint64_t len, RunFunction run,
             Placement placement) {
  plan.prefetch = placement != Placement::InCache;
  if (placement != Placement::Pool || len < PARALLEL_THRESHOLD) {
    run(&plan, v, 0, plan.group_count);
    return;
  }
  // Work items of at least WORK_ITEM_BYTES, so the pool's bookkeeping stays small beside them.
  const std::uint64_t group_bytes = std::uint64_t{sizeof(typename Isa::V)} * group_size;
  const std::uint64_t grain = group_bytes >= WORK_ITEM_BYTES ? 1 : WORK_ITEM_BYTES / group_bytes;
  parallel_for(0, plan.group_count, grain,
               [&](std::uint64_t begin, std::uint64_t end) { run(&plan, v, begin, end); });
}

}  // namespace vorn::core::kernels::VORN_SIMD_NAMESPACE
