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

// One class of level l and the classes of level l + 1 made from it, by addition and by
// subtraction (NONE: not made).
struct SignedPair {
  static constexpr std::uint32_t NONE = ~std::uint32_t{0};
  std::uint32_t parent;
  std::uint32_t plus;
  std::uint32_t minus;
};

// The pairs of every level as plain data: those from level l to l + 1 are
// pairs[offsets[l] ... offsets[l + 1]).
struct SignedLevels {
  const SignedPair* pairs;
  const std::size_t* offsets;
};

// Takes rows of `width` nodes of level `from` in a (row c from a + c * width; width a multiple of
// 2^(to - from)) to rows of width / 2^(to - from) nodes of level `to`, writing a and b in turn,
// and returns the one that holds them. A row whose class has both children is read once for the
// two. Tag names the caller's copy: a variant compiled for another instruction set instantiates
// it with a tag of its own namespace, so that the linker never hands one instruction set's code
// to another (core/kernels/simd.h); for the same reason only plain loops are inside.
template <typename Tag>
double* reduce_levels(SignedLevels levels, unsigned from, unsigned to, std::size_t width, double* a,
                      double* b) {
  for (unsigned level = from; level < to; ++level) {
    const std::size_t half = width / 2;
    for (std::size_t p = levels.offsets[level]; p < levels.offsets[level + 1]; ++p) {
      const SignedPair pair = levels.pairs[p];
      const double* in = a + pair.parent * width;
      double* plus = b + pair.plus * half;
      double* minus = b + pair.minus * half;
      if (pair.plus != SignedPair::NONE && pair.minus != SignedPair::NONE) {
        for (std::size_t k = 0; k < half; ++k) {
          plus[k] = in[2 * k] + in[2 * k + 1];
          minus[k] = in[2 * k] - in[2 * k + 1];
        }
      } else if (pair.plus != SignedPair::NONE) {
        for (std::size_t k = 0; k < half; ++k) {
          plus[k] = in[2 * k] + in[2 * k + 1];
        }
      } else {
        for (std::size_t k = 0; k < half; ++k) {
          minus[k] = in[2 * k] - in[2 * k + 1];
        }
      }
    }
    double* const written = b;
    b = a;
    a = written;
    width = half;
  }
  return a;
}

class SignedTrees {
 public:
  // The classes of levels 0 ... levels of the given sums.
  SignedTrees(std::span<const SignedSum> sums, unsigned levels)
      : classes_(levels + 1, 0),
        offsets_(levels + 1, 0),
        class_of_(levels + 1, std::vector<std::uint32_t>(sums.size())) {
    for (unsigned level = 0; level <= levels; ++level) {
      const std::uint64_t low = level >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << level) - 1;
      std::map<std::pair<unsigned, std::uint64_t>, std::uint32_t> ids;
      std::map<std::uint32_t, std::size_t> pair_of;  // parent class -> its entry in pairs_
      for (std::size_t s = 0; s < sums.size(); ++s) {
        const auto [it, fresh] = ids.emplace(std::pair{sums[s].source, sums[s].mask & low},
                                             static_cast<std::uint32_t>(ids.size()));
        class_of_[level][s] = it->second;
        if (fresh && level == 0) {
          sources_.push_back(sums[s].source);
        } else if (fresh) {
          const std::uint32_t parent = class_of_[level - 1][s];
          const auto [entry, new_parent] = pair_of.emplace(parent, pairs_.size());
          if (new_parent) {
            pairs_.push_back({parent, SignedPair::NONE, SignedPair::NONE});
          }
          SignedPair& pair = pairs_[entry->second];
          (((sums[s].mask >> (level - 1)) & 1) != 0 ? pair.minus : pair.plus) = it->second;
        }
      }
      classes_[level] = ids.size();
      offsets_[level] = pairs_.size();
    }
  }

  unsigned levels() const { return static_cast<unsigned>(classes_.size() - 1); }
  // The source of each class of level 0, in class order.
  std::span<const unsigned> sources() const { return sources_; }
  std::size_t classes(unsigned level) const { return classes_[level]; }
  std::size_t class_of(std::size_t sum, unsigned level) const { return class_of_[level][sum]; }
  // Valid while the trees are neither changed nor destroyed.
  SignedLevels level_data() const { return {pairs_.data(), offsets_.data()}; }

  // The doubles that each of reduce's two buffers must hold for rows of `width` nodes of level
  // `from` taken to level `to`.
  std::size_t buffer_size(unsigned from, unsigned to, std::size_t width) const {
    std::size_t size = 0;
    for (unsigned level = from; level <= to; ++level) {
      size = std::max(size, classes(level) * (width >> (level - from)));
    }
    return size;
  }

  // reduce_levels over these classes: classes(from) rows in a become classes(to) rows.
  double* reduce(unsigned from, unsigned to, std::size_t width, double* a, double* b) const {
    return reduce_levels<SignedTrees>(level_data(), from, to, width, a, b);
  }

 private:
  std::vector<unsigned> sources_;
  std::vector<std::size_t> classes_;                  // classes_[l]: the classes of level l
  std::vector<SignedPair> pairs_;                     // in level order
  std::vector<std::size_t> offsets_;                  // see SignedLevels
  std::vector<std::vector<std::uint32_t>> class_of_;  // class_of_[l][s]
};

}  // namespace vorn::core
