// Local passes and exchanges of a distributed run.
#include "mpi/distributed.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <variant>

#include "core/kernels/bits.h"
#include "core/parallel.h"
#include "simulator/engine.h"

namespace vorn::mpi {

std::optional<RankError> agree(std::optional<std::string> local, const Ranks& ranks) {
  const long long failed_here = local.has_value() ? static_cast<long long>(ranks.rank) : -1;
  long long failed = -1;
  MPI_Allreduce(&failed_here, &failed, 1, MPI_LONG_LONG, MPI_MAX, ranks.comm);
  if (failed < 0) {
    return std::nullopt;
  }
  const int root = static_cast<int>(failed);
  unsigned long long length = local.has_value() ? local->size() : 0;
  MPI_Bcast(&length, 1, MPI_UNSIGNED_LONG_LONG, root, ranks.comm);
  std::string message(static_cast<std::size_t>(length), '\0');
  if (static_cast<std::uint64_t>(failed) == ranks.rank) {
    message = *local;
  }
  MPI_Bcast(message.data(), static_cast<int>(length), MPI_CHAR, root, ranks.comm);
  return RankError{static_cast<std::uint64_t>(failed), std::move(message)};
}

Exchanger::Exchanger(const Ranks& ranks)
    : ranks_(ranks),
      send_(ranks.size > 1 ? EXCHANGE_CHUNK_BYTES : 0),
      receive_(ranks.size > 1 ? EXCHANGE_CHUNK_BYTES : 0) {}

template <typename T>
void Exchanger::exchange(std::span<core::Complex<T>> slice, std::uint64_t global,
                         std::uint64_t local) {
  exchange_group(slice, std::span<const std::uint64_t>(&global, 1),
                 std::span<const std::uint64_t>(&local, 1));
}

template <typename T>
void Exchanger::exchange_group(std::span<core::Complex<T>> slice,
                               std::span<const std::uint64_t> globals,
                               std::span<const std::uint64_t> locals) {
  using Amplitude = core::Complex<T>;
  const std::size_t m = globals.size();
  // The pairs sorted by local position; bit j of a pattern belongs to the j-th of them.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs(m);
  for (std::size_t j = 0; j < m; ++j) {
    pairs[j] = {locals[j], globals[j] - ranks_.local_qubits};
  }
  std::sort(pairs.begin(), pairs.end());
  std::vector<std::uint64_t> positions(m);
  std::uint64_t own = 0;  // this rank's bits of the global positions, at the local ones
  for (std::size_t j = 0; j < m; ++j) {
    positions[j] = pairs[j].first;
    own |= ((ranks_.rank >> pairs[j].second) & 1) << pairs[j].first;
  }
  const std::uint64_t region = slice.size() >> m;
  const std::uint64_t chunk = EXCHANGE_CHUNK_BYTES / sizeof(Amplitude);
  auto* send = reinterpret_cast<Amplitude*>(send_.data());
  auto* receive = reinterpret_cast<Amplitude*>(receive_.data());
  const double start = MPI_Wtime();
  for (std::uint64_t flip = 1; flip < (std::uint64_t{1} << m); ++flip) {
    // The partner's bits differ from ours where `flip` has a 1. We send our amplitudes that
    // carry its pattern at the local positions and receive, into the same indices, its
    // amplitudes that carry ours: both sides visit their regions in the same index order, and
    // the indices differ only in the traded bits, which is the exchange of the positions.
    std::uint64_t partner = ranks_.rank;
    std::uint64_t pattern = own;
    for (std::size_t j = 0; j < m; ++j) {
      if ((flip >> j) & 1) {
        partner ^= std::uint64_t{1} << pairs[j].second;
        pattern ^= std::uint64_t{1} << pairs[j].first;
      }
    }
    for (std::uint64_t begin = 0; begin < region; begin += chunk) {
      const std::uint64_t end = std::min(region, begin + chunk);
      for_each_region_run(positions, pattern, begin, end,
                          [&](std::uint64_t index, std::uint64_t offset, std::uint64_t count) {
                            std::memcpy(send + offset, &slice[index], count * sizeof(Amplitude));
                          });
      const int bytes = static_cast<int>((end - begin) * sizeof(Amplitude));
      MPI_Sendrecv(send, bytes, MPI_BYTE, static_cast<int>(partner), 0, receive, bytes, MPI_BYTE,
                   static_cast<int>(partner), 0, ranks_.comm, MPI_STATUS_IGNORE);
      for_each_region_run(positions, pattern, begin, end,
                          [&](std::uint64_t index, std::uint64_t offset, std::uint64_t count) {
                            std::memcpy(&slice[index], receive + offset, count * sizeof(Amplitude));
                          });
      bytes_sent_ += static_cast<std::uint64_t>(bytes);
    }
  }
  ++exchanges_;
  seconds_ += MPI_Wtime() - start;
}

template <typename T>
std::span<const core::Complex<T>> Exchanger::trade(std::uint64_t partner,
                                                   std::span<const core::Complex<T>> own) {
  const int bytes = static_cast<int>(own.size_bytes());
  const double start = MPI_Wtime();
  MPI_Sendrecv(own.data(), bytes, MPI_BYTE, static_cast<int>(partner), 2, receive_.data(), bytes,
               MPI_BYTE, static_cast<int>(partner), 2, ranks_.comm, MPI_STATUS_IGNORE);
  bytes_sent_ += static_cast<std::uint64_t>(bytes);
  seconds_ += MPI_Wtime() - start;
  return {reinterpret_cast<const core::Complex<T>*>(receive_.data()), own.size()};
}

template <typename T>
void swap_local_positions(std::span<core::Complex<T>> slice, std::uint64_t a, std::uint64_t b) {
  if (a == b) {
    return;
  }
  const auto masks = core::kernels::zero_bit_masks(static_cast<unsigned>(std::min(a, b)),
                                                   static_cast<unsigned>(std::max(a, b)));
  const std::uint64_t bit_a = std::uint64_t{1} << a;
  const std::uint64_t bit_b = std::uint64_t{1} << b;
  core::parallel_for(0, slice.size() / 4, std::uint64_t{1} << 14,
                     [&](std::uint64_t begin, std::uint64_t end) {
                       for (std::uint64_t k = begin; k < end; ++k) {
                         const std::uint64_t base = core::kernels::insert_zero_bits(k, masks);
                         std::swap(slice[base | bit_a], slice[base | bit_b]);
                       }
                     });
}

template <typename T>
void run_plan(std::span<core::Complex<T>> slice, const Plan& plan, const Ranks& ranks,
              Exchanger& exchanger) {
  std::vector<sim::Operation> pending;
  const auto flush = [&] {
    if (!pending.empty()) {
      sim::apply_operations<T>(slice, pending);
      pending.clear();
    }
  };
  for (const Step& step : plan.steps) {
    switch (step.kind) {
      case Step::Kind::Gate:
        if (step.applies_on(ranks.rank)) {
          pending.emplace_back(step.gate);
        }
        break;
      case Step::Kind::Controlled:
        if (step.applies_on(ranks.rank)) {
          pending.emplace_back(step.controlled);
        }
        break;
      case Step::Kind::LocalSwap:
        if (step.applies_on(ranks.rank)) {
          flush();
          swap_local_positions(slice, step.a, step.b);
        }
        break;
      case Step::Kind::Exchange:
        flush();
        exchanger.exchange(slice, step.a, step.b);
        break;
    }
  }
  flush();
}

template void Exchanger::exchange<float>(std::span<core::Complex<float>>, std::uint64_t,
                                         std::uint64_t);
template void Exchanger::exchange<double>(std::span<core::Complex<double>>, std::uint64_t,
                                          std::uint64_t);
template void Exchanger::exchange_group<float>(std::span<core::Complex<float>>,
                                               std::span<const std::uint64_t>,
                                               std::span<const std::uint64_t>);
template void Exchanger::exchange_group<double>(std::span<core::Complex<double>>,
                                                std::span<const std::uint64_t>,
                                                std::span<const std::uint64_t>);
template std::span<const core::Complex<float>> Exchanger::trade<float>(
    std::uint64_t, std::span<const core::Complex<float>>);
template std::span<const core::Complex<double>> Exchanger::trade<double>(
    std::uint64_t, std::span<const core::Complex<double>>);
template void swap_local_positions<float>(std::span<core::Complex<float>>, std::uint64_t,
                                          std::uint64_t);
template void swap_local_positions<double>(std::span<core::Complex<double>>, std::uint64_t,
                                           std::uint64_t);
template void run_plan<float>(std::span<core::Complex<float>>, const Plan&, const Ranks&,
                              Exchanger&);
template void run_plan<double>(std::span<core::Complex<double>>, const Plan&, const Ranks&,
                               Exchanger&);

}  // namespace vorn::mpi
