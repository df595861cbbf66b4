// Signed tree sums: the shared classes give the bits of each sum's own recursive tree, in one
// stretch or level range at a time, and mask 0 is pairwise_sum's tree.
#include "core/reduce.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "signed_tree.h"

namespace vorn::core {
namespace {

using test::double_bits;
using test::signed_tree;

std::vector<double> random_leaves(std::uint64_t count, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> dist(-1, 1);
  std::vector<double> leaves(count);
  for (double& leaf : leaves) {
    leaf = dist(rng);
  }
  return leaves;
}

TEST(SignedTreesTest, SharedClassesGiveEachSumsOwnTree) {
  std::mt19937_64 rng(11);
  constexpr unsigned kLevels = 9;
  // Two sources; masks that agree on their low bits (so classes are shared) and masks that do not.
  const std::vector<std::vector<double>> leaves = {random_leaves(1 << kLevels, rng),
                                                   random_leaves(1 << kLevels, rng)};
  std::vector<SignedSum> sums = {{0, 0}, {0, 0b1}, {1, 0b1}, {0, 0b100000001}, {1, 0b110}};
  for (int k = 0; k < 20; ++k) {
    sums.push_back({static_cast<unsigned>(rng() % 2), rng() & 0x1ff});
  }
  const SignedTrees trees(sums, kLevels);
  // Whole: level 0 to the top in one call, and in two calls split at level 4.
  for (const unsigned split : {0u, 4u}) {
    std::vector<double> a(trees.buffer_size(0, kLevels, 1 << kLevels));
    std::vector<double> b(a.size());
    for (std::size_t c = 0; c < trees.sources().size(); ++c) {
      std::copy(leaves[trees.sources()[c]].begin(), leaves[trees.sources()[c]].end(),
                a.begin() + static_cast<std::ptrdiff_t>(c << kLevels));
    }
    double* low = trees.reduce(0, split, 1 << kLevels, a.data(), b.data());
    double* high = trees.reduce(split, kLevels, std::size_t{1} << (kLevels - split), low,
                                low == a.data() ? b.data() : a.data());
    for (std::size_t s = 0; s < sums.size(); ++s) {
      EXPECT_EQ(double_bits(high[trees.class_of(s, kLevels)]),
                double_bits(signed_tree(leaves[sums[s].source], sums[s].mask, kLevels, 0)))
          << "sum " << s << " split at " << split;
    }
  }
  EXPECT_LT(trees.classes(1), sums.size());
}

TEST(SignedTreesTest, StretchesCombineWithTheShiftedMask) {
  std::mt19937_64 rng(12);
  const std::vector<double> leaves = random_leaves(1 << 10, rng);
  for (int trial = 0; trial < 20; ++trial) {
    const std::uint64_t mask = rng() & 0x3ff;
    std::vector<double> stretches(8);  // 8 stretches of 2^7 leaves
    for (std::uint64_t r = 0; r < 8; ++r) {
      stretches[r] = signed_tree(leaves, mask, 7, r << 7);
    }
    EXPECT_EQ(double_bits(signed_sum_in_place(stretches, mask >> 7)),
              double_bits(signed_tree(leaves, mask, 10, 0)));
  }
}

TEST(SignedTreesTest, MaskZeroIsPairwiseSum) {
  std::mt19937_64 rng(13);
  const std::vector<double> leaves = random_leaves(1 << 15, rng);
  const double pairwise = pairwise_sum(0, 15, [&](std::uint64_t i) { return leaves[i]; });
  EXPECT_EQ(double_bits(pairwise), double_bits(signed_tree(leaves, 0, 15, 0)));
  std::vector<double> copy = leaves;
  EXPECT_EQ(double_bits(signed_sum_in_place(copy, 0)), double_bits(pairwise));
}

}  // namespace
}  // namespace vorn::core
