// The plan of a vectorised matrix kernel: its groups, register offsets, lane permutations and
// the matrix entries laid out per lane. Included only through
// core/kernels/simd.h, inside the namespace of one instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/complex.h"
#include "core/kernels/simd/enumeration.h"

namespace vorn::core::kernels::VORN_SIMD_NAMESPACE {

// Matrices whose entries have zero parts, for which the shaped runners (simd/shaped.h) form
// only the products of the parts that are not zero: Real (every imaginary part zero), Diagonal
// (every entry off the diagonal zero; RealDiagonal when real too) and Imaginary (2x2: a real
// diagonal and imaginary entries off it, as RX and Y). Matrices with an entry that is not
// finite are General.
enum class Shape { General, Real, Diagonal, RealDiagonal, Imaginary };

template <typename T>
Shape shape_of(const Complex<T>* matrix, unsigned dim) {
  bool real = true;
  bool diagonal = true;
  bool imaginary = dim == 2;
  for (unsigned r = 0; r < dim; ++r) {
    for (unsigned c = 0; c < dim; ++c) {
      const Complex<T> e = matrix[r * dim + c];
      // A NaN compares unequal to itself, infinity minus itself is NaN.
      if (!(e.re - e.re == 0) || !(e.im - e.im == 0)) {
        return Shape::General;
      }
      real = real && e.im == 0;
      if (r == c) {
        imaginary = imaginary && e.im == 0;
      } else {
        diagonal = diagonal && e.re == 0 && e.im == 0;
        imaginary = imaginary && e.re == 0;
      }
    }
  }
  if (diagonal) {
    return real ? Shape::RealDiagonal : Shape::Diagonal;
  }
  if (real) {
    return Shape::Real;
  }
  return imaginary ? Shape::Imaginary : Shape::General;
}

template <typename Isa>
struct Plan {
  using T = typename Isa::T;
  static constexpr unsigned W = 1u << Isa::LOG_W;
  static constexpr unsigned ELEMENTS = 2 * W;  // floats per register

  Enumeration groups;
  std::uint64_t group_count = 0;
  bool prefetch = true;                     // ahead of the work, in software (walk.h)
  std::ptrdiff_t offset[4] = {0, 0, 0, 0};  // of each register of a group, in floats
  typename Isa::Index permutation[4];       // lanes that feed column c
  typename Isa::Mask mask;                  // lanes whose lane controls are all 1
  // Matrix entry M[row(g, lane)][c] per lane, split into its real and imaginary part and
  // repeated over the lane's two floats.
  alignas(64) T re[4][4][ELEMENTS];
  alignas(64) T im[4][4][ELEMENTS];

  // A 2x2 matrix on a lane target: per lane, the entry that multiplies the lane's own
  // amplitude into itself (m00 or m11) and into its partner lane (m10 or m01).
  typename Isa::Index partner;      // lane l <- lane l ^ 2^target
  typename Isa::Mask lower_active;  // lanes with the target bit clear and every lane control 1
  typename Isa::Mask upper_active;  // lanes with the target bit set and every lane control 1
  alignas(64) T own_re[ELEMENTS];
  alignas(64) T own_im[ELEMENTS];
  alignas(64) T cross_re[ELEMENTS];
  alignas(64) T cross_im[ELEMENTS];

  // The matrix's shape, and for the shaped runners: the imaginary parts as (-im, +im), which
  // multiply the swapped amplitude into a product with a zero real part; and what the full
  // products give where every input of a group holds zero bits, per output register and lane.
  Shape shape = Shape::General;
  alignas(64) T swapped_im[4][4][ELEMENTS];
  alignas(64) T cross_swapped_im[ELEMENTS];
  alignas(64) T zero_response[4][ELEMENTS];

