// The run's generator: PCG32 keying, the ChaCha12 block layout, refills and entropy keying.
#include "simulator/rng.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/abort.h"

namespace vorn::sim {
namespace {

using Key = std::array<std::uint32_t, 8>;
using Block = std::array<std::uint32_t, 16>;

// An independent ChaCha: the state built word by word, the quarter-round written out on plain
// variables, any number of double rounds.
std::uint32_t rol(std::uint32_t v, int r) { return (v << r) | (v >> (32 - r)); }

void qr(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a = a + b;
  d = rol(d ^ a, 16);
  c = c + d;
  b = rol(b ^ c, 12);
  a = a + b;
  d = rol(d ^ a, 8);
  c = c + d;
  b = rol(b ^ c, 7);
}

Block reference_block(const Key& key, std::uint32_t w12, std::uint32_t w13, std::uint32_t w14,
                      std::uint32_t w15, int double_rounds) {
  Block in{};
  const char* sigma = "expand 32-byte k";
  for (int i = 0; i < 4; ++i) {
    in[i] = static_cast<std::uint32_t>(static_cast<unsigned char>(sigma[4 * i])) |
            static_cast<std::uint32_t>(static_cast<unsigned char>(sigma[4 * i + 1])) << 8 |
            static_cast<std::uint32_t>(static_cast<unsigned char>(sigma[4 * i + 2])) << 16 |
            static_cast<std::uint32_t>(static_cast<unsigned char>(sigma[4 * i + 3])) << 24;
  }
  for (int i = 0; i < 8; ++i) {
    in[4 + i] = key[i];
  }
  in[12] = w12;
  in[13] = w13;
  in[14] = w14;
  in[15] = w15;
  Block s = in;
  for (int r = 0; r < double_rounds; ++r) {
    qr(s[0], s[4], s[8], s[12]);
    qr(s[1], s[5], s[9], s[13]);
    qr(s[2], s[6], s[10], s[14]);
    qr(s[3], s[7], s[11], s[15]);
    qr(s[0], s[5], s[10], s[15]);
    qr(s[1], s[6], s[11], s[12]);
    qr(s[2], s[7], s[8], s[13]);
    qr(s[3], s[4], s[9], s[14]);
  }
  for (int i = 0; i < 16; ++i) {
    s[i] += in[i];
  }
  return s;
}

Block reference_chacha12(const Key& key, std::uint64_t block) {
  return reference_block(key, static_cast<std::uint32_t>(block),
                         static_cast<std::uint32_t>(block >> 32), 0, 0, 6);
}

// Draw d from the keystream of a nonce: bytes 8d .. 8d+7, little-endian.
std::uint64_t reference_draw(const Key& key, std::uint64_t d, std::uint64_t stream = 0) {
  const Block b = reference_block(
      key, static_cast<std::uint32_t>(d / 8), static_cast<std::uint32_t>((d / 8) >> 32),
      static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32), 6);
  const std::uint64_t w = (d % 8) * 2;
  return static_cast<std::uint64_t>(b[w]) | static_cast<std::uint64_t>(b[w + 1]) << 32;
}

Key seed_zero_key() {
  // PCG32 XSH-RR outputs for seed 0, computed here step by step.
  Key key{};
  std::uint64_t s = 0;
  for (auto& word : key) {
    s = s * 6364136223846793005ull + 11634580027462260723ull;
    const std::uint32_t x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
    const unsigned r = static_cast<unsigned>(s >> 59);
    word = (x >> r) | (x << ((32 - r) & 31));
  }
  return key;
}

TEST(ChaChaReferenceTest, TwentyRoundsReproduceThePublishedBlock) {
  // The block function test vector of RFC 8439 (section 2.3.2): key 00 01 .. 1f, block count 1,
  // nonce 00:00:00:09:00:00:00:4a:00:00:00:00, i.e. input words 12..15 = 1, 0x09000000,
  // 0x4a000000, 0. This validates the reference used below.
  Key key{};
  for (int i = 0; i < 8; ++i) {
    key[i] = static_cast<std::uint32_t>(4 * i) | static_cast<std::uint32_t>(4 * i + 1) << 8 |
             static_cast<std::uint32_t>(4 * i + 2) << 16 |
             static_cast<std::uint32_t>(4 * i + 3) << 24;
  }
  const Block expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                          0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                          0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(reference_block(key, 1, 0x09000000, 0x4a000000, 0, 10), expected);
}

TEST(SampleRngTest, SeedZeroFirstFourDraws) {
  SampleRng rng = SampleRng::seed_from_u64(0);
  EXPECT_EQ(rng.next_u64(), 0xbb2a3fb2cd2c6f7fu);
  EXPECT_EQ(rng.next_u64(), 0xc6017c948e27697bu);
  EXPECT_EQ(rng.next_u64(), 0x069dc102cf310a16u);
  EXPECT_EQ(rng.next_u64(), 0x958b761dabe5f6d0u);
}

TEST(SampleRngTest, SeedExpansionMatchesPcg32) {
  EXPECT_EQ(SampleRng::seed_from_u64(0).key(), seed_zero_key());
  // Seeds differing in one bit give different keys.
  EXPECT_NE(SampleRng::seed_from_u64(1).key(), SampleRng::seed_from_u64(0).key());
  EXPECT_NE(SampleRng::seed_from_u64(1ull << 63).key(), SampleRng::seed_from_u64(0).key());
}

TEST(SampleRngTest, DrawsAcrossSeveralRefillsMatchTheIndependentKeystream) {
  const Key key = seed_zero_key();
  SampleRng rng = SampleRng::seed_from_u64(0);
  // 32 draws per refill of four blocks; cover draws 0 .. 199 (six refills plus part of one).
  for (std::uint64_t d = 0; d < 200; ++d) {
    ASSERT_EQ(rng.next_u64(), reference_draw(key, d)) << "draw " << d;
  }
}

TEST(SampleRngTest, DrawThirtyTwoStartsBlockFour) {
  const Key key = seed_zero_key();
  SampleRng rng = SampleRng::seed_from_u64(0);
  for (int d = 0; d < 32; ++d) {
    rng.next_u64();
  }
  const Block block4 = reference_chacha12(key, 4);
  EXPECT_EQ(rng.next_u64(),
            static_cast<std::uint64_t>(block4[0]) | static_cast<std::uint64_t>(block4[1]) << 32);
  EXPECT_EQ(rng.next_u64(),
            static_cast<std::uint64_t>(block4[2]) | static_cast<std::uint64_t>(block4[3]) << 32);
}

TEST(SampleRngTest, ArbitraryKeysFollowTheSameStream) {
  const Key key = {0xdeadbeef, 1, 2, 0xffffffff, 0x80000000, 5, 6, 0x12345678};
  SampleRng rng = SampleRng::from_key(key);
  for (std::uint64_t d = 0; d < 70; ++d) {
    ASSERT_EQ(rng.next_u64(), reference_draw(key, d)) << "draw " << d;
  }
}

// The shots of a dynamic program draw from streams 1 and up of the run's key, one draw at a
// time from anywhere in the stream.
TEST(SampleRngTest, KeyedStreamsAndSingleDrawsFollowTheNonce) {
  const Key key = seed_zero_key();
  for (const std::uint64_t stream : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2},
                                     std::uint64_t{10001}, std::uint64_t{0x1122334455667788}}) {
    SCOPED_TRACE(stream);
    SampleRng rng = SampleRng::from_key(key, stream);
    for (std::uint64_t d = 0; d < 70; ++d) {
      const std::uint64_t expected = reference_draw(key, d, stream);
      ASSERT_EQ(rng.next_u64(), expected) << "draw " << d;
      ASSERT_EQ(draw_at(key, stream, d), expected) << "draw " << d;
    }
  }
  // Far into a stream: the block number's high half is used as well.
  const std::uint64_t far = (std::uint64_t{1} << 35) + 13;
  EXPECT_EQ(draw_at(key, 3, far), reference_draw(key, far, 3));
  // Stream 0 is the run's own generator; neighbouring streams differ.
  EXPECT_EQ(draw_at(key, 0, 0), SampleRng::seed_from_u64(0).next_u64());
  EXPECT_NE(draw_at(key, 1, 0), draw_at(key, 0, 0));
  EXPECT_NE(draw_at(key, 2, 0), draw_at(key, 1, 0));
}

