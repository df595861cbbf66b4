// The vectorised kernels, written once over an instruction set's traits. Included only by the
// translation unit of one instruction set (compiled with that set's flags), after it defines
// VORN_SIMD_NAMESPACE: everything here lives in that namespace, so the linker can never pick
// a function compiled for one instruction set to serve another. For the same reason nothing
// here instantiates a library template with code in it.
//
// A vector register holds W = 2^LOG_W complex amplitudes, interleaved re, im as in memory. An
// operand below LOG_W is a lane operand (its partners sit in the same register), one from LOG_W
// up a register operand (its partners sit in another register). A kernel call becomes a list of
// groups: G = 2^(register operands of the matrix) registers at fixed offsets, enumerated by
// inserting zero bits into the group number at the register operands' positions (register
// controls are set to 1 instead of enumerated). For each output register and lane, the new
// amplitude is the row of the matrix selected by the lane's local index times the group's
// inputs (moved into place by lane permutations where an operand is a lane operand),
// accumulated in column order:
//   new = ((M[r][0] * a0 + M[r][1] * a1) + M[r][2] * a2) + M[r][3] * a3,
// with every complex product as re = m.re * a.re - m.im * a.im, im = m.re * a.im + m.im * a.re,
// the same operations in the same order as the scalar reference, hence the same bits. A lane
// control becomes a blend that keeps the stored value where the control bit is 0. The
// controlled exchange only moves values: whole registers, or lanes by permutation and blend.
//
// The group loops prefetch their memory ahead in software and walk groups whose registers lie
// close together as two streams: memory speed, not arithmetic, bounds these kernels.
//
// Traits (struct Isa) provide: T, V, Index, Mask, LOG_W, NATIVE_ADDSUB, REGISTERS, SHAPED; load,
// store, mul, add, addsub (even elements a - b, odd elements a + b), swap_re_im,
// make_permutation(source lane per lane), permute, make_mask(lane flags), blend(old, new, mask),
// mask_add(old, mask, a, b) (a + b in the lanes of the mask, old elsewhere); with 32 registers also
// Exchange, make_exchange(lane bit p) and exchange<p>(a, b, x): a and b become the amplitudes of
// both registers with lane bit p clear and set, a[l] = bit p of l clear ? a[l] : b[l ^ 2^p] and
// b[l] = bit p of l clear ? a[l | 2^p] : b[l], which trades lane bit p for the register bit that
// tells a from b (applied twice, nothing moves). With SHAPED (and a native addsub), the shaped
// runners of matrices with zero parts (simd/shaped.h) and their traits: one (1 in every
// element), ordinary(x) (every element finite and not zero), zero_bits(x), bit_or(a, b).
#pragma once

#ifndef VORN_SIMD_NAMESPACE
#error "define VORN_SIMD_NAMESPACE before including core/kernels/simd.h"
#endif

#include <cstddef>
#include <cstdint>

#include "core/complex.h"
#include "core/gates.h"
#include "core/kernels.h"
#include "core/kernels/dispatch.h"
#include "core/kernels/simd/exchange.h"
#include "core/kernels/simd/execute.h"
#include "core/kernels/simd/matrix.h"
#include "core/kernels/simd/plan.h"
#include "core/kernels/simd/shaped.h"

namespace vorn::core::kernels::VORN_SIMD_NAMESPACE {

// The five kernels of one instruction set: each builds its plan, picks the runner for its
// operand placement and matrix, and executes it.
template <typename Isa>
struct Kernels {
  using T = typename Isa::T;
  static constexpr unsigned LOG_W = Isa::LOG_W;
  static constexpr std::uint64_t W = std::uint64_t{1} << LOG_W;

  // Matrix on one target with up to two controls.
  static void matrix2(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned target,
                      const unsigned* controls, unsigned control_count, Placement placement) {
    Plan<Isa> plan;
    build_plan(plan, &m[0], &target, 1, controls, control_count, len);
    bool masked = false;
    for (unsigned i = 0; i < control_count; ++i) {
      masked = masked || controls[i] < LOG_W;
    }
    RunFunction run;
    if constexpr (Isa::SHAPED) {
      if (plan.shape != Shape::General && (target >= LOG_W || pair_lane_target_groups<Isa>(plan))) {
        run = target >= LOG_W ? shaped_registers_run<2>(plan.shape, masked)
                              : shaped_lane_target_run(plan.shape, masked);
        execute<Isa>(plan, 2, reinterpret_cast<T*>(v), len, run, placement);
        return;
      }
    }
    if (plan.signed_imaginary) {
      if (target >= LOG_W) {
        run = masked ? run_erased<Isa, run_registers<Isa, 2, true, true>>
                     : run_erased<Isa, run_registers<Isa, 2, false, true>>;
      } else {
        run = masked ? run_erased<Isa, run_lane_target<Isa, true, true>>
                     : run_erased<Isa, run_lane_target<Isa, false, true>>;
      }
    } else {
      if (target >= LOG_W) {
        run = masked ? run_erased<Isa, run_registers<Isa, 2, true, false>>
                     : run_erased<Isa, run_registers<Isa, 2, false, false>>;
      } else {
        run = masked ? run_erased<Isa, run_lane_target<Isa, true, false>>
                     : run_erased<Isa, run_lane_target<Isa, false, false>>;
      }
    }
    execute<Isa>(plan, target >= LOG_W ? 2 : 1, reinterpret_cast<T*>(v), len, run, placement);
  }

