#include "system/strings/crc.h"

#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

#include <immintrin.h>

namespace Yr {
namespace {

static_assert(std::is_same_v<uint32_t, unsigned int>, "the table is handed out as unsigned int");
static_assert(std::endian::native == std::endian::little, "words are read as little-endian");

constexpr uint32_t kDefaultSeed = 0xFFFFFFFFu;
constexpr uint32_t kReflectedPolynomial = 0xEDB88320u;
constexpr uint32_t kMsbPolynomial = 0x04C11DB7u;
constexpr unsigned kTableSize = 256;
constexpr unsigned kSlices = 8;
constexpr unsigned kByteBits = 8;
constexpr uint32_t kByteMask = 0xFFu;
constexpr uint32_t kTopBit = 0x80000000u;
constexpr unsigned kTopByteShift = 24;

// Table k holds the CRC of a byte followed by k zero bytes, so eight bytes can be folded
// into the state with eight independent lookups. Table 0 is the classic byte table.
using SliceTables = std::array<std::array<uint32_t, kTableSize>, kSlices>;

constexpr SliceTables MakeReflectedTables() {
  SliceTables t{};
  for (uint32_t i = 0; i < kTableSize; ++i) {
    uint32_t r = i;
    for (unsigned bit = 0; bit < kByteBits; ++bit) r = (r >> 1) ^ ((r & 1u) ? kReflectedPolynomial : 0u);
    t[0][i] = r;
  }
  for (unsigned k = 1; k < kSlices; ++k)
    for (uint32_t i = 0; i < kTableSize; ++i) t[k][i] = (t[k - 1][i] >> kByteBits) ^ t[0][t[k - 1][i] & kByteMask];
  return t;
}

constexpr SliceTables MakeMsbTables() {
  SliceTables t{};
  for (uint32_t i = 0; i < kTableSize; ++i) {
    uint32_t r = i << kTopByteShift;
    for (unsigned bit = 0; bit < kByteBits; ++bit) r = (r << 1) ^ ((r & kTopBit) ? kMsbPolynomial : 0u);
    t[0][i] = r;
  }
  for (unsigned k = 1; k < kSlices; ++k)
    for (uint32_t i = 0; i < kTableSize; ++i)
      t[k][i] = (t[k - 1][i] << kByteBits) ^ t[0][t[k - 1][i] >> kTopByteShift];
  return t;
}

// Built by the compiler into read-only data: no start-up work.
constexpr SliceTables kReflectedTables = MakeReflectedTables();
constexpr SliceTables kMsbTables = MakeMsbTables();
static_assert(kReflectedTables[0][1] == 0x77073096u);
static_assert(kMsbTables[0][1] == kMsbPolynomial);

inline uint32_t LoadLittle32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint32_t LoadBig32(const uint8_t* p) { return __builtin_bswap32(LoadLittle32(p)); }

uint32_t ReflectedTable(const uint8_t* p, size_t n, uint32_t state) {
  const auto& t = kReflectedTables[0];
  for (size_t i = 0; i < n; ++i) state = (state >> kByteBits) ^ t[(state ^ p[i]) & kByteMask];
  return state;
}

uint32_t MsbTable(const uint8_t* p, size_t n, uint32_t reg) {
  const auto& t = kMsbTables[0];
  for (size_t i = 0; i < n; ++i) reg = (reg << kByteBits) ^ t[(reg >> kTopByteShift) ^ p[i]];
  return reg;
}

uint32_t ReflectedSliced(const uint8_t* p, size_t n, uint32_t state) {
  const auto& t = kReflectedTables;
  for (; n >= kSlices; p += kSlices, n -= kSlices) {
    const uint32_t lo = LoadLittle32(p) ^ state;
    const uint32_t hi = LoadLittle32(p + 4);
    state = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  return ReflectedTable(p, n, state);
}

uint32_t MsbSliced(const uint8_t* p, size_t n, uint32_t reg) {
  const auto& t = kMsbTables;
  for (; n >= kSlices; p += kSlices, n -= kSlices) {
    const uint32_t hi = LoadBig32(p) ^ reg;
    const uint32_t lo = LoadBig32(p + 4);
    reg = t[7][hi >> 24] ^ t[6][(hi >> 16) & 0xFF] ^ t[5][(hi >> 8) & 0xFF] ^ t[4][hi & 0xFF] ^
          t[3][lo >> 24] ^ t[2][(lo >> 16) & 0xFF] ^ t[1][(lo >> 8) & 0xFF] ^ t[0][lo & 0xFF];
  }
  return MsbTable(p, n, reg);
}

// Folding keeps a 128-bit block that is congruent, modulo the polynomial, to everything read
// so far. Moving a block forward over F bits multiplies its two 64-bit halves by x^(F+64) and
// x^F modulo P (the halves' carry-less products are at most 95 bits wide) and adds the next
// data block. At the end the block is itself run through the table loop from state 0, which
// reduces it to the 32-bit CRC. P = x^32 + the polynomial's bits.
constexpr uint64_t kFullPolynomial = (uint64_t{1} << 32) | kMsbPolynomial;

constexpr uint64_t XPowerModP(unsigned power) {
  uint64_t r = 1;
  for (unsigned i = 0; i < power; ++i) {
    r <<= 1;
    if (r >> 32) r ^= kFullPolynomial;
  }
  return r;
}

constexpr uint64_t Reverse64(uint64_t v) {
  uint64_t r = 0;
  for (unsigned i = 0; i < 64; ++i, v >>= 1) r = (r << 1) | (v & 1);
  return r;
}

constexpr unsigned kBlockBytes = 16;
constexpr unsigned kLanes = 4;
constexpr unsigned kStripeBytes = kLanes * kBlockBytes;
constexpr unsigned kBlockBits = kBlockBytes * kByteBits;
constexpr unsigned kStripeBits = kStripeBytes * kByteBits;
constexpr unsigned kLaneBits = 64;

// Multipliers for the lane that lands in the low 64 bits of the register and the one in the
// high 64 bits, for a move over `bits`.
struct FoldKeys {
  uint64_t lowLane;
  uint64_t highLane;
};

// Reflected order: a block loaded as it lies holds the higher-degree half in its low lane,
// and the product of two reflected lanes comes out one place too high, which x^(k-1) in
// place of x^k takes back.
constexpr FoldKeys ReflectedKeys(unsigned bits) {
  return {Reverse64(XPowerModP(bits + kLaneBits - 1)), Reverse64(XPowerModP(bits - 1))};
}
// Most-significant-bit-first: the block is byte-reversed on load, so the higher-degree half
// is the high lane and products are exact.
constexpr FoldKeys MsbKeys(unsigned bits) { return {XPowerModP(bits), XPowerModP(bits + kLaneBits)}; }

#define YR_CLMUL_TARGET __attribute__((target("pclmul,ssse3")))

YR_CLMUL_TARGET inline __m128i Keys(FoldKeys keys) {
  return _mm_set_epi64x(static_cast<long long>(keys.highLane), static_cast<long long>(keys.lowLane));
}

YR_CLMUL_TARGET inline __m128i Fold(__m128i block, __m128i keys, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(block, keys, 0x00), _mm_clmulepi64_si128(block, keys, 0x11)),
                       next);
}

struct ReflectedOrder {
  static uint32_t Table(const uint8_t* p, size_t n, uint32_t state) { return ReflectedTable(p, n, state); }
  static uint32_t Sliced(const uint8_t* p, size_t n, uint32_t state) { return ReflectedSliced(p, n, state); }
  static constexpr FoldKeys kStripe = ReflectedKeys(kStripeBits);
  static constexpr FoldKeys kBlock = ReflectedKeys(kBlockBits);
  YR_CLMUL_TARGET static __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  YR_CLMUL_TARGET static void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  // The state covers the first four bytes, lowest byte first.
  YR_CLMUL_TARGET static __m128i Start(uint32_t state) { return _mm_cvtsi32_si128(static_cast<int>(state)); }
};

struct MsbOrder {
  static uint32_t Table(const uint8_t* p, size_t n, uint32_t reg) { return MsbTable(p, n, reg); }
  static uint32_t Sliced(const uint8_t* p, size_t n, uint32_t reg) { return MsbSliced(p, n, reg); }
  static constexpr FoldKeys kStripe = MsbKeys(kStripeBits);
  static constexpr FoldKeys kBlock = MsbKeys(kBlockBits);
  YR_CLMUL_TARGET static __m128i Reverse(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  }
  YR_CLMUL_TARGET static __m128i Load(const uint8_t* p) {
    return Reverse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  YR_CLMUL_TARGET static void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), Reverse(v)); }
  // The register covers the first four bytes, highest byte first: after the byte reversal,
  // the top 32 bits.
  YR_CLMUL_TARGET static __m128i Start(uint32_t reg) { return _mm_set_epi32(static_cast<int>(reg), 0, 0, 0); }
};

