// The shaped runners: matrices with zero parts (simd/plan.h, Shape) through only the products of
// their parts that are not zero. Included only through core/kernels/simd.h, inside the
// namespace of one instruction set whose traits have a native addsub, `one`, `ordinary` and
// `zero_bits`.
//
// Why the bits are those of the full products. Each output element of the full formula is a sum,
// in column order, of terms (kept product) +- (dropped product), where a dropped product has a
// zero matrix part: it is a zero of either sign while the input is finite, else NaN. The shaped
// formula sums the kept products alone, in the same order (a product by an imaginary part as
// (-im) * swapped input, the same bits as the subtraction of im * input while it is not NaN). A
// zero term changes neither a sum nor a difference whose other operand is not zero, so where
// every input is finite, the two formulas differ only where every kept product of an output
// element is zero, and that output element is then zero. Every component of every input enters
// some kept product with a matrix part that is not zero, so an input that is infinite or NaN
// makes some output element of its group infinite or NaN. Hence: where every output element of
// a group is finite and not zero, the shaped outputs are the full ones, bit for bit. A group is
// checked by the product of its outputs (zero, infinite or NaN wherever a factor is; a product
// that underflows or overflows only sends a group the long way), and a group that fails runs
// the full products, or, when its inputs are all zero bits, takes the plan's zero response.
// Where lane controls are 0 the stored value stays, and the check sees 1.
//
// Some states send nearly every group the long way: a state of real amplitudes (after H on
// |0...0>), or of amplitudes each real or imaginary (after RX), has a zero part in every
// output. Both runners then back off (LongWay): where most groups of a chunk failed their
// check, the register runner runs the next chunks through the full products at once
// (run_registers); the lane runner takes the long way for a stretch of groups after a few
// failures in a row; then the short way is tried again. The long way is the full formula, so
// which way a group takes never changes its bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kernels/simd/matrix.h"
#include "core/kernels/simd/plan.h"
#include "core/kernels/simd/walk.h"

namespace vorn::core::kernels::VORN_SIMD_NAMESPACE {

// The full products of output register g from the plan's entries (the long way of a group,
// rare: the entries are loaded, not held in registers).
template <typename Isa, unsigned D>
VORN_ALWAYS_INLINE inline typename Isa::V full_row(const Plan<Isa>& plan, unsigned g,
                                                   const typename Isa::V* x,
                                                   const typename Isa::V* xs) {
  typename Isa::V acc =
      product<Isa, false>(Isa::load(plan.re[g][0]), Isa::load(plan.im[g][0]), x[0], xs[0]);
  for (unsigned c = 1; c < D; ++c) {
    acc = Isa::add(
        acc, product<Isa, false>(Isa::load(plan.re[g][c]), Isa::load(plan.im[g][c]), x[c], xs[c]));
  }
  return acc;
}

// The entries a shape's products need, held in registers for a group loop over register
// operands: D x D real parts for Real, the diagonal for RealDiagonal (real parts) and Diagonal
// (both parts), the real diagonal and the swapped imaginary parts off it for Imaginary.
template <typename Isa, unsigned D, Shape S>
struct ShapedEntries {
  using V = typename Isa::V;
  V re[D][D];
  V im[D][D];

  explicit ShapedEntries(const Plan<Isa>& plan) {
    for (unsigned g = 0; g < D; ++g) {
      for (unsigned c = 0; c < D; ++c) {
        const bool used = S == Shape::Real || g == c || S == Shape::Imaginary;
        if (!used) {
          continue;
        }
        re[g][c] = Isa::load(plan.re[g][c]);
        if (S == Shape::Diagonal) {
          im[g][c] = Isa::load(plan.im[g][c]);
        } else if (S == Shape::Imaginary && g != c) {
          im[g][c] = Isa::load(plan.swapped_im[g][c]);
        }
      }
    }
  }

  // Output register g from the inputs x (xs: re and im swapped, for Diagonal and Imaginary).
  VORN_ALWAYS_INLINE V row(unsigned g, const V* x, const V* xs) const {
    if constexpr (S == Shape::RealDiagonal) {
      return Isa::mul(re[g][g], x[g]);
    } else if constexpr (S == Shape::Diagonal) {
      return Isa::addsub(Isa::mul(re[g][g], x[g]), Isa::mul(im[g][g], xs[g]));
    } else {
      V acc = term(g, 0, x, xs);
      for (unsigned c = 1; c < D; ++c) {
        acc = Isa::add(acc, term(g, c, x, xs));
      }
      return acc;
    }
  }