TEST(ChaCha12BlockTest, CounterHighHalfAndNonceGoToWordsThirteenToFifteen) {
  const Key key = seed_zero_key();
  for (const std::uint64_t block :
       {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{0xffffffff}, std::uint64_t{1} << 32,
        std::uint64_t{0x123456789abcdef0}, ~std::uint64_t{0}}) {
    SCOPED_TRACE(block);
    EXPECT_EQ(chacha12_block(key, block, 0), reference_chacha12(key, block));
  }
  EXPECT_EQ(chacha12_block(key, 3, 0x1122334455667788),
            reference_block(key, 3, 0, 0x55667788, 0x11223344, 6));
  // Twelve rounds, not twenty or eight.
  EXPECT_NE(chacha12_block(key, 0, 0), reference_block(key, 0, 0, 0, 0, 10));
  EXPECT_NE(chacha12_block(key, 0, 0), reference_block(key, 0, 0, 0, 0, 4));
}

TEST(SampleRngTest, EntropyGivesDifferentKeys) {
  const SampleRng a = SampleRng::from_entropy();
  const SampleRng b = SampleRng::from_entropy();
  EXPECT_NE(a.key(), b.key());
}

// Scripted sources with getrandom's contract.
std::vector<ssize_t> g_script;  // >= 0: bytes to deliver; < 0: fail with -value as errno
std::size_t g_step = 0;
unsigned char g_next_byte = 0;

