#include "system/strings/hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

// The hash written out byte by byte, straight from its definition, to hold the word-wise
// implementation against: block bytes are added unsigned, tail bytes sign-extended.
uint64_t BytewiseHash(const unsigned char* k, uint64_t length, uint64_t seed) {
  auto mix = [](uint64_t& a, uint64_t& b, uint64_t& c) {
    const int shifts[12] = {43, 9, 8, 38, 23, 5, 35, 49, 11, 12, 18, 22};
    for (int round = 0; round < 4; ++round) {
      a -= b; a -= c; a ^= c >> shifts[3 * round];
      b -= c; b -= a; b ^= a << shifts[3 * round + 1];
      c -= a; c -= b; c ^= b >> shifts[3 * round + 2];
    }
  };
  uint64_t a = seed, b = seed, c = 0x9E3779B97F4A7C13ull;
  uint64_t done = 0;
  for (; length - done >= 24; done += 24) {
    for (int i = 0; i < 8; ++i) {
      a += uint64_t{k[done + i]} << (8 * i);
      b += uint64_t{k[done + 8 + i]} << (8 * i);
      c += uint64_t{k[done + 16 + i]} << (8 * i);
    }
    mix(a, b, c);
  }
  c += length;
  for (uint64_t i = 0; done + i < length; ++i) {
    const uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(k[done + i])));
    uint64_t& target = i < 8 ? a : i < 16 ? b : c;
    const uint64_t shift = i < 8 ? 8 * i : i < 16 ? 8 * (i - 8) : 8 * (i - 15);
    target += v << shift;
  }
  mix(a, b, c);
  return c;
}

uint64_t HashOf(const std::string& bytes, uint64_t seed = 0) { return Yr::Hash(bytes.data(), bytes.size(), seed); }

TEST(HashTest, KnownValues) {
  struct Case {
    std::string key;
    uint64_t seed;
    uint64_t expected;
  };
  const std::vector<Case> cases = {
      {"", 0, 0x8DB63936938575BFull},
      {std::string(23, '\x80'), 0, 0xDEA8D48ADA46978Bull},
      {"abc", 0, 0x9CB12E2BFEA87243ull},
      // The two high bytes of the tail are sign-extended (unsigned they give 0x4161F5C267909F88).
      {"\xE9\x74\xE9", 0, 0x23B0B10925F95E44ull},
      // Results of longer keys and other seeds, pinned so that every build must give the same
      // (they agree with the bytewise definition below).
      {"abcdefghijklmnopqrstuvwx", 0, 0xA96A1B599125E179ull},
      {"abcdefghijklmnopqrstuvwxy", 0, 0x8EE259BC77F9B9D4ull},
      {std::string(24, '\xFF'), 0, 0xACE94B067B0AF732ull},
      {std::string(47, '\x80'), 0x0123456789ABCDEFull, 0x86914AE01E4BD69Cull},
      {"The quick brown fox jumps over the lazy dog", 0xFFFFFFFFFFFFFFFFull, 0xE57E25E803B6F82Bull},
  };
  for (const Case& c : cases) EXPECT_EQ(HashOf(c.key, c.seed), c.expected) << "key of " << c.key.size() << " bytes";
}

TEST(HashTest, SignExtensionOnlyInTheLastPartialBlock) {
  // A high byte in a whole block is added as it is, so the block part of the hash of 24 0xFF
  // bytes equals what unsigned bytes give; a high byte in the tail adds ones above itself.
  std::string block(24, '\x01');
  std::string high = block;
  high[23] = '\x80';
  std::string tail = block + "\x01";
  std::string highTail = tail;
  highTail[24] = '\x80';
  for (const std::string* key : {&block, &high, &tail, &highTail})
    EXPECT_EQ(HashOf(*key), BytewiseHash(reinterpret_cast<const unsigned char*>(key->data()), key->size(), 0));
  EXPECT_NE(HashOf(high), HashOf(block));
  EXPECT_NE(HashOf(highTail), HashOf(tail));
}

TEST(HashTest, MatchesTheBytewiseDefinitionForEveryLengthAndByte) {
  std::mt19937_64 random(7);
  std::vector<unsigned char> bytes(300);
  for (size_t length = 0; length <= bytes.size(); ++length) {
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    const uint64_t seed = random();
    // Read from an odd address: the word loads must not care about alignment.
    std::vector<unsigned char> shifted(length + 1);
    std::copy(bytes.begin(), bytes.begin() + static_cast<long>(length), shifted.begin() + 1);
    EXPECT_EQ(Yr::Hash(reinterpret_cast<const char*>(shifted.data() + 1), length, seed),
              BytewiseHash(bytes.data(), length, seed))
        << "length " << length;
  }
}

TEST(HashTest, EveryInputBitAndSeedBitChangesTheResult) {
  std::string key = "a key of thirty-one characters!";
  const uint64_t base = HashOf(key);
  for (size_t bit = 0; bit < key.size() * 8; ++bit) {
    std::string flipped = key;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    EXPECT_NE(HashOf(flipped), base) << "bit " << bit;
  }
  for (int bit = 0; bit < 64; ++bit) EXPECT_NE(HashOf(key, uint64_t{1} << bit), base) << "seed bit " << bit;
  // The length counts too: a trailing zero byte is not the same key.
  EXPECT_NE(Yr::Hash(key.c_str(), key.size() + 1, 0), base);
}

}  // namespace
