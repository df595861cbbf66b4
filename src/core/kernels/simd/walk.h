// The group walk of the vectorised kernels: software prefetch ahead of the work, and two
// streams where a group's registers lie close together. Included only through
// core/kernels/simd.h, inside the namespace of one instruction set.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/kernels/simd/enumeration.h"

#ifndef VORN_ALWAYS_INLINE
#define VORN_ALWAYS_INLINE __attribute__((always_inline))
#endif

namespace vorn::core::kernels::VORN_SIMD_NAMESPACE {

// How much memory the group loops ask for ahead of their work, over all streams of a group:
// the hardware prefetchers alone do not keep read-and-write streams fed.
inline constexpr std::uint64_t PREFETCH_BYTES = 8192;

// Calls body(first float of the group's first register) once for each group of [begin, end),
// with the groups split into STREAMS consecutive parts walked side by side, while prefetching
// the registers of the groups PREFETCH_BYTES ahead (unless `prefetch` is false: the groups are
// in the cache already, and the prefetches would only cost instructions). (The order of independent
// groups does not change any result.) The enumeration is a local copy, so that it stays in
// registers beside the body's stores; with CONSECUTIVE (no register operands) group k is simply
// register k. The walk and the bodies are always inlined (VORN_ALWAYS_INLINE): a call per group
// would cost more than the group's arithmetic, and would keep the body's matrix in memory instead
// of registers.
template <typename Isa, unsigned G, unsigned STREAMS, bool CONSECUTIVE, typename Body>
VORN_ALWAYS_INLINE inline void walk_groups(const Enumeration& enumeration,
                                           const std::ptrdiff_t* offset, bool prefetch,
                                           typename Isa::T* v, std::uint64_t begin,
                                           std::uint64_t end, const Body& body) {
  constexpr std::uint64_t ELEMENTS = std::uint64_t{2} << Isa::LOG_W;
  constexpr std::uint64_t AHEAD = PREFETCH_BYTES / (STREAMS * G * sizeof(typename Isa::V));
  const Enumeration groups = enumeration;
  const auto first_of = [&](std::uint64_t k) { return CONSECUTIVE ? k : groups(k); };
  const auto next = [&](std::uint64_t r) { return CONSECUTIVE ? r + 1 : groups.next(r); };
  const auto walk = [&](std::uint64_t first, std::uint64_t last) VORN_ALWAYS_INLINE {
    std::uint64_t r = first_of(first);
    for (std::uint64_t k = first; k < last; ++k) {
      body(v + r * ELEMENTS);
      r = next(r);
    }
  };
  const std::uint64_t count = (end - begin) / STREAMS;
  if (!prefetch || count <= AHEAD) {
    walk(begin, end);
    return;
  }
  std::uint64_t r[STREAMS];
  std::uint64_t ahead[STREAMS];
  for (unsigned s = 0; s < STREAMS; ++s) {
    r[s] = first_of(begin + s * count);
    ahead[s] = first_of(begin + s * count + AHEAD);
  }
  for (std::uint64_t i = 0; i < count - AHEAD; ++i) {
    for (unsigned s = 0; s < STREAMS; ++s) {
      const typename Isa::T* a = v + ahead[s] * ELEMENTS;
      for (unsigned g = 0; g < G; ++g) {
        _mm_prefetch(reinterpret_cast<const char*>(a + offset[g]), _MM_HINT_T0);
      }
      ahead[s] = next(ahead[s]);
      body(v + r[s] * ELEMENTS);
      r[s] = next(r[s]);
    }
  }
  // The last AHEAD groups of each part, and what the split into parts left over.
  for (unsigned s = 0; s < STREAMS; ++s) {
    walk(begin + s * count + count - AHEAD, begin + (s + 1) * count);
  }
  walk(begin + STREAMS * count, end);
}

// A group whose registers lie close together makes one stream through memory, which a core
// reads and writes more slowly than two: such plans walk their groups as two streams.
template <typename Isa, unsigned G, typename Groups, typename Body>
VORN_ALWAYS_INLINE inline void for_each_group(const Groups& plan, typename Isa::T* v,
                                              std::uint64_t begin, std::uint64_t end,
                                              const Body& body) {
  constexpr std::ptrdiff_t NEAR = 4096 / sizeof(typename Isa::T);
  std::ptrdiff_t offset[G];
  bool near = true;
  for (unsigned g = 0; g < G; ++g) {
    offset[g] = plan.offset[g];
    near = near && offset[g] < NEAR;
  }
  if (G == 1 && plan.groups.forced == 0) {
    walk_groups<Isa, G, 2, true>(plan.groups, offset, plan.prefetch, v, begin, end, body);
  } else if (near) {
    walk_groups<Isa, G, 2, false>(plan.groups, offset, plan.prefetch, v, begin, end, body);
  } else {
    walk_groups<Isa, G, 1, false>(plan.groups, offset, plan.prefetch, v, begin, end, body);
  }
}

}  // namespace vorn::core::kernels::VORN_SIMD_NAMESPACE
