#include "system/strings/hash.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace Yr {
namespace {

static_assert(std::endian::native == std::endian::little, "blocks are read as little-endian words");

constexpr uint64_t kGoldenRatio = 0x9E3779B97F4A7C13ull;
constexpr unsigned kWordBytes = sizeof(uint64_t);
constexpr unsigned kBlockBytes = 3 * kWordBytes;
constexpr unsigned kBitsPerByte = 8;

inline uint64_t LoadWord(const unsigned char* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

inline void Mix(uint64_t& a, uint64_t& b, uint64_t& c) {
  a -= b; a -= c; a ^= c >> 43;
  b -= c; b -= a; b ^= a << 9;
  c -= a; c -= b; c ^= b >> 8;
  a -= b; a -= c; a ^= c >> 38;
  b -= c; b -= a; b ^= a << 23;
  c -= a; c -= b; c ^= b >> 5;
  a -= b; a -= c; a ^= c >> 35;
  b -= c; b -= a; b ^= a << 49;
  c -= a; c -= b; c ^= b >> 11;
  a -= b; a -= c; a ^= c >> 12;
  b -= c; b -= a; b ^= a << 18;
  c -= a; c -= b; c ^= b >> 22;
}

// A tail byte, sign-extended to 64 bits and moved to its place; bits shifted past the top
// are dropped, as the additions are modulo 2^64.
inline uint64_t TailByte(unsigned char byte, unsigned position) {
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(byte))) << (kBitsPerByte * position);
}

}  // namespace

unsigned long long Hash(const char* key, unsigned long long length, unsigned long long seed) {
  const auto* k = reinterpret_cast<const unsigned char*>(key);
  uint64_t a = seed;
  uint64_t b = seed;
  uint64_t c = kGoldenRatio;
  uint64_t left = length;
  while (left >= kBlockBytes) {
    a += LoadWord(k);
    b += LoadWord(k + kWordBytes);
    c += LoadWord(k + 2 * kWordBytes);
    Mix(a, b, c);
    k += kBlockBytes;
    left -= kBlockBytes;
  }
  c += length;
  // The lowest byte of c holds the length, so c's tail bytes start one byte up.
  const unsigned n = static_cast<unsigned>(left);
  for (unsigned i = 0; i < n; ++i) {
    if (i < kWordBytes)
      a += TailByte(k[i], i);
    else if (i < 2 * kWordBytes)
      b += TailByte(k[i], i - kWordBytes);
    else
      c += TailByte(k[i], i - 2 * kWordBytes + 1);
  }
  Mix(a, b, c);
  return c;
}

}  // namespace Yr
