// insert_zero_bits: enumerates the indices that have 0 at every operand position.
//
// A compact group number k is spread over the bit positions not occupied by the operands: with
// sorted positions p0 < p1 < ..., the bits of k below p0 stay, the next run moves up by one, the
// next by two, and so on. As k runs over 0 ... N / 2^count - 1, the result runs once over every
// index below N with 0 at all operand positions, in increasing order.
#pragma once

#include <cstdint>

namespace vorn::core::kernels {

inline constexpr std::uint64_t ALL_ONES = ~std::uint64_t{0};

// Masks for one, two or three sorted, distinct positions below 64. masks[j] selects the bits
// of k that move up by j; the masks are computed once per kernel call and only read afterwards.
struct ZeroBitMasks {
  unsigned count = 0;
  std::uint64_t masks[4] = {ALL_ONES, 0, 0, 0};
};

constexpr ZeroBitMasks zero_bit_masks(unsigned p0) {
  ZeroBitMasks m;
  m.count = 1;
  m.masks[0] = ~(ALL_ONES << p0);
  m.masks[1] = ALL_ONES << p0;
  return m;
}

// For p0 < p1: low = the bits below p0, mid = the bits p0 ... p1 - 2, high = from p1 - 1 up.
constexpr ZeroBitMasks zero_bit_masks(unsigned p0, unsigned p1) {
  ZeroBitMasks m;
  m.count = 2;
  m.masks[0] = ~(ALL_ONES << p0);
  m.masks[1] = (ALL_ONES << p0) ^ (ALL_ONES << (p1 - 1));
  m.masks[2] = ALL_ONES << (p1 - 1);
  return m;
}

// For p0 < p1 < p2: low, m1 = p0 ... p1 - 2, m2 = p1 - 1 ... p2 - 3, m3 = from p2 - 2 up.
constexpr ZeroBitMasks zero_bit_masks(unsigned p0, unsigned p1, unsigned p2) {
  ZeroBitMasks m;
  m.count = 3;
  m.masks[0] = ~(ALL_ONES << p0);
  m.masks[1] = (ALL_ONES << p0) ^ (ALL_ONES << (p1 - 1));
  m.masks[2] = (ALL_ONES << (p1 - 1)) ^ (ALL_ONES << (p2 - 2));
  m.masks[3] = ALL_ONES << (p2 - 2);
  return m;
}

constexpr std::uint64_t insert_zero_bits(std::uint64_t k, const ZeroBitMasks& m) {
  return (k & m.masks[0]) | ((k & m.masks[1]) << 1) | ((k & m.masks[2]) << 2) |
         ((k & m.masks[3]) << 3);
}

}  // namespace vorn::core::kernels
