// The vectorised controlled exchange: whole registers, or lanes by permutation and blend.
// Included only through
// core/kernels/simd.h, inside the namespace of one instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kernels/simd/enumeration.h"
#include "core/kernels/simd/walk.h"

namespace vorn::core::kernels::VORN_SIMD_NAMESPACE {

// The controlled exchange: no arithmetic, only moves. The amplitudes with (target1, target2) =
// (0, 1) and (1, 0) and the control set trade places; a register holding both kinds of lanes is
// rebuilt by a lane permutation and a blend that keeps every other lane as stored.
template <typename Isa>
struct ExchangePlan {
  Enumeration groups;
  std::uint64_t group_count = 0;
  bool prefetch = true;               // ahead of the work, in software (walk.h)
  std::ptrdiff_t offset[2] = {0, 0};  // in floats
  typename Isa::Index swap_lanes;     // lane l <- lane l ^ (lane bits of the targets)
  typename Isa::Mask replace[2];      // per register of the group: lanes that take a new value
};

// control == target2 makes the exchange unconditional.
template <typename Isa>
unsigned build_exchange_plan(ExchangePlan<Isa>& plan, unsigned control, unsigned target1,
                             unsigned target2, std::uint64_t len) {
  constexpr unsigned LOG_W = Isa::LOG_W;
  constexpr unsigned W = 1u << LOG_W;
  const bool conditional = control != target2;
  unsigned control_lanes = 0;
  if (conditional) {
    if (control >= LOG_W) {
      plan.groups.add_position(control - LOG_W);
      plan.groups.set |= std::uint64_t{1} << (control - LOG_W);
    } else {
      control_lanes = 1u << control;
    }
  }
  const unsigned target_lanes =
      (target1 < LOG_W ? 1u << target1 : 0u) | (target2 < LOG_W ? 1u << target2 : 0u);
  unsigned from[W];
  for (unsigned lane = 0; lane < W; ++lane) {
    from[lane] = lane ^ target_lanes;
  }
  plan.swap_lanes = Isa::make_permutation(from);
  const auto lane_bit = [](unsigned lane, unsigned q) { return (lane >> q) & 1u; };

  unsigned kind;  // 2: both targets in registers, 1: one, 0: none
  bool replace[2][W];
  if (target1 >= LOG_W && target2 >= LOG_W) {
    kind = 2;
    plan.groups.add_position(target1 - LOG_W);
    plan.groups.add_position(target2 - LOG_W);
    // Register 0 holds (0, 1), register 1 holds (1, 0): whole registers trade places.
    plan.offset[0] = std::ptrdiff_t{2} << target2;
    plan.offset[1] = std::ptrdiff_t{2} << target1;
    for (unsigned lane = 0; lane < W; ++lane) {
      replace[0][lane] = replace[1][lane] = (lane & control_lanes) == control_lanes;
    }
  } else if (target1 >= LOG_W || target2 >= LOG_W) {
    kind = 1;
    const unsigned in_register = target1 >= LOG_W ? target1 : target2;
    const unsigned in_lane = target1 >= LOG_W ? target2 : target1;
    plan.groups.add_position(in_register - LOG_W);
    plan.offset[0] = 0;
    plan.offset[1] = std::ptrdiff_t{2} << in_register;
    // Register g has the register target's bit equal to g; its lanes whose lane-target bit
    // differs from g hold (0, 1) or (1, 0) amplitudes.
    for (unsigned g = 0; g < 2; ++g) {
      for (unsigned lane = 0; lane < W; ++lane) {
        replace[g][lane] = lane_bit(lane, in_lane) != g && (lane & control_lanes) == control_lanes;
      }
    }
  } else {
    kind = 0;
    for (unsigned lane = 0; lane < W; ++lane) {
      replace[0][lane] = lane_bit(lane, target1) != lane_bit(lane, target2) &&
                         (lane & control_lanes) == control_lanes;
      replace[1][lane] = false;
    }
  }
  plan.replace[0] = Isa::make_mask(replace[0]);
  plan.replace[1] = Isa::make_mask(replace[1]);
  plan.group_count = (len / W) >> plan.groups.count;
  return kind;
}

// Both targets in registers: the two registers of a group trade their (controlled) lanes.
template <typename Isa, bool Masked>
void run_exchange_registers(const ExchangePlan<Isa>& exchange, typename Isa::T* v,
                            std::uint64_t begin, std::uint64_t end) {
  const std::ptrdiff_t a_offset = exchange.offset[0];
  const std::ptrdiff_t b_offset = exchange.offset[1];
  const typename Isa::Mask mask = exchange.replace[0];
  for_each_group<Isa, 2>(exchange, v, begin, end, [&](typename Isa::T* base) VORN_ALWAYS_INLINE {
    const typename Isa::V a = Isa::load(base + a_offset);
    const typename Isa::V b = Isa::load(base + b_offset);
    if constexpr (Masked) {
      Isa::store(base + a_offset, Isa::blend(a, b, mask));
      Isa::store(base + b_offset, Isa::blend(b, a, mask));
    } else {
      Isa::store(base + a_offset, b);
      Isa::store(base + b_offset, a);
    }
  });
}

// One target in lanes: each register takes its partner lanes from the other register.
template <typename Isa>
void run_exchange_mixed(const ExchangePlan<Isa>& exchange, typename Isa::T* v, std::uint64_t begin,
                        std::uint64_t end) {
  const std::ptrdiff_t offset1 = exchange.offset[1];
  const typename Isa::Index swap_lanes = exchange.swap_lanes;
  const typename Isa::Mask replace0 = exchange.replace[0];
  const typename Isa::Mask replace1 = exchange.replace[1];
  for_each_group<Isa, 2>(exchange, v, begin, end, [&](typename Isa::T* base) VORN_ALWAYS_INLINE {
    const typename Isa::V r0 = Isa::load(base);
    const typename Isa::V r1 = Isa::load(base + offset1);
    Isa::store(base, Isa::blend(r0, Isa::permute(r1, swap_lanes), replace0));
    Isa::store(base + offset1, Isa::blend(r1, Isa::permute(r0, swap_lanes), replace1));
  });
}

// Both targets in lanes: one register, its exchanged lanes swapped in place.
template <typename Isa>
void run_exchange_lanes(const ExchangePlan<Isa>& exchange, typename Isa::T* v, std::uint64_t begin,
                        std::uint64_t end) {
  const typename Isa::Index swap_lanes = exchange.swap_lanes;
  const typename Isa::Mask replace = exchange.replace[0];
  for_each_group<Isa, 1>(exchange, v, begin, end, [&](typename Isa::T* base) VORN_ALWAYS_INLINE {
    const typename Isa::V x = Isa::load(base);
    Isa::store(base, Isa::blend(x, Isa::permute(x, swap_lanes), replace));
  });
}

}  // namespace vorn::core::kernels::VORN_SIMD_NAMESPACE
