// insert_zero_bits: enumerates the indices that have 0 at every operand position.
//
// A compact group number k is spread over the bit positions not occupied by the operands: with
// sorted positions p0 < p1 < ..., the bits of k below p0 stay, the next run moves up by one, the
// next by two, and so on. As k runs over 0 ... N / 2^count - 1, the result runs once over every
// index below N with 0 at all operand positions, in increasing order.
//
// The scalar reference inserts at amplitude positions; the vectorised kernels insert at
// register positions (amplitude position - LOG_W) and add forced-one bits for their register
// controls (Enumeration in simd/enumeration.h). Both use these masks.
#pragma once

#include <cstdint>

namespace vorn::core::kernels {

inline constexpr std::uint64_t ALL_ONES = ~std::uint64_t{0};

// Masks for up to three sorted, distinct positions below 64. masks[j] selects the bits of k
// that move up by j; the masks are computed once per kernel call and only read afterwards.
struct ZeroBitMasks {
  unsigned count = 0;
  std::uint64_t masks[4] = {ALL_ONES, 0, 0, 0};
};

// For sorted p[0] < p[1] < ... < p[count - 1], count <= 3: masks[0] = the bits below p[0],
// masks[j] = the bits p[j - 1] - (j - 1) ... p[j] - j - 1, masks[count] = from p[count - 1] -
// (count - 1) up. With two positions: low = below p0, mid = p0 ... p1 - 2, high = from p1 - 1.
constexpr ZeroBitMasks zero_bit_masks(const unsigned* sorted, unsigned count) {
  ZeroBitMasks m;
  m.count = count;
  std::uint64_t below = 0;
  for (unsigned j = 0; j < count; ++j) {
    const std::uint64_t upto = ~(ALL_ONES << (sorted[j] - j));
    m.masks[j] = upto & ~below;
    below = upto;
  }
  m.masks[count] = ~below;
  for (unsigned j = count + 1; j < 4; ++j) {
    m.masks[j] = 0;
  }
  return m;
}

constexpr ZeroBitMasks zero_bit_masks(unsigned p0) {
  const unsigned p[1] = {p0};
  return zero_bit_masks(p, 1);
}

constexpr ZeroBitMasks zero_bit_masks(unsigned p0, unsigned p1) {
  const unsigned p[2] = {p0, p1};
  return zero_bit_masks(p, 2);
}

constexpr ZeroBitMasks zero_bit_masks(unsigned p0, unsigned p1, unsigned p2) {
  const unsigned p[3] = {p0, p1, p2};
  return zero_bit_masks(p, 3);
}

constexpr std::uint64_t insert_zero_bits(std::uint64_t k, const std::uint64_t (&masks)[4]) {
  return (k & masks[0]) | ((k & masks[1]) << 1) | ((k & masks[2]) << 2) | ((k & masks[3]) << 3);
}

constexpr std::uint64_t insert_zero_bits(std::uint64_t k, const ZeroBitMasks& m) {
  return insert_zero_bits(k, m.masks);
}

// The bits of k placed, from the lowest up, at the set positions of mask (any number of them).
constexpr std::uint64_t deposit_bits(std::uint64_t k, std::uint64_t mask) {
  std::uint64_t out = 0;
  for (; mask != 0 && k != 0; mask &= mask - 1, k >>= 1) {
    if ((k & 1) != 0) {
      out |= mask & (~mask + 1);
    }
  }
  return out;
}

// The bits of x at the set positions of mask, packed from the lowest up: deposit_bits undone.
constexpr std::uint64_t extract_bits(std::uint64_t x, std::uint64_t mask) {
  std::uint64_t out = 0;
  for (unsigned j = 0; mask != 0; mask &= mask - 1, ++j) {
    const std::uint64_t lowest = mask & (~mask + 1);
    out |= static_cast<std::uint64_t>((x & lowest) != 0) << j;
  }
  return out;
}

// The masks must agree with the formulas written out for two and three positions.
static_assert(zero_bit_masks(3, 7).masks[1] == ((ALL_ONES << 3) ^ (ALL_ONES << 6)));
static_assert(zero_bit_masks(3, 7).masks[2] == (ALL_ONES << 6));
static_assert(zero_bit_masks(1, 4, 9).masks[2] == ((ALL_ONES << 3) ^ (ALL_ONES << 7)));
static_assert(zero_bit_masks(1, 4, 9).masks[3] == (ALL_ONES << 7));
static_assert(insert_zero_bits(0b111, zero_bit_masks(1, 3)) == 0b10101);
static_assert(deposit_bits(0b101, 0b1011000) == 0b1001000);
static_assert(extract_bits(0b1001000, 0b1011000) == 0b101);

}  // namespace vorn::core::kernels
