// The fused kernels written once over a register type S (the scalar one, AVX2's, AVX-512's),
// included by each implementation's translation unit. S holds W = 2^LOG_W amplitudes,
// interleaved re/im: qubits below LOG_W lie inside a register (lane qubits), the others index
// registers. A dense gate's unit is a group of 2^KH registers that differ in the high targets;
// the NL lane targets are reached by permuting lanes, each lane with its own row of the matrix,
// so every lane sums over the columns in the same increasing order as the scalar code does.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/kernels/bits.h"
#include "core/kernels/fused.h"

namespace vorn::core::kernels::fused_detail {

using kernels::deposit_bits;
using kernels::extract_bits;

// Inserts a zero bit at position p of x (the bits from p up move one place higher).
inline std::uint64_t insert_zero(std::uint64_t x, unsigned p) {
  const std::uint64_t low = x & ((std::uint64_t{1} << p) - 1);
  return ((x >> p) << (p + 1)) | low;
}

// A register in a standard container (which would drop the vector type's attributes).
template <class S>
struct Register {
  typename S::V v;
};

template <class S>
struct DensePrepared : PreparedGate<typename S::T> {
  using T = typename S::T;
  using V = typename S::V;
  // Register-index positions where a unit's index gets zero bits (high targets and high
  // controls, increasing), and the high controls' bits set afterwards.
  std::vector<unsigned> inserts;
  std::uint64_t control_bits = 0;
  std::array<std::uint64_t, 32> offsets{};
  // Lane permutations: perms[b] brings to each lane the amplitude whose lane targets hold b.
  typename S::Index perms[8]{};
  typename S::Mask lane_mask{};
  bool masked = false;
  std::vector<Complex<T>> entries;
  // The order of the columns in each sum (FusedGate::order).
  std::array<unsigned, 32> order{};
  // With lane targets: per output register h and column c, the per-lane re and im of the row.
  std::vector<Register<S>> coefficients;
};

template <class S, unsigned KH, unsigned NL, bool ORDERED>
void dense_units(Complex<typename S::T>* v, const PreparedGate<typename S::T>& base,
                 std::uint64_t first, std::uint64_t last) {
  using T = typename S::T;
  using V = typename S::V;
  const auto& p = static_cast<const DensePrepared<S>&>(base);
  constexpr unsigned R = 1u << KH;
  constexpr unsigned NB = 1u << NL;
  constexpr unsigned C = R * NB;
  constexpr unsigned U = R < 4 ? R : 4;
  constexpr std::uint64_t STEP = 2u << S::LOG_W;  // elements of T per register
  T* const data = reinterpret_cast<T*>(v);
  const Complex<T>* const m = p.entries.data();
  for (std::uint64_t u = first; u < last; ++u) {
    std::uint64_t reg = u;
    for (const unsigned q : p.inserts) {
      reg = insert_zero(reg, q);
    }
    reg |= p.control_bits;
    V in[R];
    for (unsigned h = 0; h < R; ++h) {
      in[h] = S::load(data + (reg + p.offsets[h]) * STEP);
    }
    V xs[C];
    V ys[C];
    for (unsigned h = 0; h < R; ++h) {
      for (unsigned b = 0; b < NB; ++b) {
        V x = in[h];
        if constexpr (NL > 0) {
          x = S::permute(x, p.perms[b]);
        }
        xs[h * NB + b] = x;
        ys[h * NB + b] = S::negswap(x);
      }
    }
    for (unsigned h0 = 0; h0 < R; h0 += U) {
      V acc[U];
      for (unsigned j = 0; j < U; ++j) {
        acc[j] = S::zero();
      }
      for (unsigned column = 0; column < C; ++column) {
        const unsigned c = ORDERED ? p.order[column] : column;
        for (unsigned j = 0; j < U; ++j) {
          V mr;
          V mi;
          if constexpr (NL == 0) {
            mr = S::broadcast(m[(h0 + j) * C + c].re);
            mi = S::broadcast(m[(h0 + j) * C + c].im);
          } else {
            mr = p.coefficients[2 * ((h0 + j) * C + c)].v;
            mi = p.coefficients[2 * ((h0 + j) * C + c) + 1].v;
          }
          acc[j] = S::fma(mr, xs[c], acc[j]);
          acc[j] = S::fma(mi, ys[c], acc[j]);
        }
      }
      for (unsigned j = 0; j < U; ++j) {
        V out = acc[j];
        if (p.masked) {
          out = S::blend(in[h0 + j], out, p.lane_mask);
        }
        S::store(data + (reg + p.offsets[h0 + j]) * STEP, out);
      }
    }
  }
}

template <class S>
struct DiagonalPrepared : PreparedGate<typename S::T> {
  using V = typename S::V;
  // The diagonal's qubits as register-index bits, and how many consecutive registers share
  // their values (a run ends where the lowest of them changes).
  std::uint64_t high_mask = 0;
  std::uint64_t run = 0;
  // Per value of the high qubits: the per-lane re and im of the entries.
  std::vector<Register<S>> coefficients;
};

template <class S>
void diagonal_units(Complex<typename S::T>* v, const PreparedGate<typename S::T>& base,
                    std::uint64_t first, std::uint64_t last) {
  using T = typename S::T;
  using V = typename S::V;
  const auto& p = static_cast<const DiagonalPrepared<S>&>(base);
  constexpr std::uint64_t STEP = 2u << S::LOG_W;
  T* const data = reinterpret_cast<T*>(v);
  std::uint64_t reg = first;
  while (reg < last) {
    const std::uint64_t hi = extract_bits(reg, p.high_mask);
    const V mr = p.coefficients[2 * hi].v;
    const V mi = p.coefficients[2 * hi + 1].v;
    const std::uint64_t end = std::min(last, (reg | (p.run - 1)) + 1);
    for (; reg < end; ++reg) {
      T* const a = data + reg * STEP;
      const V x = S::load(a);
      S::store(a, S::fma(mi, S::negswap(x), S::mul(mr, x)));
    }
  }
}

template <class S, unsigned KH, unsigned NL, bool ORDERED>
constexpr auto dense_entry() {
  using Fn = void (*)(Complex<typename S::T>*, const PreparedGate<typename S::T>&, std::uint64_t,
                      std::uint64_t);
  if constexpr (KH + NL <= MAX_FUSED_TARGETS && NL <= S::LOG_W) {
    return static_cast<Fn>(&dense_units<S, KH, NL, ORDERED>);
  } else {
    return static_cast<Fn>(nullptr);
  }
}

template <class S, std::size_t... I>
constexpr auto dense_table(std::index_sequence<I...>) {
  using Fn = void (*)(Complex<typename S::T>*, const PreparedGate<typename S::T>&, std::uint64_t,
                      std::uint64_t);
  return std::array<Fn, sizeof...(I)>{dense_entry<S, I / 4 % 6, I % 4, (I >= 24)>()...};
}

// The lane of each target below LOG_W (lane targets) and the register bit of the others.
template <class S>
std::unique_ptr<PreparedGate<typename S::T>> prepare_dense(const FusedGate<typename S::T>& g,
                                                           unsigned n_qubits) {
  using T = typename S::T;
  constexpr unsigned LOG_W = S::LOG_W;
  auto p = std::make_unique<DensePrepared<S>>();
  unsigned kh = 0;
  unsigned nl = 0;
  std::uint64_t lane_targets = 0;
  std::uint64_t high_targets = 0;
  for (const unsigned q : g.targets) {
    if (q < LOG_W) {
      lane_targets |= std::uint64_t{1} << q;
      ++nl;
    } else {
      high_targets |= std::uint64_t{1} << (q - LOG_W);
      ++kh;
    }
  }
  std::uint64_t lane_controls = 0;
  std::uint64_t high_controls = 0;
  for (std::uint64_t c = g.controls; c != 0; c &= c - 1) {
    const unsigned q = static_cast<unsigned>(__builtin_ctzll(c));
    if (q < LOG_W) {
      lane_controls |= std::uint64_t{1} << q;
    } else {
      high_controls |= std::uint64_t{1} << (q - LOG_W);
    }
  }
  const std::uint64_t inserted = high_targets | high_controls;
  for (std::uint64_t b = inserted; b != 0; b &= b - 1) {
    p->inserts.push_back(static_cast<unsigned>(__builtin_ctzll(b)));
  }
  p->control_bits = high_controls;
  for (unsigned h = 0; h < (1u << kh); ++h) {
    p->offsets[h] = deposit_bits(h, high_targets);
  }
  const unsigned registers_log = n_qubits - LOG_W;
  p->units =
      std::uint64_t{1} << (registers_log - static_cast<unsigned>(__builtin_popcountll(inserted)));
  p->entries = g.entries;
  constexpr unsigned W = 1u << LOG_W;
  if (nl > 0) {
    for (unsigned b = 0; b < (1u << nl); ++b) {
      unsigned from[W > 1 ? W : 1];
      for (unsigned l = 0; l < W; ++l) {
        from[l] = static_cast<unsigned>((l & ~lane_targets) | deposit_bits(b, lane_targets));
      }
      p->perms[b] = S::make_permutation(from);
    }
    const unsigned nb = 1u << nl;
    const unsigned cols = (1u << kh) * nb;
    p->coefficients.resize(2 * std::size_t{1u << kh} * cols);
    for (unsigned h = 0; h < (1u << kh); ++h) {
      for (unsigned c = 0; c < cols; ++c) {
        T re[2 * W];
        T im[2 * W];
        for (unsigned l = 0; l < W; ++l) {
          const auto row = h * nb + static_cast<unsigned>(extract_bits(l, lane_targets));
          const Complex<T> e = g.entries[std::size_t{row} * cols + c];
          re[2 * l] = e.re;
          re[2 * l + 1] = e.re;
          im[2 * l] = e.im;
          im[2 * l + 1] = e.im;
        }
        p->coefficients[2 * (h * cols + c)] = {S::load(re)};
        p->coefficients[2 * (h * cols + c) + 1] = {S::load(im)};
      }
    }
  }
  if (lane_controls != 0) {
    bool active[W > 1 ? W : 1];
    for (unsigned l = 0; l < W; ++l) {
      active[l] = (l & lane_controls) == lane_controls;
    }
    p->lane_mask = S::make_mask(active);
    p->masked = true;
  }
  bool ordered = false;
  for (std::size_t c = 0; c < g.order.size(); ++c) {
    p->order[c] = g.order[c];
    ordered = ordered || g.order[c] != c;
  }
  static constexpr auto table = dense_table<S>(std::make_index_sequence<48>{});
  p->apply_units = table[(ordered ? 24 : 0) + kh * 4 + nl];
  return p;
}

template <class S>
std::unique_ptr<PreparedGate<typename S::T>> prepare_diagonal(const FusedGate<typename S::T>& g,
                                                              unsigned n_qubits) {
  using T = typename S::T;
  constexpr unsigned LOG_W = S::LOG_W;
  constexpr unsigned W = 1u << LOG_W;
  auto p = std::make_unique<DiagonalPrepared<S>>();
  std::uint64_t lane_qubits = 0;
  unsigned nl = 0;
  for (const unsigned q : g.targets) {
    if (q < LOG_W) {
      lane_qubits |= std::uint64_t{1} << q;
      ++nl;
    } else {
      p->high_mask |= std::uint64_t{1} << (q - LOG_W);
    }
  }
  // Without high qubits, one run over every register: its end is the last unit.
  p->run = p->high_mask == 0 ? std::uint64_t{1} << 63
                             : std::uint64_t{1} << __builtin_ctzll(p->high_mask);
  const unsigned kh = static_cast<unsigned>(g.targets.size()) - nl;
  p->coefficients.resize(2 * (std::size_t{1} << kh));
  for (std::uint64_t hi = 0; hi < (std::uint64_t{1} << kh); ++hi) {
    T re[2 * W];
    T im[2 * W];
    for (unsigned l = 0; l < W; ++l) {
      const Complex<T> e = g.entries[(hi << nl) | extract_bits(l, lane_qubits)];
      re[2 * l] = e.re;
      re[2 * l + 1] = e.re;
      im[2 * l] = e.im;
      im[2 * l + 1] = e.im;
    }
    p->coefficients[2 * hi] = {S::load(re)};
    p->coefficients[2 * hi + 1] = {S::load(im)};
  }
  p->units = std::uint64_t{1} << (n_qubits - LOG_W);
  p->apply_units = &diagonal_units<S>;
  return p;
}

// A state with fewer amplitudes than a register is left to the scalar kernels.
template <class S>
std::unique_ptr<PreparedGate<typename S::T>> prepare(const FusedGate<typename S::T>& g,
                                                     unsigned n_qubits) {
  if constexpr (S::LOG_W > 0) {
    if (n_qubits < S::LOG_W) {
      return fused_reference_kernels<typename S::T>().prepare(g, n_qubits);
    }
  }
  return g.diagonal ? prepare_diagonal<S>(g, n_qubits) : prepare_dense<S>(g, n_qubits);
}

}  // namespace vorn::core::kernels::fused_detail