  // The shaped runners of a plan whose matrix has zero parts (simd/shaped.h): on register
  // operands (2x2, or the diagonal 4x4 shapes), or on a lane target.
  template <unsigned D, bool Masked>
  static RunFunction shaped_registers_run(Shape shape) {
    switch (shape) {
      case Shape::RealDiagonal:
        return run_erased<Isa, run_shaped_registers<Isa, D, Masked, Shape::RealDiagonal>>;
      case Shape::Diagonal:
        return run_erased<Isa, run_shaped_registers<Isa, D, Masked, Shape::Diagonal>>;
      case Shape::Real:
        if constexpr (D == 2) {
          return run_erased<Isa, run_shaped_registers<Isa, D, Masked, Shape::Real>>;
        }
        return nullptr;
      case Shape::Imaginary:
        if constexpr (D == 2) {
          return run_erased<Isa, run_shaped_registers<Isa, D, Masked, Shape::Imaginary>>;
        }
        return nullptr;
      case Shape::General:
        return nullptr;
    }
    return nullptr;
  }

  template <unsigned D>
  static RunFunction shaped_registers_run(Shape shape, bool masked) {
    return masked ? shaped_registers_run<D, true>(shape) : shaped_registers_run<D, false>(shape);
  }

  template <bool Masked>
  static RunFunction shaped_lane_target_run(Shape shape) {
    switch (shape) {
      case Shape::RealDiagonal:
        return run_erased<Isa, run_shaped_lane_target<Isa, Masked, Shape::RealDiagonal>>;
      case Shape::Diagonal:
        return run_erased<Isa, run_shaped_lane_target<Isa, Masked, Shape::Diagonal>>;
      case Shape::Real:
        return run_erased<Isa, run_shaped_lane_target<Isa, Masked, Shape::Real>>;
      case Shape::Imaginary:
        return run_erased<Isa, run_shaped_lane_target<Isa, Masked, Shape::Imaginary>>;
      case Shape::General:
        return nullptr;
    }
    return nullptr;
  }

  static RunFunction shaped_lane_target_run(Shape shape, bool masked) {
    return masked ? shaped_lane_target_run<true>(shape) : shaped_lane_target_run<false>(shape);
  }

  template <Placement P>
  static void single(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned target) {
    if (len < W) {
      reference_table<T>().single(v, len, m, target);
      return;
    }
    matrix2(v, len, m, target, nullptr, 0, P);
  }

  template <Placement P>
  static void controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned control,
                         unsigned target) {
    if (len < W) {
      reference_table<T>().controlled(v, len, m, control, target);
      return;
    }
    matrix2(v, len, m, target, &control, 1, P);
  }

