// The vectorised matrix runners: a plan's groups through 2x2 and 4x4 matrices, with register,
// lane and mixed operands, and the quads for two lane operands. Included only through
// core/kernels/simd.h, inside the namespace of one instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kernels/simd/plan.h"
#include "core/kernels/simd/walk.h"

namespace vorn::core::kernels::VORN_SIMD_NAMESPACE {

// m * x for per-lane matrix parts (re, im), with xs = x with re and im swapped: re * x, then
// im * xs subtracted in the real and added in the imaginary element (Signed: im holds -im in
// the real element and a plain addition does the same).
template <typename Isa, bool Signed>
inline typename Isa::V product(typename Isa::V re, typename Isa::V im, typename Isa::V x,
                               typename Isa::V xs) {
  if constexpr (Signed) {
    return Isa::add(Isa::mul(re, x), Isa::mul(im, xs));
  } else {
    return Isa::addsub(Isa::mul(re, x), Isa::mul(im, xs));
  }
}

// The matrix parts of a plan's first G output registers over D columns, held in registers for
// the length of a group loop.
template <typename Isa, unsigned G, unsigned D>
struct MatrixRegisters {
  using V = typename Isa::V;
  V re[G][D];
  V im[G][D];

  explicit MatrixRegisters(const Plan<Isa>& plan) {
    for (unsigned g = 0; g < G; ++g) {
      for (unsigned c = 0; c < D; ++c) {
        re[g][c] = Isa::load(plan.re[g][c]);
        im[g][c] = Isa::load(plan.im[g][c]);
      }
    }
  }

