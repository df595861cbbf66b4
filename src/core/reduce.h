// Sums whose bits do not depend on how the work is split: the terms are added as a complete
// binary tree in index order (term 0 + term 1, term 2 + term 3, then those pairs, and so on), so
// a sum over 2^m terms is the same double for any thread count, any block size and any split of
// the index range into aligned power-of-two pieces (the ranks of a distributed state each reduce
// their piece, and the pieces' sums are then added by the same tree).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "core/parallel.h"

namespace vorn::core {

// Leaves summed as one tree on one thread before the blocks' sums meet.
inline constexpr unsigned REDUCE_BLOCK_QUBITS = 10;

// Reduces values (a power-of-two count, 1 included) in place, level by level, and returns the
// signed tree's sum (see SignedTrees below): at level l, pairs are added when bit l of mask is 0
// and the right one subtracted when it is 1. values is left holding partial sums.
inline double signed_sum_in_place(std::span<double> values, std::uint64_t mask) {
  std::size_t count = values.size();
  for (unsigned level = 0; count > 1; ++level) {
    const std::size_t half = count / 2;
    const bool subtract = level < 64 && ((mask >> level) & 1) != 0;
    for (std::size_t j = 0; j < half; ++j) {
      values[j] = subtract ? values[2 * j] - values[2 * j + 1] : values[2 * j] + values[2 * j + 1];
    }
    count = half;
  }
  return values.empty() ? 0.0 : values[0];
}

// Reduces values (a power-of-two count, 1 included) in place, level by level, and returns the
// tree's sum; values is left holding partial sums.
inline double pairwise_sum_in_place(std::span<double> values) {
  return signed_sum_in_place(values, 0);
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

// Several tree sums over the same leaves, each with its own signs. The signed sum (source, mask)
// over an aligned stretch of 2^m leaves is the complete binary tree whose node of level l + 1
// (2^(l+1) leaves) is left + right of its two nodes of level l when bit l of mask is 0 and
// left - right when it is 1; level 0 holds the leaves of that source. It is
// sum_i (-1)^popcount(i & mask) * leaf(i), and with mask 0 it is pairwise_sum's tree, bit for
// bit. A stretch's tree is a subtree of the tree over a larger aligned stretch, so the sums of
// adjacent stretches combine with signed_sum_in_place (the mask shifted right by m).
//
// A node of level l depends only on the source and the mask's bits below l. Sums that agree
// there share it: a class of level l is one (source, mask bits below l) pair, and reduce works
// class by class, so many masks over the same leaves cost little more than one.
struct SignedSum {
  unsigned source;
  std::uint64_t mask;
};

class SignedTrees {
 public:
  // The classes of levels 0 ... levels of the given sums.
  SignedTrees(std::span<const SignedSum> sums, unsigned levels)
      : steps_(levels), class_of_(levels + 1, std::vector<std::uint32_t>(sums.size())) {
    for (unsigned level = 0; level <= levels; ++level) {
      const std::uint64_t low = level >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << level) - 1;
      std::map<std::pair<unsigned, std::uint64_t>, std::uint32_t> ids;
      for (std::size_t s = 0; s < sums.size(); ++s) {
        const auto [it, fresh] = ids.emplace(std::pair{sums[s].source, sums[s].mask & low},
                                             static_cast<std::uint32_t>(ids.size()));
        class_of_[level][s] = it->second;
        if (fresh && level == 0) {
          sources_.push_back(sums[s].source);
        } else if (fresh) {
          const bool subtract = ((sums[s].mask >> (level - 1)) & 1) != 0;
          steps_[level - 1].push_back({class_of_[level - 1][s], subtract});
        }
      }
    }
  }

  unsigned levels() const { return static_cast<unsigned>(steps_.size()); }
  // The source of each class of level 0, in class order.
  std::span<const unsigned> sources() const { return sources_; }
  std::size_t classes(unsigned level) const {
    return level == 0 ? sources_.size() : steps_[level - 1].size();
  }
  std::size_t class_of(std::size_t sum, unsigned level) const { return class_of_[level][sum]; }

  // The doubles that each of reduce's two buffers must hold for rows of `width` nodes of level
  // `from` taken to level `to`.
  std::size_t buffer_size(unsigned from, unsigned to, std::size_t width) const {
    std::size_t size = 0;
    for (unsigned level = from; level <= to; ++level) {
      size = std::max(size, classes(level) * (width >> (level - from)));
    }
    return size;
  }

  // Takes classes(from) rows of `width` nodes of level `from` in a (row c from a + c * width;
  // width a multiple of 2^(to - from)) to classes(to) rows of width / 2^(to - from) nodes of
  // level `to`, writing a and b in turn; returns the one that holds them.
  double* reduce(unsigned from, unsigned to, std::size_t width, double* a, double* b) const {
    for (unsigned level = from; level < to; ++level) {
      const std::size_t half = width / 2;
      const std::vector<Step>& steps = steps_[level];
      for (std::size_t c = 0; c < steps.size(); ++c) {
        const double* in = a + steps[c].parent * width;
        double* out = b + c * half;
        if (steps[c].subtract) {
          for (std::size_t k = 0; k < half; ++k) {
            out[k] = in[2 * k] - in[2 * k + 1];
          }
        } else {
          for (std::size_t k = 0; k < half; ++k) {
            out[k] = in[2 * k] + in[2 * k + 1];
          }
        }
      }
      std::swap(a, b);
      width = half;
    }
    return a;
  }

 private:
  struct Step {
    std::uint32_t parent;  // the class of the level below
    bool subtract;
  };
  std::vector<unsigned> sources_;
  std::vector<std::vector<Step>> steps_;              // steps_[l]: the classes of level l + 1
  std::vector<std::vector<std::uint32_t>> class_of_;  // class_of_[l][s]
};

}  // namespace vorn::core
