// ChaCha12 keystream generator, its two keyings and the 64-bit draw.
#include "simulator/rng.h"

#include <sys/random.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/abort.h"
#include "simulator/messages.h"

namespace vorn::sim {
namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865u, 0x3320646eu, 0x79622d32u,
                                                 0x6b206574u};

constexpr std::uint32_t rotl(std::uint32_t x, unsigned r) { return (x << r) | (x >> (32 - r)); }

constexpr std::uint32_t rotr(std::uint32_t x, unsigned r) {
  return r == 0 ? x : (x >> r) | (x << (32 - r));
}

inline void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 7);
}

}  // namespace

std::array<std::uint32_t, 16> chacha12_block(const std::array<std::uint32_t, 8>& key,
                                             std::uint64_t block, std::uint64_t stream) {
  // Words 12 and 13 hold the 64-bit block number, 14 and 15 the 64-bit nonce, low half first.
  std::array<std::uint32_t, 16> input = {
      kSigma[0],
      kSigma[1],
      kSigma[2],
      kSigma[3],
      key[0],
      key[1],
      key[2],
      key[3],
      key[4],
      key[5],
      key[6],
      key[7],
      static_cast<std::uint32_t>(block),
      static_cast<std::uint32_t>(block >> 32),
      static_cast<std::uint32_t>(stream),
      static_cast<std::uint32_t>(stream >> 32),
  };
  std::array<std::uint32_t, 16> x = input;
  // Twelve rounds: six column-then-diagonal double rounds.
  for (int i = 0; i < 6; ++i) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (std::size_t j = 0; j < 16; ++j) {
    x[j] += input[j];
  }
  return x;
}

SampleRng SampleRng::from_key(const std::array<std::uint32_t, 8>& key, std::uint64_t stream) {
  SampleRng rng;
  rng.key_ = key;
  rng.stream_ = stream;
  return rng;
}

std::uint64_t draw_at(const std::array<std::uint32_t, 8>& key, std::uint64_t stream,
                      std::uint64_t d) {
  // Eight draws per block: draw d is words 2(d mod 8) and 2(d mod 8) + 1 of block d / 8.
  const std::array<std::uint32_t, 16> block = chacha12_block(key, d / 8, stream);
  const std::size_t word = static_cast<std::size_t>(d % 8) * 2;
  return static_cast<std::uint64_t>(block[word]) |
         (static_cast<std::uint64_t>(block[word + 1]) << 32);
}

SampleRng SampleRng::seed_from_u64(std::uint64_t seed) {
  // Eight PCG32 (XSH-RR 64/32) outputs; the state advances before each output.
  std::array<std::uint32_t, 8> key{};
  std::uint64_t s = seed;
  for (std::uint32_t& word : key) {
    s = s * 6364136223846793005ull + 11634580027462260723ull;
    const auto xorshifted = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
    const auto rot = static_cast<unsigned>(s >> 59);
    word = rotr(xorshifted, rot);
  }
  return from_key(key);
}

SampleRng detail::from_entropy_source(EntropySource source) {
  std::array<unsigned char, 32> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    errno = 0;
    const ssize_t got = source(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      const int err = errno;
      if (err == EINTR) {
        continue;
      }
      core::abort_with(messages::entropy_failed(std::generic_category().message(err)));
    }
    if (got == 0 || static_cast<std::size_t>(got) > bytes.size() - filled) {
      // A source that makes no progress, or claims more than was asked, would loop forever or
      // overrun the buffer.
      core::abort_with(messages::entropy_failed(std::generic_category().message(EIO)));
    }
    filled += static_cast<std::size_t>(got);
  }
  std::array<std::uint32_t, 8> key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint32_t>(bytes[4 * i]) |
             (static_cast<std::uint32_t>(bytes[4 * i + 1]) << 8) |
             (static_cast<std::uint32_t>(bytes[4 * i + 2]) << 16) |
             (static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24);
  }
  return SampleRng::from_key(key);
}

SampleRng SampleRng::from_entropy() { return detail::from_entropy_source(&::getrandom); }

void SampleRng::refill() {
  for (unsigned k = 0; k < 4; ++k) {
    const std::array<std::uint32_t, 16> block = chacha12_block(key_, counter_ + k, stream_);
    for (unsigned j = 0; j < 16; ++j) {
      buffer_[16 * k + j] = block[j];
    }
  }
  counter_ += 4;
  position_ = 0;
}

std::uint64_t SampleRng::next_u64() {
  if (position_ >= 64) {
    refill();
  }
  const std::uint64_t value = static_cast<std::uint64_t>(buffer_[position_]) |
                              (static_cast<std::uint64_t>(buffer_[position_ + 1]) << 32);
  position_ += 2;
  return value;
}

}  // namespace vorn::sim
