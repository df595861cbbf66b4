// Sums whose bits do not depend on how the work is split: the terms are added as a complete
// binary tree in index order (term 0 + term 1, term 2 + term 3, then those pairs, and so on), so
// a sum over 2^m terms is the same double for any thread count, any block size and any split of
// the index range into aligned power-of-two pieces (the ranks of a distributed state each reduce
// their piece, and the pieces' sums are then added by the same tree).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/parallel.h"

namespace vorn::core {

// Leaves summed as one tree on one thread before the blocks' sums meet.
inline constexpr unsigned REDUCE_BLOCK_QUBITS = 10;

// Reduces values (a power-of-two count, 1 included) in place, level by level, and returns the
// tree's sum; values is left holding partial sums.
inline double pairwise_sum_in_place(std::span<double> values) {
  std::size_t count = values.size();
  while (count > 1) {
    const std::size_t half = count / 2;
    for (std::size_t j = 0; j < half; ++j) {
      values[j] = values[2 * j] + values[2 * j + 1];
    }
    count = half;
  }
  return values.empty() ? 0.0 : values[0];
}

// The tree sum of term(i), i in [first, first + 2^log2_count), for a `double term(uint64_t)`.
// first must be a multiple of 2^log2_count for the result to be a subtree of a larger sum.
// Runs on the worker pool from 2^13 terms on.
template <typename Term>
double pairwise_sum(std::uint64_t first, unsigned log2_count, const Term& term) {
  const unsigned block_qubits = log2_count < REDUCE_BLOCK_QUBITS ? log2_count : REDUCE_BLOCK_QUBITS;
  const std::uint64_t block = std::uint64_t{1} << block_qubits;
  const std::uint64_t blocks = std::uint64_t{1} << (log2_count - block_qubits);
  std::vector<double> sums(blocks);
  const auto reduce_blocks = [&](std::uint64_t b, std::uint64_t e) {
    std::array<double, std::size_t{1} << REDUCE_BLOCK_QUBITS> leaves;
    for (std::uint64_t k = b; k < e; ++k) {
      const std::uint64_t base = first + k * block;
      for (std::uint64_t i = 0; i < block; ++i) {
        leaves[i] = term(base + i);
      }
      sums[k] = pairwise_sum_in_place(std::span<double>(leaves.data(), block));
    }
  };
  if ((std::uint64_t{1} << log2_count) >= (std::uint64_t{1} << 13) && blocks > 1) {
    parallel_for(0, blocks, 1, reduce_blocks);
  } else {
    reduce_blocks(0, blocks);
  }
  return pairwise_sum_in_place(sums);
}

}  // namespace vorn::core
