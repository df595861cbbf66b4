// The block arithmetic of expectation_kernels.h, written once. Included only by the translation
// unit of one implementation, after it defines VORN_BLOCK_NAMESPACE: everything here lives in that
// namespace and instantiates nothing from a library, so the linker can never pick code compiled
// for one instruction set to serve another (as in core/kernels/simd.h).
#pragma once

#ifndef VORN_BLOCK_NAMESPACE
#error "define VORN_BLOCK_NAMESPACE before including simulator/expectation_block.h"
#endif

#include <cstdint>

#include "core/complex.h"
#include "core/reduce.h"
#include "simulator/expectation_kernels.h"

namespace vorn::sim::VORN_BLOCK_NAMESPACE {

// This implementation's own copy of core::reduce_levels.
struct Tag {};

// The leaves of a run: re and im of conj(a[r]) * b[r] in double, into the rows that are not
// null. a and b are contiguous, so that the compiler vectorises the loop.
template <typename T, bool kRe, bool kIm>
void run_leaves(const core::Complex<T>* a, const core::Complex<T>* b, std::uint64_t count,
                double* re, double* im) {
  for (std::uint64_t r = 0; r < count; ++r) {
    const double ar = static_cast<double>(a[r].re);
    const double ai = static_cast<double>(a[r].im);
    const double br = static_cast<double>(b[r].re);
    const double bi = static_cast<double>(b[r].im);
    if constexpr (kRe) {
      re[r] = ar * br + ai * bi;
    }
    if constexpr (kIm) {
      im[r] = ar * bi - ai * br;
    }
  }
}

// Runs shorter than this are first gathered into order: a copy, then one contiguous run.
inline constexpr std::uint64_t GATHER_BELOW = 16;

// own[t] against partner[t ^ flip]: over aligned runs of 2^(trailing zeros of flip) indices,
// t ^ flip runs forward through contiguous amplitudes. gathered: room for count amplitudes.
template <typename T, bool kRe, bool kIm>
void block_leaves(const core::Complex<T>* own, const core::Complex<T>* partner, std::uint64_t flip,
                  std::uint64_t count, core::Complex<T>* gathered, double* re, double* im) {
  std::uint64_t run = count;
  if (flip != 0 && (std::uint64_t{1} << __builtin_ctzll(flip)) < count) {
    run = std::uint64_t{1} << __builtin_ctzll(flip);
  }
  if (run < GATHER_BELOW) {
    for (std::uint64_t t = 0; t < count; ++t) {
      gathered[t] = partner[t ^ flip];
    }
    run_leaves<T, kRe, kIm>(own, gathered, count, re, im);
    return;
  }
  for (std::uint64_t s = 0; s < count; s += run) {
    run_leaves<T, kRe, kIm>(own + s, partner + (s ^ flip), run, kRe ? re + s : nullptr,
                            kIm ? im + s : nullptr);
  }
}

template <typename T>
const double* block_nodes(const BlockShape& shape, const core::Complex<T>* own,
                          const core::Complex<T>* partner, std::uint64_t flip, double* a,
                          double* b) {
  const std::uint64_t block = std::uint64_t{1} << shape.block_qubits;
  core::Complex<T> gathered[std::uint64_t{1} << core::REDUCE_BLOCK_QUBITS];
  double* re = shape.re_row < 0 ? nullptr : a + static_cast<std::uint64_t>(shape.re_row) * block;
  double* im = shape.im_row < 0 ? nullptr : a + static_cast<std::uint64_t>(shape.im_row) * block;
  if (re != nullptr && im != nullptr) {
    block_leaves<T, true, true>(own, partner, flip, block, gathered, re, im);
  } else if (re != nullptr) {
    block_leaves<T, true, false>(own, partner, flip, block, gathered, re, im);
  } else {
    block_leaves<T, false, true>(own, partner, flip, block, gathered, re, im);
  }
  return core::reduce_levels<Tag>(shape.levels, 0, shape.block_qubits, block, a, b);
}

inline constexpr BlockKernels KERNELS = {
    VORN_BLOCK_NAME,
    &block_nodes<float>,
    &block_nodes<double>,
};

}  // namespace vorn::sim::VORN_BLOCK_NAMESPACE
