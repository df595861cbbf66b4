// The arithmetic inside one block of an expectation's group, in interchangeable implementations:
// the portable one, the definition, and one compiled for AVX2 with the same operations in the
// same order (hence the same bits), chosen at run time from the CPU's features.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

#include "core/complex.h"
#include "core/reduce.h"

namespace vorn::sim {

// What the block's arithmetic needs of a group, as plain data: the leaf rows of its sources (-1
// where a source is not used) and its trees' levels.
struct BlockShape {
  unsigned block_qubits;
  int re_row;
  int im_row;
  core::SignedLevels levels;
};

// Forms the leaves of a block of 2^block_qubits amplitudes, own[t] against partner[t ^ flip]
// (re and im of conj(own[t]) * partner[t ^ flip] in double), into the rows of a, and takes them
// to the block's level, writing a and b in turn (each of the block trees' buffer size); returns
// where the nodes are, one per class of that level.
template <typename T>
using BlockFunction = const double* (*)(const BlockShape& shape, const core::Complex<T>* own,
                                        const core::Complex<T>* partner, std::uint64_t flip,
                                        double* a, double* b);

struct BlockKernels {
  const char* name;
  BlockFunction<float> f32;
  BlockFunction<double> f64;

  template <typename T>
  BlockFunction<T> get() const {
    if constexpr (std::is_same_v<T, float>) {
      return f32;
    } else {
      return f64;
    }
  }
};

const BlockKernels& portable_block_kernels();
// Only to be called on a CPU with AVX2.
const BlockKernels& avx2_block_kernels();

// The implementations this CPU can run, fastest first; the portable one is always the last.
std::span<const BlockKernels* const> available_block_kernels();
// The first of available_block_kernels().
const BlockKernels& active_block_kernels();

}  // namespace vorn::sim
