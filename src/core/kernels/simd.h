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
// Traits (struct Isa) provide: T, V, Index, Mask, LOG_W, NATIVE_ADDSUB, REGISTERS; load, store,
// mul, add, addsub (even elements a - b, odd elements a + b), swap_re_im, make_permutation(source
// lane per lane), permute, make_mask(lane flags), blend(old, new, mask), mask_add(old, mask, a, b)
// (a + b in the lanes of the mask, old elsewhere); with 32 registers also Exchange,
// make_exchange(lane bit p) and exchange<p>(a, b, x): a and b become the amplitudes of both
// registers with lane bit p clear and set, a[l] = bit p of l clear ? a[l] : b[l ^ 2^p] and
// b[l] = bit p of l clear ? a[l | 2^p] : b[l], which trades lane bit p for the register bit that
// tells a from b (applied twice, nothing moves).
#pragma once

#ifndef VORN_SIMD_NAMESPACE
#error "define VORN_SIMD_NAMESPACE before including core/kernels/simd.h"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/complex.h"
#include "core/gates.h"
#include "core/kernels.h"
#include "core/kernels/table.h"
#include "core/parallel.h"

#ifndef VORN_ALWAYS_INLINE
#define VORN_ALWAYS_INLINE __attribute__((always_inline))
#endif

namespace vorn::core::kernels::VORN_SIMD_NAMESPACE {

// Zero-bit insertion at up to three sorted positions of the group number (in register units).
struct Enumeration {
  std::uint64_t masks[4] = {~std::uint64_t{0}, 0, 0, 0};
  std::uint64_t set = 0;     // register controls: forced to 1
  std::uint64_t forced = 0;  // every position: forced to 0, or to 1 if in set
  unsigned count = 0;

  void add_position(unsigned p) {
    forced |= std::uint64_t{1} << p;
    // Insertion sort: at most three positions.
    unsigned positions[3];
    unsigned n = 0;
    for (unsigned i = 0; i < count; ++i) {
      positions[n++] = position_[i];
    }
    unsigned i = n;
    while (i > 0 && positions[i - 1] > p) {
      positions[i] = positions[i - 1];
      --i;
    }
    positions[i] = p;
    count = n + 1;
    for (unsigned j = 0; j < count; ++j) {
      position_[j] = positions[j];
    }
    // masks[j]: the bits of k that move up by j.
    const std::uint64_t ones = ~std::uint64_t{0};
    std::uint64_t below = 0;
    for (unsigned j = 0; j < count; ++j) {
      const std::uint64_t upto = ~(ones << (position_[j] - j));
      masks[j] = upto & ~below;
      below = upto;
    }
    masks[count] = ~below;
    for (unsigned j = count + 1; j < 4; ++j) {
      masks[j] = 0;
    }
  }

  std::uint64_t operator()(std::uint64_t k) const {
    return ((k & masks[0]) | ((k & masks[1]) << 1) | ((k & masks[2]) << 2) |
            ((k & masks[3]) << 3)) |
           set;
  }

  // The index of group k + 1, given the index r of group k: counting with the forced bits
  // held at 1 carries straight over them.
  std::uint64_t next(std::uint64_t r) const { return (((r | forced) + 1) & ~forced) | set; }

 private:
  unsigned position_[3] = {0, 0, 0};
};

template <typename Isa>
struct Plan {
  using T = typename Isa::T;
  static constexpr unsigned W = 1u << Isa::LOG_W;
  static constexpr unsigned ELEMENTS = 2 * W;  // floats per register

  Enumeration groups;
  std::uint64_t group_count = 0;
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

