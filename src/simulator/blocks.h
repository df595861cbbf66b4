// What the blockwise passes share: the placement of a block's runs in the state, the buffer each
// thread gathers its blocks into, the copies between them, and the order of the blocks.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <type_traits>
#include <vector>

#include "core/complex.h"

namespace vorn::sim::blocks {

// The bits of k placed, from the lowest up, at the set positions of mask.
inline std::uint64_t deposit(std::uint64_t k, std::uint64_t mask) {
  std::uint64_t out = 0;
  while (mask != 0 && k != 0) {
    const std::uint64_t lowest = mask & (~mask + 1);
    if ((k & 1) != 0) {
      out |= lowest;
    }
    k >>= 1;
    mask &= mask - 1;
  }
  return out;
}

// One buffer per thread for the blocks it runs, kept for the thread's life (it holds one block,
// a quarter of a level-2 cache, so the next pass finds it allocated).
class BlockBuffer {
 public:
  BlockBuffer() = default;
  BlockBuffer(const BlockBuffer&) = delete;
  BlockBuffer& operator=(const BlockBuffer&) = delete;
  ~BlockBuffer() { std::free(data_); }

  void* get(std::size_t bytes) {
    if (bytes > bytes_) {
      std::free(data_);
      data_ = nullptr;
      bytes_ = 0;
      // Whole cache lines, aligned to them.
      void* p = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
      if (p == nullptr) {
        // A worker cannot report a failure; running out of memory is fatal anyway.
        std::terminate();
      }
      data_ = p;
      bytes_ = bytes;
    }
    return data_;
  }

 private:
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
};

template <typename T>
core::Complex<T>* thread_buffer(std::uint64_t amplitudes) {
  thread_local BlockBuffer buffer;
  return static_cast<core::Complex<T>*>(buffer.get(amplitudes * sizeof(core::Complex<T>)));
}

// How far ahead the copies between the state and a block ask for the state's memory. The runs
// of a block lie far apart in the state, and the hardware prefetchers start afresh on each.
inline constexpr std::size_t COPY_AHEAD_BYTES = 16384;

// Copies run r from source(r) to destination(r) for every run of a block, prefetching the
// state's side (the destination when to_state, else the source) COPY_AHEAD_BYTES ahead.
template <typename Source, typename Destination>
void copy_runs(const std::vector<std::uint64_t>& run_offsets, std::uint64_t run_len,
               const Source& source, const Destination& destination, bool to_state) {
  using Amplitude = std::remove_pointer_t<decltype(source(0))>;
  const std::uint64_t bytes = run_len * sizeof(Amplitude);
  const std::uint64_t ahead = std::max<std::uint64_t>(1, COPY_AHEAD_BYTES / bytes);
  const std::uint64_t runs = run_offsets.size();
  const auto prefetch = [&](std::uint64_t r) {
    const char* p = reinterpret_cast<const char*>(to_state ? destination(r) : source(r));
    for (std::uint64_t b = 0; b < bytes; b += 64) {
      if (to_state) {
        __builtin_prefetch(p + b, 1, 3);
      } else {
        __builtin_prefetch(p + b, 0, 3);
      }
    }
  };
  for (std::uint64_t r = 0; r < std::min(ahead, runs); ++r) {
    prefetch(r);
  }
  for (std::uint64_t r = 0; r < runs; ++r) {
    if (r + ahead < runs) {
      prefetch(r + ahead);
    }
    std::memcpy(destination(r), source(r), bytes);
  }
}

// The block that comes i-th of `blocks` (a power of two) in the pool's loop. The loop's halves
// keep the order of the lower outside qubits, so that neighbouring blocks, whose runs often lie
// side by side in memory, follow each other; the highest outside qubit, which would otherwise
// give one half all the blocks where it is 1, is 1 in a block of the first half when the block's
// lower outside qubits above the lowest four hold an odd number of ones, and in the second half
// when they hold an even number. Each half then holds half of the blocks where any one outside
// qubit is 1, and gates left out where a control is 0 give both halves the same work.
inline std::uint64_t block_at(std::uint64_t i, std::uint64_t blocks) {
  if (blocks < 4) {
    return i;
  }
  const std::uint64_t half = blocks / 2;
  const std::uint64_t low = i & (half - 1);
  const unsigned shift = std::min(4u, static_cast<unsigned>(std::bit_width(half)) - 2);
  const std::uint64_t top =
      (i / half) ^ (static_cast<std::uint64_t>(std::popcount(low >> shift)) & 1);
  return low | top * half;
}

}  // namespace vorn::sim::blocks