  template <Placement P>
  static void doubly_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m,
                                unsigned control1, unsigned control2, unsigned target) {
    if (len < W) {
      reference_table<T>().doubly_controlled(v, len, m, control1, control2, target);
      return;
    }
    const unsigned controls[2] = {control1, control2};
    matrix2(v, len, m, target, controls, 2, P);
  }

  template <bool Signed>
  static RunFunction four_by_four_run(unsigned register_ops, bool q0_in_register) {
    switch (register_ops) {
      case 2:
        return run_erased<Isa, run_registers<Isa, 4, false, Signed>>;
      case 1:
        return q0_in_register ? run_erased<Isa, run_gathered<Isa, 2, 0, Signed>>
                              : run_erased<Isa, run_gathered<Isa, 2, 1, Signed>>;
      default:
        return run_erased<Isa, run_gathered<Isa, 1, 0, Signed>>;
    }
  }

  // The quad kernel for lane operands (q0, q1), found among its instantiations for lane bits
  // (B0, B1) on.
  template <bool Signed, unsigned B0, unsigned B1>
  static RunFunction quads_run(unsigned q0, unsigned q1) {
    if constexpr (B0 >= LOG_W) {
      return nullptr;
    } else if constexpr (B1 >= LOG_W) {
      return quads_run<Signed, B0 + 1, 0>(q0, q1);
    } else if constexpr (B0 == B1) {
      return quads_run<Signed, B0, B1 + 1>(q0, q1);
    } else {
      if (q0 == B0 && q1 == B1) {
        return run_erased<Isa, run_quads<Isa, Signed, B0, B1>, QuadPlan<Isa>>;
      }
      return quads_run<Signed, B0, B1 + 1>(q0, q1);
    }
  }

  template <Placement P>
  static void two_qubit(Complex<T>* v, std::uint64_t len, const Matrix4<T>& m, unsigned q0,
                        unsigned q1) {
    if (len < W) {
      reference_table<T>().two_qubit(v, len, m, q0, q1);
      return;
    }
    // The quads hold sixteen matrix entries, each in two registers, beside their twelve
    // working registers: with fewer than 32 vector registers they spill and lose to the
    // permutations they save.
    if constexpr (Isa::REGISTERS >= 32) {
      if (q0 < LOG_W && q1 < LOG_W && len >= 4 * W) {
        using Q = QuadPlan<Isa>;
        Q quads;
        const unsigned in_registers[2] = {LOG_W, LOG_W + 1};
        build_plan<Isa>(quads, &m[0], in_registers, 2, nullptr, 0, len);
        quads.first = Isa::make_exchange(q0);
        quads.second = Isa::make_exchange(q1);
        const RunFunction run =
            quads.signed_imaginary ? quads_run<true, 0, 0>(q0, q1) : quads_run<false, 0, 0>(q0, q1);
        execute<Isa>(quads, 4, reinterpret_cast<T*>(v), len, run, P);
        return;
      }
    }
    Plan<Isa> plan;
    const unsigned operands[2] = {q0, q1};
    build_plan(plan, &m[0], operands, 2, nullptr, 0, len);
    const unsigned register_ops = (q0 >= LOG_W ? 1u : 0u) + (q1 >= LOG_W ? 1u : 0u);
    if constexpr (Isa::SHAPED) {
      const bool diagonal = plan.shape == Shape::Diagonal || plan.shape == Shape::RealDiagonal;
      if (register_ops == 2 && diagonal) {
        execute<Isa>(plan, 4, reinterpret_cast<T*>(v), len,
                     shaped_registers_run<4>(plan.shape, false), P);
        return;
      }
    }
    RunFunction run = nullptr;
    const unsigned group_size = 1u << register_ops;
    run = plan.signed_imaginary ? four_by_four_run<true>(register_ops, q0 >= LOG_W)
                                : four_by_four_run<false>(register_ops, q0 >= LOG_W);
    execute<Isa>(plan, group_size, reinterpret_cast<T*>(v), len, run, P);
  }

  template <Placement P>
  static void controlled_swap(Complex<T>* v, std::uint64_t len, unsigned control, unsigned target1,
                              unsigned target2) {
    if (len < W) {
      reference_table<T>().controlled_swap(v, len, control, target1, target2);
      return;
    }
    using E = ExchangePlan<Isa>;
    E plan;
    const unsigned kind = build_exchange_plan(plan, control, target1, target2, len);
    const bool masked = control != target2 && control < LOG_W;
    RunFunction run;
    if (kind == 2) {
      run = masked ? run_erased<Isa, run_exchange_registers<Isa, true>, E>
                   : run_erased<Isa, run_exchange_registers<Isa, false>, E>;
    } else if (kind == 1) {
      run = run_erased<Isa, run_exchange_mixed<Isa>, E>;
    } else {
      run = run_erased<Isa, run_exchange_lanes<Isa>, E>;
    }
    execute<Isa>(plan, kind == 0 ? 1 : 2, reinterpret_cast<T*>(v), len, run, P);
  }
};

// The table: the kernels with the pool's parallel loop from PARALLEL_THRESHOLD on, the same
// kernels on the calling thread, and on the calling thread without software prefetching.
template <typename Isa>
constexpr KernelTable<typename Isa::T> make_table(const char* name) {
  using K = Kernels<Isa>;
  constexpr Placement POOL = Placement::Pool;
  constexpr Placement LOCAL = Placement::CallingThread;
  constexpr Placement CACHED = Placement::InCache;
  return {
      {K::template single<POOL>, K::template controlled<POOL>, K::template two_qubit<POOL>,
       K::template doubly_controlled<POOL>, K::template controlled_swap<POOL>},
      name,
      {K::template single<LOCAL>, K::template controlled<LOCAL>, K::template two_qubit<LOCAL>,
       K::template doubly_controlled<LOCAL>, K::template controlled_swap<LOCAL>},
      {K::template single<CACHED>, K::template controlled<CACHED>, K::template two_qubit<CACHED>,
       K::template doubly_controlled<CACHED>, K::template controlled_swap<CACHED>}};
}

}  // namespace vorn::core::kernels::VORN_SIMD_NAMESPACE
