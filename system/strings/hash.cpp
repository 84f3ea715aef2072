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

// The tail bytes of one word, each sign-extended and added at its place. Adding a byte of
// 0x80 or more sign-extended is adding it unsigned and taking 1 away just above it, so the
// word adds as it is, less its high bits moved up one place (the top byte's falls off).
inline uint64_t SignExtendedWord(uint64_t word) {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  return word - ((word & kHighBits) << 1);
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
  unsigned char tail[kBlockBytes] = {};
  if (left != 0) std::memcpy(tail, k, static_cast<size_t>(left));  // key may be null when empty
  a += SignExtendedWord(LoadWord(tail));
  b += SignExtendedWord(LoadWord(tail + kWordBytes));
  // The lowest byte of c holds the length, so c's tail bytes start one byte up; the 24th
  // byte never exists.
  c += SignExtendedWord(LoadWord(tail + 2 * kWordBytes)) << kBitsPerByte;
  Mix(a, b, c);
  return c;
}

}  // namespace Yr
