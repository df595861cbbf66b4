// Enumeration of a vectorised kernel's groups: zero bits inserted into the group number at the
// register operands' positions, register controls forced to 1. Included only through
// core/kernels/simd.h, inside the namespace of one instruction set.
#pragma once

#include <cstdint>

#include "core/kernels/bits.h"

namespace vorn::core::kernels::VORN_SIMD_NAMESPACE {

// Zero-bit insertion at up to three positions of the group number (in register units), with
// the register controls' bits then set to 1: the reference's insert_zero_bits (bits.h) plus the
// forced ones, and a cheap step from one group to the next.
struct Enumeration {
  std::uint64_t masks[4] = {ALL_ONES, 0, 0, 0};  // of zero_bit_masks (bits.h)
  std::uint64_t set = 0;                         // register controls: forced to 1
  std::uint64_t forced = 0;                      // every position: forced to 0, or to 1 if in set
  unsigned count = 0;

  // Positions may come in any order; they are kept sorted (at most three).
  void add_position(unsigned p) {
    forced |= std::uint64_t{1} << p;
    unsigned i = count;
    while (i > 0 && position_[i - 1] > p) {
      position_[i] = position_[i - 1];
      --i;
    }
    position_[i] = p;
    ++count;
    const ZeroBitMasks zero_bits = zero_bit_masks(position_, count);
    for (unsigned j = 0; j < 4; ++j) {
      masks[j] = zero_bits.masks[j];
    }
  }

  std::uint64_t operator()(std::uint64_t k) const { return insert_zero_bits(k, masks) | set; }

  // The index of group k + 1, given the index r of group k: counting with the forced bits
  // held at 1 carries straight over them.
  std::uint64_t next(std::uint64_t r) const { return (((r | forced) + 1) & ~forced) | set; }

 private:
  unsigned position_[3] = {0, 0, 0};
};

}  // namespace vorn::core::kernels::VORN_SIMD_NAMESPACE
