// The distributed expectation values: local groups, remote passes through the exchanger, and the
// contributions gathered on rank 0.
#include "mpi/expectation.h"

#include <algorithm>
#include <bit>

#include "simulator/expectation.h"

namespace vorn::mpi {

template <typename T>
std::vector<double> distributed_expectations(std::span<const core::Complex<T>> slice,
                                             std::span<const sim::PauliSum> sums,
                                             const Ranks& ranks, Exchanger& exchanger) {
  const sim::ExpectationPlan plan(sums, ranks.global_qubits + ranks.local_qubits,
                                  ranks.local_qubits);
  // Chunks as large as the exchange buffers hold.
  const auto chunk_qubits = std::min<std::uint64_t>(
      ranks.local_qubits, static_cast<std::uint64_t>(
                              std::bit_width(EXCHANGE_CHUNK_BYTES / sizeof(core::Complex<T>)) - 1));
  const std::uint64_t chunk = std::uint64_t{1} << chunk_qubits;
  sim::SliceSums contribution(plan, chunk_qubits);
  contribution.add_local(slice);
  // Every rank walks the same passes and chunks in the same order. For its chunk c it needs the
  // partner's chunk c ^ chunk_flip, and the partner, at the same step, needs its own.
  for (std::size_t p = 0; p < contribution.remote_passes().size(); ++p) {
    const auto pass = contribution.remote_passes()[p];
    for (std::uint64_t c = 0; c < slice.size() / chunk; ++c) {
      const auto partner = exchanger.trade<T>(ranks.rank ^ pass.slice_flip,
                                              slice.subspan((c ^ pass.chunk_flip) * chunk, chunk));
      contribution.add_remote(p, c, slice.subspan(c * chunk, chunk), partner);
    }
  }
  const std::vector<double> mine = contribution.partials();
  std::vector<double> all(ranks.rank == 0 ? mine.size() * ranks.size : 0);
  MPI_Gather(mine.data(), static_cast<int>(mine.size()), MPI_DOUBLE, all.data(),
             static_cast<int>(mine.size()), MPI_DOUBLE, 0, ranks.comm);
  if (ranks.rank != 0) {
    return {};
  }
  return plan.combine(all);
}

template std::vector<double> distributed_expectations<float>(std::span<const core::Complex<float>>,
                                                             std::span<const sim::PauliSum>,
                                                             const Ranks&, Exchanger&);
template std::vector<double> distributed_expectations<double>(
    std::span<const core::Complex<double>>, std::span<const sim::PauliSum>, const Ranks&,
    Exchanger&);

}  // namespace vorn::mpi