ssize_t scripted_source(void* buffer, std::size_t length, unsigned /*flags*/) {
  const ssize_t action = g_step < g_script.size() ? g_script[g_step] : 32;
  ++g_step;
  if (action < 0) {
    errno = static_cast<int>(-action);
    return -1;
  }
  const std::size_t n = std::min(length, static_cast<std::size_t>(action));
  auto* bytes = static_cast<unsigned char*>(buffer);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = g_next_byte++;
  }
  return static_cast<ssize_t>(n);
}

void start_script(std::vector<ssize_t> script) {
  g_script = std::move(script);
  g_step = 0;
  g_next_byte = 0;
}

const Key kCountingKey = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                          0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};

TEST(EntropySourceTest, BytesAreReadLittleEndianIntoKeyWords) {
  start_script({32});
  const SampleRng rng = detail::from_entropy_source(&scripted_source);
  EXPECT_EQ(rng.key(), kCountingKey);
  EXPECT_EQ(g_step, 1u);
}

TEST(EntropySourceTest, InterruptionsAndPartialReadsAreRetried) {
  start_script({-EINTR, 5, -EINTR, -EINTR, 1, 20, 32});
  SampleRng rng = detail::from_entropy_source(&scripted_source);
  EXPECT_EQ(rng.key(), kCountingKey);
  EXPECT_EQ(g_step, 7u);
  // A fresh generator: the first draw comes from block 0.
  EXPECT_EQ(rng.next_u64(), reference_draw(kCountingKey, 0));
}

std::string entropy_failure(std::vector<ssize_t> script) {
  start_script(std::move(script));
  try {
    detail::from_entropy_source(&scripted_source);
  } catch (const core::Abort& e) {
    return e.message();
  }
  return "<no abort>";
}

TEST(EntropySourceTest, FailureAbortsWithTheSystemDescription) {
  EXPECT_EQ(entropy_failure({-EIO}), std::string("from_entropy failed: ") + std::strerror(EIO));
  EXPECT_EQ(entropy_failure({8, -ENOSYS}),
            std::string("from_entropy failed: ") + std::strerror(ENOSYS));
  // A source that stops making progress fails instead of spinning.
  EXPECT_EQ(entropy_failure({8, 0}).rfind("from_entropy failed: ", 0), 0u);
}

}  // namespace
}  // namespace vorn::sim
