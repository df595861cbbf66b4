// The signed tree sum of core/reduce.h written out as its definition, for the tests of the
// layers that build on it: level l + 1 is left + right, or left - right where mask has bit l.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace vorn::test {

// The tree of 2^level leaves from leaves[first].
inline double signed_tree(const std::vector<double>& leaves, std::uint64_t mask, unsigned level,
                          std::uint64_t first) {
  if (level == 0) {
    return leaves[first];
  }
  const double left = signed_tree(leaves, mask, level - 1, first);
  const double right =
      signed_tree(leaves, mask, level - 1, first + (std::uint64_t{1} << (level - 1)));
  return ((mask >> (level - 1)) & 1) != 0 ? left - right : left + right;
}

// A double's bit pattern, for comparisons that tell -0.0 from 0.0 and one NaN from another.
inline std::uint64_t double_bits(double v) {
  std::uint64_t b = 0;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

}  // namespace vorn::test
