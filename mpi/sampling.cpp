// The distributed cumulative table, the split search and the reduction of the tallies.
#include "mpi/sampling.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "core/parallel.h"
#include "simulator/rng.h"
#include "simulator/sampling.h"

namespace vorn::mpi {

std::uint64_t search_owner(std::span<const double> pivots, double u) {
  return sim::search_window_base(pivots, u);
}

std::uint64_t search_slice(std::span<const double> slice_table, double u) {
  const std::uint64_t base = sim::search_window_base(slice_table, u);
  return u >= slice_table[base] ? base + 1 : base;
}

template <typename T>
void cumulative_slice(std::span<const core::Complex<T>> slice, std::span<double> table,
                      const Ranks& ranks) {
  // The squares are independent of each other, so they are formed in parallel; only the
  // additions are chained.
  core::parallel_for(0, slice.size(), std::uint64_t{1} << 15,
                     [&](std::uint64_t begin, std::uint64_t end) {
                       for (std::uint64_t i = begin; i < end; ++i) {
                         const T p = slice[i].re * slice[i].re + slice[i].im * slice[i].im;
                         table[i] = static_cast<double>(p);
                       }
                     });
  std::uint64_t first = 0;
  double sum = 0.0;
  if (ranks.rank == 0) {
    // The whole table starts with p[0] itself, not 0.0 + p[0].
    sum = table[0];
    first = 1;
  } else {
    MPI_Recv(&sum, 1, MPI_DOUBLE, static_cast<int>(ranks.rank - 1), 1, ranks.comm,
             MPI_STATUS_IGNORE);
  }
  for (std::uint64_t i = first; i < table.size(); ++i) {
    sum = sum + table[i];
    table[i] = sum;
  }
  if (ranks.rank + 1 < ranks.size) {
    MPI_Send(&sum, 1, MPI_DOUBLE, static_cast<int>(ranks.rank + 1), 1, ranks.comm);
  } else {
    table.back() = 1.0;
  }
}

template void cumulative_slice<float>(std::span<const core::Complex<float>>, std::span<double>,
                                      const Ranks&);
template void cumulative_slice<double>(std::span<const core::Complex<double>>, std::span<double>,
                                       const Ranks&);

std::vector<std::pair<std::uint64_t, std::uint64_t>> draw_distributed(std::span<const double> table,
                                                                      std::uint64_t shots,
                                                                      std::uint64_t seed,
                                                                      const Ranks& ranks) {
  std::vector<double> pivots(ranks.size);
  MPI_Allgather(&table[0], 1, MPI_DOUBLE, pivots.data(), 1, MPI_DOUBLE, ranks.comm);

  const std::uint64_t offset = ranks.rank << ranks.local_qubits;
  const std::uint64_t last = (ranks.size << ranks.local_qubits) - 1;
  std::unordered_map<std::uint64_t, std::uint64_t> tally;
  sim::SampleRng rng = sim::SampleRng::seed_from_u64(seed);
  for (std::uint64_t shot = 0; shot < shots; ++shot) {
    const double u = sim::uniform_from_draw(rng.next_u64());
    if (search_owner(pivots, u) == ranks.rank) {
      ++tally[std::min(offset + search_slice(table, u), last)];
    }
  }

  // Rank 0 collects every rank's (index, count) pairs. An index can come from two ranks (the
  // final step of the search may pass a slice's end), so the counts are added up.
  std::vector<std::uint64_t> mine;
  mine.reserve(2 * tally.size());
  for (const auto& [index, count] : tally) {
    mine.push_back(index);
    mine.push_back(count);
  }
  const int length = static_cast<int>(mine.size());
  std::vector<int> lengths(ranks.rank == 0 ? ranks.size : 0);
  MPI_Gather(&length, 1, MPI_INT, lengths.data(), 1, MPI_INT, 0, ranks.comm);
  std::vector<int> displacements(lengths.size());
  std::vector<std::uint64_t> all;
  if (ranks.rank == 0) {
    int total = 0;
    for (std::size_t r = 0; r < lengths.size(); ++r) {
      displacements[r] = total;
      total += lengths[r];
    }
    all.resize(static_cast<std::size_t>(total));
  }
  MPI_Gatherv(mine.data(), length, MPI_UINT64_T, all.data(), lengths.data(), displacements.data(),
              MPI_UINT64_T, 0, ranks.comm);

  std::map<std::uint64_t, std::uint64_t> merged;
  for (std::size_t i = 0; i + 1 < all.size(); i += 2) {
    merged[all[i]] += all[i + 1];
  }
  return {merged.begin(), merged.end()};
}

}  // namespace vorn::mpi
