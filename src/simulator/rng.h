// The run's random generator: ChaCha12 with a 64-bit block counter and a 64-bit nonce (not
// the RFC 8439 layout), four blocks per refill, 64-bit draws.
#pragma once

#include <array>
#include <cstdint>

namespace vorn::sim {

class SampleRng {
 public:
  // Keys the generator from a 64-bit seed through eight PCG32 (XSH-RR 64/32) outputs.
  static SampleRng seed_from_u64(std::uint64_t seed);
  // Keys the generator from 32 bytes of the operating system's random source; throws
  // core::Abort "from_entropy failed: {}" when the source fails.
  static SampleRng from_entropy();
  // Keys the generator directly from eight key words.
  static SampleRng from_key(const std::array<std::uint32_t, 8>& key);

  std::uint64_t next_u64();

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

}  // namespace vorn::sim