  for (unsigned g = 0; g < group_size; ++g) {
    for (unsigned lane = 0; lane < W; ++lane) {
      unsigned row = 0;
      for (unsigned j = 0; j < dim_log; ++j) {
        const unsigned b =
            operands[j] >= LOG_W ? (g >> register_index[j]) & 1u : (lane >> operands[j]) & 1u;
        row |= b << j;
      }
      for (unsigned c = 0; c < dim; ++c) {
        const Complex<typename Isa::T> entry = matrix[row * dim + c];
        plan.re[g][c][2 * lane] = plan.re[g][c][2 * lane + 1] = entry.re;
        plan.im[g][c][2 * lane] = re_sign * entry.im;
        plan.im[g][c][2 * lane + 1] = entry.im;
      }
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
    }
    plan.partner = Isa::make_permutation(from);
    plan.lower_active = Isa::make_mask(lower_active);
    plan.upper_active = Isa::make_mask(upper_active);
  }
}

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

// How much memory the group loops ask for ahead of their work, over all streams of a group:
// the hardware prefetchers alone do not keep read-and-write streams fed.
inline constexpr std::uint64_t PREFETCH_BYTES = 8192;

// Calls body(first float of the group's first register) once for each group of [begin, end),
// with the groups split into STREAMS consecutive parts walked side by side, while prefetching
// the registers of the groups PREFETCH_BYTES ahead. (The order of independent groups does not
// change any result.) The enumeration is a local copy, so that it stays in registers beside the
// body's stores; with CONSECUTIVE (no register operands) group k is simply register k. The
// walk and the bodies are always inlined (VORN_ALWAYS_INLINE): a call per group would cost more
// than the group's arithmetic, and would keep the body's matrix in memory instead of registers.
template <typename Isa, unsigned G, unsigned STREAMS, bool CONSECUTIVE, typename Body>
VORN_ALWAYS_INLINE inline void walk_groups(const Enumeration& enumeration,
                                           const std::ptrdiff_t* offset, typename Isa::T* v,
                                           std::uint64_t begin, std::uint64_t end,
                                           const Body& body) {
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
  if (count <= AHEAD) {
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
    walk_groups<Isa, G, 2, true>(plan.groups, offset, v, begin, end, body);
  } else if (near) {
    walk_groups<Isa, G, 2, false>(plan.groups, offset, v, begin, end, body);
  } else {
    walk_groups<Isa, G, 1, false>(plan.groups, offset, v, begin, end, body);
  }
}

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

inline constexpr std::uint64_t WORK_ITEM_BYTES = 16384;

using RunFunction = void (*)(const void* plan, void* v, std::uint64_t begin, std::uint64_t end);

template <typename Isa, auto Run, typename P = Plan<Isa>>
void run_erased(const void* plan, void* v, std::uint64_t begin, std::uint64_t end) {
  Run(*static_cast<const P*>(plan), static_cast<typename Isa::T*>(v), begin, end);
}

// Runs the plan over all its groups: on the calling thread below PARALLEL_THRESHOLD
// amplitudes, else as one parallel loop over the groups.
template <typename Isa, typename P>
void execute(const P& plan, unsigned group_size, typename Isa::T* v, std::uint64_t len,
             RunFunction run) {
  if (len < PARALLEL_THRESHOLD) {
    run(&plan, v, 0, plan.group_count);
    return;
  }
  // Work items of at least WORK_ITEM_BYTES, so the pool's bookkeeping stays small beside them.
  const std::uint64_t group_bytes = std::uint64_t{sizeof(typename Isa::V)} * group_size;
  const std::uint64_t grain = group_bytes >= WORK_ITEM_BYTES ? 1 : WORK_ITEM_BYTES / group_bytes;
  parallel_for(0, plan.group_count, grain,
               [&](std::uint64_t begin, std::uint64_t end) { run(&plan, v, begin, end); });
}

// The controlled exchange: no arithmetic, only moves. The amplitudes with (target1, target2) =
// (0, 1) and (1, 0) and the control set trade places; a register holding both kinds of lanes is
// rebuilt by a lane permutation and a blend that keeps every other lane as stored.
template <typename Isa>
struct ExchangePlan {
  Enumeration groups;
  std::uint64_t group_count = 0;
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

template <typename Isa>
struct Kernels {
  using T = typename Isa::T;
  static constexpr unsigned LOG_W = Isa::LOG_W;
  static constexpr std::uint64_t W = std::uint64_t{1} << LOG_W;

  // Matrix on one target with up to two controls.
  static void matrix2(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned target,
                      const unsigned* controls, unsigned control_count) {
    Plan<Isa> plan;
    build_plan(plan, &m[0], &target, 1, controls, control_count, len);
    bool masked = false;
    for (unsigned i = 0; i < control_count; ++i) {
      masked = masked || controls[i] < LOG_W;
    }
    RunFunction run;
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
    execute<Isa>(plan, target >= LOG_W ? 2 : 1, reinterpret_cast<T*>(v), len, run);
  }

  static void single(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned target) {
    if (len < W) {
      reference_table<T>().single(v, len, m, target);
      return;
    }
    matrix2(v, len, m, target, nullptr, 0);
  }

  static void controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m, unsigned control,
                         unsigned target) {
    if (len < W) {
      reference_table<T>().controlled(v, len, m, control, target);
      return;
    }
    matrix2(v, len, m, target, &control, 1);
  }

  static void doubly_controlled(Complex<T>* v, std::uint64_t len, const Matrix2<T>& m,
                                unsigned control1, unsigned control2, unsigned target) {
    if (len < W) {
      reference_table<T>().doubly_controlled(v, len, m, control1, control2, target);
      return;
    }
    const unsigned controls[2] = {control1, control2};
    matrix2(v, len, m, target, controls, 2);
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
        execute<Isa>(quads, 4, reinterpret_cast<T*>(v), len, run);
        return;
      }
    }
    Plan<Isa> plan;
    const unsigned operands[2] = {q0, q1};
    build_plan(plan, &m[0], operands, 2, nullptr, 0, len);
    const unsigned register_ops = (q0 >= LOG_W ? 1u : 0u) + (q1 >= LOG_W ? 1u : 0u);
    RunFunction run = nullptr;
    const unsigned group_size = 1u << register_ops;
    run = plan.signed_imaginary ? four_by_four_run<true>(register_ops, q0 >= LOG_W)
                                : four_by_four_run<false>(register_ops, q0 >= LOG_W);
    execute<Isa>(plan, group_size, reinterpret_cast<T*>(v), len, run);
  }

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
    execute<Isa>(plan, kind == 0 ? 1 : 2, reinterpret_cast<T*>(v), len, run);
  }
};

template <typename Isa>
constexpr KernelTable<typename Isa::T> make_table(const char* name) {
  return {name,
          Kernels<Isa>::single,
          Kernels<Isa>::controlled,
          Kernels<Isa>::two_qubit,
          Kernels<Isa>::doubly_controlled,
          Kernels<Isa>::controlled_swap};
}

}  // namespace vorn::core::kernels::VORN_SIMD_NAMESPACE
