// Loops over a state's amplitudes that mid-circuit measurements and resets share, in one
// process or on one rank's slice: the pairs of runs that differ in one qubit, and the
// projection onto one of its values.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/complex.h"
#include "core/kernels.h"
#include "core/parallel.h"

namespace vorn::sim {

// Runs body(b, e) over [0, count): on the calling thread below the kernels' threshold, else on
// the pool. Every index gets the same operations either way.
template <typename Body>
void for_each_index(std::uint64_t count, const Body& body) {
  if (count < core::PARALLEL_THRESHOLD) {
    body(0, count);
  } else {
    core::parallel_for(0, count, core::PARALLEL_THRESHOLD / 2, body);
  }
}

// The index whose bits are those of j with a bit `value` inserted at position qubit.
inline std::uint64_t insert_bit(std::uint64_t j, std::uint64_t qubit, std::uint64_t value) {
  const std::uint64_t low = (std::uint64_t{1} << qubit) - 1;
  return ((j & ~low) << 1) | (value << qubit) | (j & low);
}

// Runs fn(zero, one, len) over the pairs of runs of v for qubit: [zero, zero + len) have bit
// qubit 0 and [one, one + len) are the same indices with it 1. Precondition: qubit is below
// log2(v.size()).
template <typename T, typename Fn>
void for_each_pair_run(std::span<core::Complex<T>> v, std::uint64_t qubit, const Fn& fn) {
  core::Complex<T>* const data = v.data();
  const std::uint64_t run = std::uint64_t{1} << qubit;
  for_each_index(v.size() / 2, [data, qubit, run, &fn](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t j = b; j < e;) {
      const std::uint64_t end = std::min(e, (j | (run - 1)) + 1);
      core::Complex<T>* const zero = data + insert_bit(j, qubit, 0);
      fn(zero, zero + run, end - j);
      j = end;
    }
  });
}

// The factor a projection multiplies the kept amplitudes by: 1/sqrt(probability) in double,
// rounded once to T.
template <typename T>
T projection_scale(double probability) {
  return static_cast<T>(1.0 / std::sqrt(probability));
}

// Multiplies [v, v + len) by scale, component by component.
template <typename T>
void scale_run(core::Complex<T>* v, std::uint64_t len, T scale) {
  for (std::uint64_t k = 0; k < len; ++k) {
    v[k].re = v[k].re * scale;
    v[k].im = v[k].im * scale;
  }
}

// Keeps the amplitudes of v whose bit qubit is outcome, multiplied by scale, and zeroes the
// others.
template <typename T>
void project_onto(std::span<core::Complex<T>> v, std::uint64_t qubit, unsigned outcome, T scale) {
  for_each_pair_run<T>(
      v, qubit, [outcome, scale](core::Complex<T>* zero, core::Complex<T>* one, std::uint64_t len) {
        scale_run(outcome == 0 ? zero : one, len, scale);
        core::Complex<T>* const drop = outcome == 0 ? one : zero;
        std::fill(drop, drop + len, core::Complex<T>{0, 0});
      });
}

// Exchanges the amplitudes of each pair of indices that differ in bit qubit.
template <typename T>
void flip_qubit(std::span<core::Complex<T>> v, std::uint64_t qubit) {
  for_each_pair_run<T>(v, qubit,
                       [](core::Complex<T>* zero, core::Complex<T>* one, std::uint64_t len) {
                         std::swap_ranges(zero, zero + len, one);
                       });
}

}  // namespace vorn::sim