  // Without a single-instruction addsub, a product's "re - ..., im + ..." costs two
  // instructions. With the imaginary parts stored as (-im, +im), a plain addition gives the same
  // bits: (-m.im) * a.im is exactly -(m.im * a.im), and x + (-y) is exactly x - y. Only a NaN
  // imaginary part would differ (in the sign of the NaN), so such matrices keep the addsub.
  bool signed_imaginary = false;
};

// Builds the plan of a matrix on `dim_log` operands (the first is the low bit of the local
// index) with the given controls, for a vector of `len` amplitudes (len >= W).
template <typename Isa>
void build_plan(Plan<Isa>& plan, const Complex<typename Isa::T>* matrix, const unsigned* operands,
                unsigned dim_log, const unsigned* controls, unsigned control_count,
                std::uint64_t len) {
  constexpr unsigned LOG_W = Isa::LOG_W;
  constexpr unsigned W = Plan<Isa>::W;
  const unsigned dim = 1u << dim_log;

  // Register operands in operand order; bit i of a group's register index is the i-th of them.
  unsigned register_ops[2] = {0, 0};
  unsigned register_index[2] = {0, 0};  // of operand j among the register operands
  unsigned register_count = 0;
  unsigned lane_bits = 0;  // lane positions of the matrix operands
  for (unsigned j = 0; j < dim_log; ++j) {
    if (operands[j] >= LOG_W) {
      register_index[j] = register_count;
      register_ops[register_count++] = j;
      plan.groups.add_position(operands[j] - LOG_W);
    } else {
      lane_bits |= 1u << operands[j];
    }
  }
  unsigned control_lanes = 0;
  for (unsigned i = 0; i < control_count; ++i) {
    if (controls[i] >= LOG_W) {
      plan.groups.add_position(controls[i] - LOG_W);
      plan.groups.set |= std::uint64_t{1} << (controls[i] - LOG_W);
    } else {
      control_lanes |= 1u << controls[i];
    }
  }
  plan.group_count = (len / W) >> plan.groups.count;

  const unsigned group_size = 1u << register_count;
  for (unsigned g = 0; g < group_size; ++g) {
    std::ptrdiff_t offset = 0;
    for (unsigned i = 0; i < register_count; ++i) {
      if ((g >> i) & 1) {
        offset += std::ptrdiff_t{2} << operands[register_ops[i]];
      }
    }
    plan.offset[g] = offset;
  }

  bool active[W];
  for (unsigned lane = 0; lane < W; ++lane) {
    active[lane] = (lane & control_lanes) == control_lanes;
  }
  plan.mask = Isa::make_mask(active);

  for (unsigned c = 0; c < dim; ++c) {
    unsigned lane_value = 0;  // the column's bits at the lane operands' positions
    for (unsigned j = 0; j < dim_log; ++j) {
      if (operands[j] < LOG_W) {
        lane_value |= ((c >> j) & 1u) << operands[j];
      }
    }
    unsigned from[W];
    for (unsigned lane = 0; lane < W; ++lane) {
      from[lane] = (lane & ~lane_bits) | lane_value;
    }
    plan.permutation[c] = Isa::make_permutation(from);
  }

  bool nan_imaginary = false;
  for (unsigned e = 0; e < dim * dim; ++e) {
    nan_imaginary = nan_imaginary || matrix[e].im != matrix[e].im;
  }
  plan.signed_imaginary = !Isa::NATIVE_ADDSUB && !nan_imaginary;
  const typename Isa::T re_sign = plan.signed_imaginary ? -1 : 1;
  plan.shape = shape_of(matrix, dim);

  for (unsigned g = 0; g < group_size; ++g) {
    for (unsigned lane = 0; lane < W; ++lane) {
      unsigned row = 0;
      for (unsigned j = 0; j < dim_log; ++j) {
        const unsigned b =
            operands[j] >= LOG_W ? (g >> register_index[j]) & 1u : (lane >> operands[j]) & 1u;
        row |= b << j;
      }
      // The full products on zero inputs, in column order, as the runners form them.
      const typename Isa::T zero = 0;
      typename Isa::T zero_re = 0;
      typename Isa::T zero_im = 0;
      for (unsigned c = 0; c < dim; ++c) {
        const Complex<typename Isa::T> entry = matrix[row * dim + c];
        plan.re[g][c][2 * lane] = plan.re[g][c][2 * lane + 1] = entry.re;
        plan.im[g][c][2 * lane] = re_sign * entry.im;
        plan.im[g][c][2 * lane + 1] = entry.im;
        plan.swapped_im[g][c][2 * lane] = -entry.im;
        plan.swapped_im[g][c][2 * lane + 1] = entry.im;
        const typename Isa::T re = entry.re * zero - entry.im * zero;
        const typename Isa::T im = entry.re * zero + entry.im * zero;
        zero_re = c == 0 ? re : zero_re + re;
        zero_im = c == 0 ? im : zero_im + im;
      }
      // Lanes whose lane controls are not all 1 keep their zero bits.
      plan.zero_response[g][2 * lane] = active[lane] ? zero_re : zero;
      plan.zero_response[g][2 * lane + 1] = active[lane] ? zero_im : zero;
    }
  }

  if (dim_log == 1 && operands[0] < LOG_W) {
    const unsigned t = operands[0];
    unsigned from[W];
    bool lower_active[W];
    bool upper_active[W];
    for (unsigned lane = 0; lane < W; ++lane) {
      const unsigned b = (lane >> t) & 1u;
      from[lane] = lane ^ (1u << t);
      lower_active[lane] = active[lane] && b == 0;
      upper_active[lane] = active[lane] && b != 0;
      // Own: m[b][b]. Cross: the lane's amplitude as column b of its partner's row 1 - b.
      const Complex<typename Isa::T> own = matrix[3 * b];
      const Complex<typename Isa::T> cross = matrix[2 * (1 - b) + b];
      plan.own_re[2 * lane] = plan.own_re[2 * lane + 1] = own.re;
      plan.own_im[2 * lane] = re_sign * own.im;
      plan.own_im[2 * lane + 1] = own.im;
      plan.cross_re[2 * lane] = plan.cross_re[2 * lane + 1] = cross.re;
      plan.cross_im[2 * lane] = re_sign * cross.im;
      plan.cross_im[2 * lane + 1] = cross.im;
      plan.cross_swapped_im[2 * lane] = -cross.im;
      plan.cross_swapped_im[2 * lane + 1] = cross.im;
    }
    plan.partner = Isa::make_permutation(from);
    plan.lower_active = Isa::make_mask(lower_active);
    plan.upper_active = Isa::make_mask(upper_active);
  }
}

}  // namespace vorn::core::kernels::VORN_SIMD_NAMESPACE