// n >= kStripeBytes.
template <class Order>
YR_CLMUL_TARGET uint32_t Folded(const uint8_t* p, size_t n, uint32_t state) {
  __m128i x0 = _mm_xor_si128(Order::Load(p), Order::Start(state));
  __m128i x1 = Order::Load(p + kBlockBytes);
  __m128i x2 = Order::Load(p + 2 * kBlockBytes);
  __m128i x3 = Order::Load(p + 3 * kBlockBytes);
  p += kStripeBytes;
  n -= kStripeBytes;
  const __m128i stripe = Keys(Order::kStripe);
  for (; n >= kStripeBytes; p += kStripeBytes, n -= kStripeBytes) {
    x0 = Fold(x0, stripe, Order::Load(p));
    x1 = Fold(x1, stripe, Order::Load(p + kBlockBytes));
    x2 = Fold(x2, stripe, Order::Load(p + 2 * kBlockBytes));
    x3 = Fold(x3, stripe, Order::Load(p + 3 * kBlockBytes));
  }
  const __m128i block = Keys(Order::kBlock);
  __m128i x = Fold(Fold(Fold(x0, block, x1), block, x2), block, x3);
  for (; n >= kBlockBytes; p += kBlockBytes, n -= kBlockBytes) x = Fold(x, block, Order::Load(p));
  alignas(kBlockBytes) uint8_t last[kBlockBytes];
  Order::Store(last, x);
  return Order::Sliced(p, n, Order::Sliced(last, kBlockBytes, 0));
}

