// The run's random generator: ChaCha12 with a 64-bit block counter and a 64-bit nonce (not
// the RFC 8439 layout), four blocks per refill, 64-bit draws.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorn::sim {

class SampleRng {
 public:
  // Keys the generator from a 64-bit seed through eight PCG32 (XSH-RR 64/32) outputs.
  static SampleRng seed_from_u64(std::uint64_t seed);
  // Keys the generator from 32 bytes of the operating system's random source; throws
  // core::Abort "from_entropy failed: {}" when the source fails.
  static SampleRng from_entropy();
  // Keys the generator directly from eight key words, with the given nonce (stream). The run's
  // own generator is stream 0; the shots of a dynamic program draw from streams 1 and up.
  static SampleRng from_key(const std::array<std::uint32_t, 8>& key, std::uint64_t stream = 0);

  // Draw d (from 0) is bytes 8d to 8d+7 of the keystream (the generator's nonce, from block 0),
  // read as a little-endian 64-bit word.
  std::uint64_t next_u64();

  const std::array<std::uint32_t, 8>& key() const { return key_; }

 private:
  SampleRng() = default;
  void refill();

  std::array<std::uint32_t, 8> key_{};
  std::uint64_t counter_ = 0;
  std::uint64_t stream_ = 0;
  std::array<std::uint32_t, 64> buffer_{};
  unsigned position_ = 64;
};

// One ChaCha12 block (16 output words) for the given key, block number and nonce.
std::array<std::uint32_t, 16> chacha12_block(const std::array<std::uint32_t, 8>& key,
                                             std::uint64_t block, std::uint64_t stream);

// Draw d (from 0) of the keystream of key and stream, computed alone: the value the (d+1)-th
// next_u64 of from_key(key, stream) returns. One ChaCha12 block per call.
std::uint64_t draw_at(const std::array<std::uint32_t, 8>& key, std::uint64_t stream,
                      std::uint64_t d);

namespace detail {
// A source with the contract of getrandom(2): fills up to `length` bytes and returns how many,
// or returns -1 with errno set.
using EntropySource = ssize_t (*)(void* buffer, std::size_t length, unsigned flags);

// from_entropy over an arbitrary source: retries on EINTR, continues after partial reads, and
// aborts with "from_entropy failed: {}" (the system's description of errno) on any other error
// or on a source that returns no bytes.
SampleRng from_entropy_source(EntropySource source);
}  // namespace detail

}  // namespace vorn::sim
