// Sampling from a distributed state, draw for draw what a single process draws: the cumulative
// table is one sequential sum passed from rank to rank, every rank draws the same sequence, and
// the fixed-shape search is split at the slice boundaries.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/complex.h"
#include "mpi/distributed.h"

namespace vorn::mpi {

// The first steps of the fixed-shape search over a table of ranks x 2^L entries: pivots[r] is
// the table's entry r * 2^L (the first of rank r's slice), pivots.size() a power of two. The
// midpoints of those steps are exactly these entries; the result is the rank whose slice the
// search continues in.
std::uint64_t search_owner(std::span<const double> pivots, double u);

// The remaining steps inside that slice (its table entries, a power of two of them): the index
// within the slice, plus one when u is not below the final entry. The caller adds the slice's
// offset and clamps to the last index of the whole table.
std::uint64_t search_slice(std::span<const double> slice_table, double u);

// Fills `table` (the slice's length) with this rank's part of the cumulative table: squares in
// T, widened, and added strictly in index order, the running total arriving from the previous
// rank and going on to the next; the whole table's last entry is exactly 1.0.
template <typename T>
void cumulative_slice(std::span<const core::Complex<T>> slice, std::span<double> table,
                      const Ranks& ranks);

// Draws `shots` outcomes from the generator seeded with `seed` (on every rank, the same
// sequence) over the distributed table, and returns, on rank 0, (index, count) for every
// outcome drawn, in increasing index order; other ranks get an empty list. Collective.
std::vector<std::pair<std::uint64_t, std::uint64_t>> draw_distributed(std::span<const double> table,
                                                                      std::uint64_t shots,
                                                                      std::uint64_t seed,
                                                                      const Ranks& ranks);

}  // namespace vorn::mpi