bool HasFolding() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
  }();
  return has;
}


// The fastest path the processor offers. Folding needs a whole stripe to start from.
template <class Order>
uint32_t Update(const void* data, size_t n, uint32_t state) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (n >= kStripeBytes && HasFolding()) return Folded<Order>(p, n, state);
  return Order::Sliced(p, n, state);
}

template <class Order>
uint32_t UpdateByPath(Detail::CrcPath path, const void* data, size_t n, uint32_t state) {
  switch (path) {
    case Detail::CrcPath::kTable: return Order::Table(static_cast<const uint8_t*>(data), n, state);
    case Detail::CrcPath::kSliced: return Order::Sliced(static_cast<const uint8_t*>(data), n, state);
    case Detail::CrcPath::kFolded: return Update<Order>(data, n, state);
  }
  return state;
}

}  // namespace

namespace Crc {

unsigned int DefaultSeed() { return kDefaultSeed; }
unsigned int DefaultPolynomial() { return kReflectedPolynomial; }
const unsigned int* GetCrc32Table() { return kReflectedTables[0].data(); }

unsigned int CalculateCrc32Incremental(const void* data, unsigned int length, unsigned int state) {
  return Update<ReflectedOrder>(data, length, state);
}

unsigned int CalculateCrc32(const void* data, unsigned int length) {
  return ~Update<ReflectedOrder>(data, length, kDefaultSeed);
}

unsigned int Calc(const void* data, unsigned int length, unsigned int seed) { return ~Update<MsbOrder>(data, length, ~seed); }

}  // namespace Crc

namespace Detail {

bool CrcPathSupported(CrcPath path) { return path != CrcPath::kFolded || HasFolding(); }

// Shorter inputs than a stripe take the sliced path on the folded path too, as the public
// functions do.
uint32_t Crc32ReflectedUpdate(CrcPath path, const void* data, size_t length, uint32_t state) {
  return UpdateByPath<ReflectedOrder>(path, data, length, state);
}

uint32_t Crc32MsbUpdate(CrcPath path, const void* data, size_t length, uint32_t reg) {
  return UpdateByPath<MsbOrder>(path, data, length, reg);
}

}  // namespace Detail
}  // namespace Yr