  // Output register g: the products of its row with the columns' inputs x (xs: re and im
  // swapped), accumulated in column order.
  template <bool Signed>
  VORN_ALWAYS_INLINE V row(unsigned g, const V* x, const V* xs) const {
    V acc = product<Isa, Signed>(re[g][0], im[g][0], x[0], xs[0]);
    for (unsigned c = 1; c < D; ++c) {
      acc = Isa::add(acc, product<Isa, Signed>(re[g][c], im[g][c], x[c], xs[c]));
    }
    return acc;
  }
};

// Groups [begin, end) of a plan whose matrix operands are all register operands: the same
// matrix entry in every lane, no lane moves.
template <typename Isa, unsigned D, bool Masked, bool Signed>
void run_registers(const Plan<Isa>& plan, typename Isa::T* v, std::uint64_t begin,
                   std::uint64_t end) {
  using V = typename Isa::V;
  constexpr unsigned G = D;
  const MatrixRegisters<Isa, G, D> matrix(plan);
  std::ptrdiff_t offset[G];
  for (unsigned g = 0; g < G; ++g) {
    offset[g] = plan.offset[g];
  }
  const typename Isa::Mask mask = plan.mask;
  for_each_group<Isa, G>(plan, v, begin, end, [&](typename Isa::T* base) VORN_ALWAYS_INLINE {
    V x[D];
    V xs[D];
    for (unsigned c = 0; c < D; ++c) {
      x[c] = Isa::load(base + offset[c]);
      xs[c] = Isa::swap_re_im(x[c]);
    }
    for (unsigned g = 0; g < G; ++g) {
      V acc = matrix.template row<Signed>(g, x, xs);
      if constexpr (Masked) {
        acc = Isa::blend(x[g], acc, mask);
      }
      Isa::store(base + offset[g], acc);
    }
  });
}

// Groups of one register for a 2x2 matrix on a lane target. Each lane's amplitude is
// multiplied in place by its own entry and by its cross entry; the cross products move to the
// partner lane; each lane then adds its column-0 product and its column-1 product, in that
// order: the lower lane (own first) m00*a0 + m01*a1, the upper lane (cross first)
// m10*a0 + m11*a1. Each order is one addition under a lane mask, which leaves the other lanes
// as they were: as stored where a lane control is 0.
template <typename Isa, bool Masked, bool Signed>
void run_lane_target(const Plan<Isa>& plan, typename Isa::T* v, std::uint64_t begin,
                     std::uint64_t end) {
  using V = typename Isa::V;
  const V own_re = Isa::load(plan.own_re);
  const V own_im = Isa::load(plan.own_im);
  const V cross_re = Isa::load(plan.cross_re);
  const V cross_im = Isa::load(plan.cross_im);
  const typename Isa::Index partner = plan.partner;
  const typename Isa::Mask lower_active = plan.lower_active;
  const typename Isa::Mask upper_active = plan.upper_active;
  for_each_group<Isa, 1>(plan, v, begin, end, [&](typename Isa::T* base) VORN_ALWAYS_INLINE {
    const V x = Isa::load(base);
    const V xs = Isa::swap_re_im(x);
    const V own = product<Isa, Signed>(own_re, own_im, x, xs);
    const V cross = Isa::permute(product<Isa, Signed>(cross_re, cross_im, x, xs), partner);
    // Without lane controls the lower lanes are all lanes but the upper ones, and a plain
    // addition serves them.
    const V lower = Masked ? Isa::mask_add(x, lower_active, own, cross) : Isa::add(own, cross);
    Isa::store(base, Isa::mask_add(lower, upper_active, cross, own));
  });
}

// Groups [begin, end) of a 4x4 matrix with at least one lane operand: each column's input is
// gathered into place by a lane permutation of one of the group's G registers. With G = 2,
// operand J (0 or 1) is the register operand, so column c reads register bit J of c.
template <typename Isa, unsigned G, unsigned J, bool Signed>
void run_gathered(const Plan<Isa>& plan, typename Isa::T* v, std::uint64_t begin,
                  std::uint64_t end) {
  using V = typename Isa::V;
  constexpr unsigned D = 4;
  const MatrixRegisters<Isa, G, D> matrix(plan);
  typename Isa::Index permutation[D];
  for (unsigned c = 0; c < D; ++c) {
    permutation[c] = plan.permutation[c];
  }
  const std::ptrdiff_t offset1 = plan.offset[1];
  for_each_group<Isa, G>(plan, v, begin, end, [&](typename Isa::T* base) VORN_ALWAYS_INLINE {
    V in[G];
    in[0] = Isa::load(base);
    if constexpr (G == 2) {
      in[1] = Isa::load(base + offset1);
    }
    V x[D];
    V xs[D];
    for (unsigned c = 0; c < D; ++c) {
      x[c] = Isa::permute(in[G == 2 ? (c >> J) & 1 : 0], permutation[c]);
      xs[c] = Isa::swap_re_im(x[c]);
    }
    for (unsigned g = 0; g < G; ++g) {
      V acc = matrix.template row<Signed>(g, x, xs);
      Isa::store(base + (g == 0 ? 0 : offset1), acc);
    }
  });
}

// A 4x4 matrix with both operands in lanes, on quads of consecutive registers: two exchanges
// trade operand 0's lane bit for bit 0 of the register's place in the quad and operand 1's for
// bit 1, which leaves register c of the quad holding, in every lane, the amplitude of local index
// c of one group of four; the matrix then acts as on register operands (the same entry in every
// lane, one swap of re and im per register instead of a permutation and a swap per column), and
// the same exchanges in reverse order put the amplitudes back. The plan is the matrix's plan
// for operands LOG_W and LOG_W + 1.
template <typename Isa>
struct QuadPlan : Plan<Isa> {
  typename Isa::Exchange first;   // operand 0's lane bit
  typename Isa::Exchange second;  // operand 1's lane bit
};

template <typename Isa, bool Signed, unsigned B0, unsigned B1>
void run_quads(const QuadPlan<Isa>& quads, typename Isa::T* v, std::uint64_t begin,
               std::uint64_t end) {
  using V = typename Isa::V;
  constexpr unsigned D = 4;
  const MatrixRegisters<Isa, D, D> matrix(quads);
  const typename Isa::Exchange first = quads.first;
  const typename Isa::Exchange second = quads.second;
  constexpr std::ptrdiff_t STEP = 2 << Isa::LOG_W;  // floats per register
  for_each_group<Isa, D>(quads, v, begin, end, [&](typename Isa::T* base) VORN_ALWAYS_INLINE {
    V x[D];
    V xs[D];
    for (unsigned c = 0; c < D; ++c) {
      x[c] = Isa::load(base + c * STEP);
    }
    Isa::template exchange<B0>(x[0], x[1], first);
    Isa::template exchange<B0>(x[2], x[3], first);
    Isa::template exchange<B1>(x[0], x[2], second);
    Isa::template exchange<B1>(x[1], x[3], second);
    for (unsigned c = 0; c < D; ++c) {
      xs[c] = Isa::swap_re_im(x[c]);
    }
    V out[D];
    for (unsigned g = 0; g < D; ++g) {
      out[g] = matrix.template row<Signed>(g, x, xs);
    }
    Isa::template exchange<B1>(out[0], out[2], second);
    Isa::template exchange<B1>(out[1], out[3], second);
    Isa::template exchange<B0>(out[0], out[1], first);
    Isa::template exchange<B0>(out[2], out[3], first);
    for (unsigned g = 0; g < D; ++g) {
      Isa::store(base + g * STEP, out[g]);
    }
  });
}

}  // namespace vorn::core::kernels::VORN_SIMD_NAMESPACE
