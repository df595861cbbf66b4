// The distributed engine: one rank's slice of the state, the plan's local passes through the
// engine's kernels, and the exchanges with partner ranks in bounded chunks.
#pragma once

#include <mpi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/complex.h"
#include "mpi/layout.h"

namespace vorn::mpi {

// Where this rank stands: 2^global_qubits ranks, each holding 2^local_qubits amplitudes, those
// whose index has the rank number in its top bits.
struct Ranks {
  MPI_Comm comm = MPI_COMM_WORLD;
  std::uint64_t rank = 0;
  std::uint64_t size = 1;
  std::uint64_t global_qubits = 0;
  std::uint64_t local_qubits = 0;
};

// The same verdict on every rank: the failing rank with its message, or nothing when no rank
// failed. When several fail, the highest-numbered one's message is taken. Collective.
struct RankError {
  std::uint64_t rank;
  std::string message;
};
std::optional<RankError> agree(std::optional<std::string> local, const Ranks& ranks);

// Bytes of each of the two exchange buffers (send and receive): the only memory an exchange
// needs beyond the slice.
inline constexpr std::size_t EXCHANGE_CHUNK_BYTES = std::size_t{4} << 20;

// The indices of a slice whose bits at the sorted local positions `positions` equal those of
// `fixed` (fixed has no other bits): they are visited in increasing order as runs of contiguous
// indices, fn(first_index, offset, count), offset counting the visited indices before the run.
// Only the part [begin, end) of that sequence is visited.
template <typename Fn>
void for_each_region_run(std::span<const std::uint64_t> positions, std::uint64_t fixed,
                         std::uint64_t begin, std::uint64_t end, Fn fn) {
  const std::uint64_t run = std::uint64_t{1} << positions.front();
  for (std::uint64_t m = begin; m < end;) {
    const std::uint64_t run_end = std::min(end, (m / run + 1) * run);
    std::uint64_t index = m;
    for (const std::uint64_t p : positions) {
      index = ((index >> p) << (p + 1)) | (index & ((std::uint64_t{1} << p) - 1));
    }
    fn(index | fixed, m - begin, run_end - m);
    m = run_end;
  }
}

class Exchanger {
 public:
  explicit Exchanger(const Ranks& ranks);
  std::uint64_t bytes_sent() const { return bytes_sent_; }
  double seconds() const { return seconds_; }

  // Trades global position `global` for local position `local`: afterwards this rank holds, at
  // its indices whose bit `local` differs from its own bit of `global`, what the partner held at
  // the indices with that bit equal to it. No arithmetic: values move unchanged.
  template <typename T>
  void exchange(std::span<core::Complex<T>> slice, std::uint64_t global, std::uint64_t local);

  // Trades every global position globals[j] for the local position locals[j] at once, within
  // the group of 2^m ranks that differ from this one only in those m bits (distinct positions,
  // m <= global qubits). This rank keeps the amplitudes whose bits at the local positions equal
  // its own bits of the global ones; those with any other pattern d go to the group's rank
  // whose bits are d, which sends back its amplitudes that carry this rank's pattern, to the
  // same indices. One round per partner (this rank's number with a nonzero pattern of the m
  // bits flipped), each a pairwise trade in chunks through the two buffers: every amplitude
  // moves once, and a rank sends 1 - 2^-m of its slice (m pairwise exchanges send m / 2).
  // No arithmetic: values move unchanged. exchange() is the case m = 1.
  template <typename T>
  void exchange_group(std::span<core::Complex<T>> slice, std::span<const std::uint64_t> globals,
                      std::span<const std::uint64_t> locals);

  // Exchanges done, a group exchange counting as one.
  std::uint64_t exchanges() const { return exchanges_; }

  // Sends own (at most EXCHANGE_CHUNK_BYTES) to rank `partner` and receives as many bytes from
  // it; returns them, valid until the next call. Both ranks call it with the same length.
  template <typename T>
  std::span<const core::Complex<T>> trade(std::uint64_t partner,
                                          std::span<const core::Complex<T>> own);

 private:
  Ranks ranks_;
  std::vector<std::byte> send_;
  std::vector<std::byte> receive_;
  std::uint64_t bytes_sent_ = 0;
  std::uint64_t exchanges_ = 0;
  double seconds_ = 0;
};

// Exchanges the amplitudes of local positions a and b (a pure permutation, a != b or nothing).
template <typename T>
void swap_local_positions(std::span<core::Complex<T>> slice, std::uint64_t a, std::uint64_t b);

// Runs the plan on this rank's slice: consecutive gate steps go to the engine in one call, so
// its grouping of gates applies. Afterwards the slice holds what gate-by-gate execution of the
// whole state leaves at these indices.
template <typename T>
void run_plan(std::span<core::Complex<T>> slice, const Plan& plan, const Ranks& ranks,
              Exchanger& exchanger);

}  // namespace vorn::mpi