 private:
  VORN_ALWAYS_INLINE V term(unsigned g, unsigned c, const V* x, const V* xs) const {
    if (S == Shape::Imaginary && g != c) {
      return Isa::mul(im[g][c], xs[c]);
    }
    return Isa::mul(re[g][c], x[c]);
  }
};

// Which way a runner's units (groups, or chunks of them) take: after MISSES units in a row
// failed, the next ones take the full products without trying the shaped ones, FIRST of them at
// first and twice as many each time the unit tried after them fails too (up to LAST).
template <unsigned MISSES, unsigned FIRST, unsigned LAST>
class LongWay {
 public:
  // Whether this unit goes the long way without trying the short one.
  VORN_ALWAYS_INLINE bool now() {
    if (left_ == 0) {
      return false;
    }
    --left_;
    return true;
  }
  VORN_ALWAYS_INLINE void passed() {
    misses_ = 0;
    stretch_ = FIRST;
  }
  VORN_ALWAYS_INLINE void failed() {
    if (++misses_ < MISSES) {
      return;
    }
    left_ = stretch_;
    stretch_ = stretch_ < LAST / 2 ? 2 * stretch_ : LAST;
    // Right after a stretch one failure is enough to start a longer one.
    misses_ = MISSES - 1;
  }

 private:
  unsigned misses_ = 0;
  unsigned left_ = 0;
  unsigned stretch_ = FIRST;
};

// Whether every input of a group holds zero bits.
template <typename Isa, unsigned D>
VORN_ALWAYS_INLINE inline bool all_zero_bits(const typename Isa::V* x) {
  typename Isa::V any = x[0];
  for (unsigned c = 1; c < D; ++c) {
    any = Isa::bit_or(any, x[c]);
  }
  return Isa::zero_bits(any);
}

// Groups [begin, end) of a shaped matrix on register operands (D = 2, or 4 for the diagonal
// shapes); returns how many of them took the long way.
template <typename Isa, unsigned D, bool Masked, Shape S>
std::uint64_t shaped_register_groups(const Plan<Isa>& plan, typename Isa::T* v, std::uint64_t begin,
                                     std::uint64_t end) {
  using V = typename Isa::V;
  constexpr unsigned G = D;
  constexpr bool SWAPS = S == Shape::Diagonal || S == Shape::Imaginary;
  const ShapedEntries<Isa, D, S> entries(plan);
  std::ptrdiff_t offset[G];
  for (unsigned g = 0; g < G; ++g) {
    offset[g] = plan.offset[g];
  }
  const typename Isa::Mask mask = plan.mask;
  const V one = Isa::one();
  std::uint64_t long_ones = 0;
  for_each_group<Isa, G>(plan, v, begin, end, [&](typename Isa::T* base) VORN_ALWAYS_INLINE {
    V x[D];
    V xs[D];
    for (unsigned c = 0; c < D; ++c) {
      x[c] = Isa::load(base + offset[c]);
      if constexpr (SWAPS) {
        xs[c] = Isa::swap_re_im(x[c]);
      }
    }
    V out[G];
    V check;
    for (unsigned g = 0; g < G; ++g) {
      out[g] = entries.row(g, x, xs);
      const V checked = Masked ? Isa::blend(one, out[g], mask) : out[g];
      check = g == 0 ? checked : Isa::mul(check, checked);
    }
    if (!Isa::ordinary(check)) [[unlikely]] {
      ++long_ones;
      if (all_zero_bits<Isa, D>(x)) {
        for (unsigned g = 0; g < G; ++g) {
          out[g] = Isa::load(plan.zero_response[g]);
        }
      } else {
        if constexpr (!SWAPS) {
          for (unsigned c = 0; c < D; ++c) {
            xs[c] = Isa::swap_re_im(x[c]);
          }
        }
        for (unsigned g = 0; g < G; ++g) {
          out[g] = full_row<Isa, D>(plan, g, x, xs);
        }
      }
    }
    for (unsigned g = 0; g < G; ++g) {
      Isa::store(base + offset[g], Masked ? Isa::blend(x[g], out[g], mask) : out[g]);
    }
  });
  return long_ones;
}

// Groups [begin, end) of a shaped matrix on register operands, in chunks: where most groups of
// a chunk took the long way, the next chunks run the full products with the matrix held in
// registers (run_registers), then the shaped products are tried again: 7 chunks at first, and
// twice as many (up to 127) each time the chunk tried after them fares no better (LongWay).
template <typename Isa, unsigned D, bool Masked, Shape S>
void run_shaped_registers(const Plan<Isa>& plan, typename Isa::T* v, std::uint64_t begin,
                          std::uint64_t end) {
  constexpr std::uint64_t CHUNK = 256;
  LongWay<1, 7, 127> long_way;
  for (std::uint64_t at = begin; at < end;) {
    const std::uint64_t stop = end - at > CHUNK ? at + CHUNK : end;
    if (long_way.now()) {
      run_registers<Isa, D, Masked, false>(plan, v, at, stop);
    } else if (2 * shaped_register_groups<Isa, D, Masked, S>(plan, v, at, stop) > stop - at) {
      long_way.failed();
    } else {
      long_way.passed();
    }
    at = stop;
  }
}

// Groups of two neighbouring registers (pair_lane_target_groups) for a shaped 2x2 matrix on a
// lane target: in each register the own products, and for Real and Imaginary the cross products
// moved to the partner lane and added (in either order: the sum of two finite values does not
// depend on it). Two registers share one check, so that its cost is spread over more products.
template <typename Isa, bool Masked, Shape S>
void run_shaped_lane_target(const Plan<Isa>& plan, typename Isa::T* v, std::uint64_t begin,
                            std::uint64_t end) {
  using V = typename Isa::V;
  constexpr bool SWAPS = S == Shape::Diagonal || S == Shape::Imaginary;
  const V own_re = Isa::load(plan.own_re);
  const V own_im = Isa::load(plan.own_im);
  const V cross_re = Isa::load(plan.cross_re);
  const V cross_swapped_im = Isa::load(plan.cross_swapped_im);
  const typename Isa::Index partner = plan.partner;
  const typename Isa::Mask mask = plan.mask;
  const V one = Isa::one();
  const std::ptrdiff_t offset1 = plan.offset[1];
  const auto shaped = [&](V x) VORN_ALWAYS_INLINE {
    const V xs = SWAPS ? Isa::swap_re_im(x) : x;
    if constexpr (S == Shape::RealDiagonal) {
      return Isa::mul(own_re, x);
    } else if constexpr (S == Shape::Diagonal) {
      return Isa::addsub(Isa::mul(own_re, x), Isa::mul(own_im, xs));
    } else if constexpr (S == Shape::Real) {
      return Isa::add(Isa::mul(own_re, x), Isa::permute(Isa::mul(cross_re, x), partner));
    } else {
      return Isa::add(Isa::mul(own_re, x), Isa::permute(Isa::mul(cross_swapped_im, xs), partner));
    }
  };
  // As run_lane_target.
  const V cross_im = Isa::load(plan.cross_im);
  const typename Isa::Mask lower_active = plan.lower_active;
  const typename Isa::Mask upper_active = plan.upper_active;
  const auto full = [&](V x) VORN_ALWAYS_INLINE {
    if (Isa::zero_bits(x)) {
      return Isa::load(plan.zero_response[0]);
    }
    const V xs = Isa::swap_re_im(x);
    const V own = product<Isa, false>(own_re, own_im, x, xs);
    const V cross = Isa::permute(product<Isa, false>(cross_re, cross_im, x, xs), partner);
    // Without lane controls the lower lanes are all lanes but the upper ones.
    const V lower = Masked ? Isa::mask_add(x, lower_active, own, cross) : Isa::add(own, cross);
    return Isa::mask_add(lower, upper_active, cross, own);
  };
  // Four failures in a row, then 64 groups the long way, doubling up to 4096.
  LongWay<4, 64, 4096> long_way;
  for_each_group<Isa, 2>(plan, v, begin, end, [&](typename Isa::T* base) VORN_ALWAYS_INLINE {
    const V x0 = Isa::load(base);
    const V x1 = Isa::load(base + offset1);
    V out0;
    V out1;
    bool long_one = long_way.now();
    if (!long_one) {
      out0 = shaped(x0);
      out1 = shaped(x1);
      const V check = Masked ? Isa::mul(Isa::blend(one, out0, mask), Isa::blend(one, out1, mask))
                             : Isa::mul(out0, out1);
      long_one = !Isa::ordinary(check);
      if (long_one) [[unlikely]] {
        long_way.failed();
      } else {
        long_way.passed();
      }
    }
    if (long_one) [[unlikely]] {
      out0 = full(x0);
      out1 = full(x1);
    }
    Isa::store(base, Masked ? Isa::blend(x0, out0, mask) : out0);
    Isa::store(base + offset1, Masked ? Isa::blend(x1, out1, mask) : out1);
  });
}

// Makes the groups of a lane-target plan pairs of neighbouring registers, as the shaped lane
// runner wants them; false (the plan unchanged) where the state holds a single register or a
// register control sits on the lowest register bit.
template <typename Isa>
bool pair_lane_target_groups(Plan<Isa>& plan) {
  if (plan.group_count < 2 || (plan.groups.forced & 1) != 0) {
    return false;
  }
  plan.groups.add_position(0);
  plan.group_count /= 2;
  plan.offset[1] = Plan<Isa>::ELEMENTS;
  return true;
}

}  // namespace vorn::core::kernels::VORN_SIMD_NAMESPACE
