// The pixel-format conversion table. Each supported pair is one loop instantiated from the
// read rule of its source and the write rule of its destination, so there is no dispatch
// per pixel; every channel passes through an 8-bit value, which gives exactly the bit rules
// of the formats (5 to 6 bits by way of 8 is a shift left by 1, 6 to 5 drops the low bit).
// The busiest pairs (swizzles between the 8-bit layouts, 16-bit to 32-bit expansion) also
// have vector loops, used when the processor has SSSE3 (and AVX2 for the expansion).
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <utility>

#include "system/image/bitmap.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define YR_IMAGE_VECTOR 1
#else
#define YR_IMAGE_VECTOR 0
#endif

namespace Yr::Image {

namespace {

using Detail::ConvertFunc;

constexpr unsigned int kBytesPerPixel[kFormatCount] = {1, 4, 4, 3, 3, 2, 2, 1};

struct Rgba {
  uint8_t r, g, b, a;
};

constexpr uint8_t kOpaque = 255;

inline uint16_t LoadWord(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void StoreWord(uint8_t* p, unsigned int word) {
  p[0] = static_cast<uint8_t>(word);
  p[1] = static_cast<uint8_t>(word >> 8);
}

// One read rule and one write rule per format.
template <unsigned int F>
struct Layout;

template <>
struct Layout<FormatB8G8R8A8> {
  static constexpr unsigned int kBytes = 4;
  static Rgba Read(const uint8_t* p, const Color32*) { return {p[2], p[1], p[0], p[3]}; }
  static void Write(uint8_t* p, Rgba c) { p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = c.a; }
};

template <>
struct Layout<FormatR8G8B8A8> {
  static constexpr unsigned int kBytes = 4;
  static Rgba Read(const uint8_t* p, const Color32*) { return {p[0], p[1], p[2], p[3]}; }
  static void Write(uint8_t* p, Rgba c) { p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = c.a; }
};

template <>
struct Layout<FormatB8G8R8> {
  static constexpr unsigned int kBytes = 3;
  static Rgba Read(const uint8_t* p, const Color32*) { return {p[2], p[1], p[0], kOpaque}; }
  static void Write(uint8_t* p, Rgba c) { p[0] = c.b, p[1] = c.g, p[2] = c.r; }
};

template <>
struct Layout<FormatR8G8B8> {
  static constexpr unsigned int kBytes = 3;
  static Rgba Read(const uint8_t* p, const Color32*) { return {p[0], p[1], p[2], kOpaque}; }
  static void Write(uint8_t* p, Rgba c) { p[0] = c.r, p[1] = c.g, p[2] = c.b; }
};

template <>
struct Layout<FormatR5G6B5> {
  static constexpr unsigned int kBytes = 2;
  static Rgba Read(const uint8_t* p, const Color32*) {
    const unsigned int w = LoadWord(p);
    return {static_cast<uint8_t>((w >> 11) << 3), static_cast<uint8_t>(((w >> 5) & 0x3F) << 2),
            static_cast<uint8_t>((w & 0x1F) << 3), kOpaque};
  }
  static void Write(uint8_t* p, Rgba c) { StoreWord(p, (c.r >> 3) << 11 | (c.g >> 2) << 5 | c.b >> 3); }
};

template <>
struct Layout<FormatA1B5G5R5> {
  static constexpr unsigned int kBytes = 2;
  static Rgba Read(const uint8_t* p, const Color32*) {
    const unsigned int w = LoadWord(p);
    return {static_cast<uint8_t>((w & 0x1F) << 3), static_cast<uint8_t>(((w >> 5) & 0x1F) << 3),
            static_cast<uint8_t>(((w >> 10) & 0x1F) << 3), static_cast<uint8_t>(w & 0x8000 ? 255 : 0)};
  }
  // 8-bit alpha keeps its top bit; an opaque source (alpha 255) sets it.
  static void Write(uint8_t* p, Rgba c) { StoreWord(p, (c.a >> 7) << 15 | (c.b >> 3) << 10 | (c.g >> 3) << 5 | c.r >> 3); }
};

template <>
struct Layout<FormatIndexed8> {
  static constexpr unsigned int kBytes = 1;
  static Rgba Read(const uint8_t* p, const Color32* palette) {
    const Color32 c = palette[*p];
    return {c.r, c.g, c.b, c.a};
  }
};

// The portable loop of a pair, from pixel first up to count.
template <unsigned int S, unsigned int D>
void ConvertRange(uint8_t* dst, const uint8_t* src, size_t first, size_t count, const Color32* palette) {
  for (size_t i = first; i < count; ++i) {
    Layout<D>::Write(dst + i * Layout<D>::kBytes, Layout<S>::Read(src + i * Layout<S>::kBytes, palette));
  }
}

// ---- Vector loops ------------------------------------------------------------------------
// Each converts whole blocks from the start and returns the number of pixels it did; the
// portable loop finishes the rest. A loop never loads past the last whole source pixel.

// Vector level in use: -1 not asked yet, then 0 (portable loops), 1 (SSSE3), 2 (AVX2).
std::atomic<int> gVectorLevel{-1};

int ProcessorVectorLevel() {
#if YR_IMAGE_VECTOR
  if (__builtin_cpu_supports("avx2")) return 2;
  if (__builtin_cpu_supports("ssse3")) return 1;
#endif
  return 0;
}

int VectorLevel() {
  int level = gVectorLevel.load(std::memory_order_relaxed);
  if (level < 0) {
    level = ProcessorVectorLevel();
    gVectorLevel.store(level, std::memory_order_relaxed);
  }
  return level;
}

#if YR_IMAGE_VECTOR
#define YR_VECTOR_TARGET [[gnu::target("ssse3")]]

// Byte shuffles: index of the source byte for each destination byte, -1 (0x80) for zero.
// Blue and red trade places within each 4-byte pixel.
YR_VECTOR_TARGET inline __m128i SwapRedBlue4() { return _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15); }

YR_VECTOR_TARGET size_t SwapRedBlue32(uint8_t* dst, const uint8_t* src, size_t pixels) {
  const __m128i shuffle = SwapRedBlue4();
  size_t i = 0;
  for (; i + 8 <= pixels; i += 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i), _mm_shuffle_epi8(a, shuffle));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i + 16), _mm_shuffle_epi8(b, shuffle));
  }
  return i;
}

// Four 3-byte pixels (the first 12 bytes of a register) to four 4-byte pixels with alpha 255.
// keepOrder: bytes stay in place (BGR to BGRA); otherwise the first and third trade places.
template <bool kKeepOrder>
YR_VECTOR_TARGET inline __m128i Expand3To4Shuffle() {
  return kKeepOrder ? _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1)
                    : _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
}

template <bool kKeepOrder>
YR_VECTOR_TARGET size_t Expand24To32(uint8_t* dst, const uint8_t* src, size_t pixels) {
  const __m128i shuffle = Expand3To4Shuffle<kKeepOrder>();
  // The fourth group of a 48-byte block is loaded from byte 32, so its pixels sit at 4-15.
  const __m128i shuffleLast = _mm_add_epi8(shuffle, _mm_and_si128(_mm_set1_epi8(4), _mm_cmpgt_epi8(shuffle, _mm_set1_epi8(-1))));
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  size_t i = 0;
  for (; i + 16 <= pixels; i += 16) {
    const uint8_t* s = src + 3 * i;
    uint8_t* d = dst + 4 * i;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 12));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 24));
    const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_or_si128(_mm_shuffle_epi8(a, shuffle), alpha));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_or_si128(_mm_shuffle_epi8(b, shuffle), alpha));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), _mm_or_si128(_mm_shuffle_epi8(c, shuffle), alpha));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 48), _mm_or_si128(_mm_shuffle_epi8(e, shuffleLast), alpha));
  }
  return i;
}

// Four 4-byte pixels to four 3-byte pixels in the first 12 bytes; alpha is dropped.
template <bool kKeepOrder>
YR_VECTOR_TARGET inline __m128i Pack4To3Shuffle() {
  return kKeepOrder ? _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1)
                    : _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
}

template <bool kKeepOrder>
YR_VECTOR_TARGET size_t Pack32To24(uint8_t* dst, const uint8_t* src, size_t pixels) {
  const __m128i shuffle = Pack4To3Shuffle<kKeepOrder>();
  size_t i = 0;
  for (; i + 16 <= pixels; i += 16) {
    const uint8_t* s = src + 4 * i;
    uint8_t* d = dst + 3 * i;
    const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), shuffle);
    const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16)), shuffle);
    const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32)), shuffle);
    const __m128i e = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48)), shuffle);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_or_si128(a, _mm_slli_si128(b, 12)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(e, 4)));
  }
  return i;
}

// Eight 16-bit pixels to eight 4-byte pixels. Channels are widened by shifting (5 bits to
// 8 by 3, 6 to 8 by 2) like the portable rules; kRedFirst picks R8G8B8A8 over B8G8R8A8.
template <unsigned int S, bool kRedFirst>
YR_VECTOR_TARGET size_t Expand16To32(uint8_t* dst, const uint8_t* src, size_t pixels) {
  const __m128i five = _mm_set1_epi16(0x1F);
  const __m128i six = _mm_set1_epi16(0x3F);
  const __m128i alphaHigh = _mm_set1_epi16(static_cast<short>(0xFF00));
  size_t i = 0;
  for (; i + 8 <= pixels; i += 8) {
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
    __m128i r, g, b, alpha;
    if constexpr (S == FormatR5G6B5) {
      r = _mm_slli_epi16(_mm_srli_epi16(w, 11), 3);
      g = _mm_slli_epi16(_mm_and_si128(_mm_srli_epi16(w, 5), six), 2);
      b = _mm_slli_epi16(_mm_and_si128(w, five), 3);
      alpha = alphaHigh;
    } else {
      r = _mm_slli_epi16(_mm_and_si128(w, five), 3);
      g = _mm_slli_epi16(_mm_and_si128(_mm_srli_epi16(w, 5), five), 3);
      b = _mm_slli_epi16(_mm_and_si128(_mm_srli_epi16(w, 10), five), 3);
      alpha = _mm_and_si128(_mm_srai_epi16(w, 15), alphaHigh);
    }
    const __m128i first = kRedFirst ? r : b;
    const __m128i third = kRedFirst ? b : r;
    const __m128i low = _mm_or_si128(first, _mm_slli_epi16(g, 8));  // bytes 0, 1 of each pixel
    const __m128i high = _mm_or_si128(third, alpha);                 // bytes 2, 3
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i), _mm_unpacklo_epi16(low, high));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i + 16), _mm_unpackhi_epi16(low, high));
  }
  return i;
}

// The same with sixteen pixels a step: the expansion does more work per byte than the
// swizzles, and the wider registers halve it.
template <unsigned int S, bool kRedFirst>
[[gnu::target("avx2")]] size_t Expand16To32Wide(uint8_t* dst, const uint8_t* src, size_t pixels) {
  const __m256i five = _mm256_set1_epi16(0x1F);
  const __m256i six = _mm256_set1_epi16(0x3F);
  const __m256i alphaHigh = _mm256_set1_epi16(static_cast<short>(0xFF00));
  size_t i = 0;
  for (; i + 16 <= pixels; i += 16) {
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * i));
    __m256i r, g, b, alpha;
    if constexpr (S == FormatR5G6B5) {
      r = _mm256_slli_epi16(_mm256_srli_epi16(w, 11), 3);
      g = _mm256_slli_epi16(_mm256_and_si256(_mm256_srli_epi16(w, 5), six), 2);
      b = _mm256_slli_epi16(_mm256_and_si256(w, five), 3);
      alpha = alphaHigh;
    } else {
      r = _mm256_slli_epi16(_mm256_and_si256(w, five), 3);
      g = _mm256_slli_epi16(_mm256_and_si256(_mm256_srli_epi16(w, 5), five), 3);
      b = _mm256_slli_epi16(_mm256_and_si256(_mm256_srli_epi16(w, 10), five), 3);
      alpha = _mm256_and_si256(_mm256_srai_epi16(w, 15), alphaHigh);
    }
    const __m256i low = _mm256_or_si256(kRedFirst ? r : b, _mm256_slli_epi16(g, 8));
    const __m256i high = _mm256_or_si256(kRedFirst ? b : r, alpha);
    // The unpacks work within each 128-bit half: pixels 0-3 and 8-11, then 4-7 and 12-15.
    const __m256i a = _mm256_unpacklo_epi16(low, high);
    const __m256i c = _mm256_unpackhi_epi16(low, high);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * i), _mm256_permute2x128_si256(a, c, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * i + 32), _mm256_permute2x128_si256(a, c, 0x31));
  }
  return i;
}
#endif  // YR_IMAGE_VECTOR

// The vector loop of a pair, or none.
template <unsigned int S, unsigned int D>
size_t VectorPart([[maybe_unused]] uint8_t* dst, [[maybe_unused]] const uint8_t* src, [[maybe_unused]] size_t pixels) {
#if YR_IMAGE_VECTOR
  constexpr bool k32 = (S == FormatB8G8R8A8 || S == FormatR8G8B8A8);
  constexpr bool k24 = (S == FormatB8G8R8 || S == FormatR8G8B8);
  constexpr bool kTo32 = (D == FormatB8G8R8A8 || D == FormatR8G8B8A8);
  constexpr bool kTo24 = (D == FormatB8G8R8 || D == FormatR8G8B8);
  // Blue first in both layouts, or red first in both: the byte order is kept.
  constexpr bool kSameOrder = (S == FormatB8G8R8A8 || S == FormatB8G8R8) == (D == FormatB8G8R8A8 || D == FormatB8G8R8);
  if constexpr (k32 && kTo32) {
    return SwapRedBlue32(dst, src, pixels);
  } else if constexpr (k24 && kTo32) {
    return Expand24To32<kSameOrder>(dst, src, pixels);
  } else if constexpr (k32 && kTo24) {
    return Pack32To24<kSameOrder>(dst, src, pixels);
  } else if constexpr ((S == FormatR5G6B5 || S == FormatA1B5G5R5) && kTo32) {
    if (VectorLevel() >= 2) return Expand16To32Wide<S, D == FormatR8G8B8A8>(dst, src, pixels);
    return Expand16To32<S, D == FormatR8G8B8A8>(dst, src, pixels);
  }
#endif
  return 0;
}

template <unsigned int S, unsigned int D>
void Routine(void* dst, const void* src, unsigned int bytes, const Color32* palette) {
  const size_t pixels = bytes / Layout<S>::kBytes;
  uint8_t* out = static_cast<uint8_t*>(dst);
  const uint8_t* in = static_cast<const uint8_t*>(src);
  const size_t done = VectorLevel() > 0 ? VectorPart<S, D>(out, in, pixels) : 0;
  ConvertRange<S, D>(out, in, done, pixels, palette);
}

// Without a vector loop the pair needs no state test at all.
template <unsigned int S, unsigned int D>
constexpr bool HasVectorPart() {
  constexpr bool k32 = (S == FormatB8G8R8A8 || S == FormatR8G8B8A8);
  constexpr bool k24 = (S == FormatB8G8R8 || S == FormatR8G8B8);
  constexpr bool kTo32 = (D == FormatB8G8R8A8 || D == FormatR8G8B8A8);
  constexpr bool kTo24 = (D == FormatB8G8R8 || D == FormatR8G8B8);
  return YR_IMAGE_VECTOR && (((k32 || k24) && (kTo32 || kTo24) && !(k24 && kTo24)) ||
                             ((S == FormatR5G6B5 || S == FormatA1B5G5R5) && kTo32));
}

template <unsigned int S, unsigned int D>
void PortableRoutine(void* dst, const void* src, unsigned int bytes, const Color32* palette) {
  ConvertRange<S, D>(static_cast<uint8_t*>(dst), static_cast<const uint8_t*>(src), 0, bytes / Layout<S>::kBytes, palette);
}

template <unsigned int S, unsigned int D>
constexpr ConvertFunc Entry() {
  if constexpr (S == 0 || D == 0 || (D == FormatIndexed8 && S != FormatIndexed8)) {
    return &Detail::Unsupported::Invoke;
  } else if constexpr (S == D) {
    return &Detail::MemCpy::Invoke;
  } else if constexpr (HasVectorPart<S, D>()) {
    return &Routine<S, D>;
  } else {
    return &PortableRoutine<S, D>;
  }
}

template <unsigned int S, size_t... D>
constexpr void FillRow(ConvertFunc (&row)[kFormatCount], std::index_sequence<D...>) {
  ((row[D] = Entry<S, static_cast<unsigned int>(D)>()), ...);
}

template <size_t... S>
constexpr auto BuildTable(std::index_sequence<S...>) {
  struct Table {
    ConvertFunc at[kFormatCount][kFormatCount];
  } table{};
  (FillRow<static_cast<unsigned int>(S)>(table.at[S], std::make_index_sequence<kFormatCount>()), ...);
  return table;
}

// Row: source format; column: destination format.
constexpr auto kTable = BuildTable(std::make_index_sequence<kFormatCount>());

// Stands in for a missing palette: an indexed source then reads as all zero.
constexpr Color32 kZeroPalette[kPaletteEntries] = {};

}  // namespace

unsigned int GetBytesPerPixel(Format format) { return format < kFormatCount ? kBytesPerPixel[format] : 0; }

unsigned int GetFormatPitch(Format format, unsigned int width) { return width * GetBytesPerPixel(format); }

void Convert(void* dst, Format dstFormat, const void* src, Format srcFormat, unsigned int srcBytes,
             const Color32* palette) {
  if (srcFormat >= kFormatCount || dstFormat >= kFormatCount) return;
  if (srcFormat == FormatIndexed8 && palette == nullptr) palette = kZeroPalette;
  // Whole pixels only: a copy must not carry a partial pixel into a destination sized for
  // whole ones.
  const unsigned int bytes = srcBytes - srcBytes % kBytesPerPixel[srcFormat];
  kTable.at[srcFormat][dstFormat](dst, src, bytes, palette);
}

namespace Detail {

void MemCpy::Invoke(void* dst, const void* src, unsigned int bytes, const Color32*) {
  if (bytes != 0) std::memcpy(dst, src, bytes);
}

void Unsupported::Invoke(void*, const void*, unsigned int, const Color32*) {}

ConvertFunc GetConverter(Format srcFormat, Format dstFormat) {
  if (srcFormat >= kFormatCount || dstFormat >= kFormatCount) return &Unsupported::Invoke;
  return kTable.at[srcFormat][dstFormat];
}

int SetVectorLevel(int level) {
  const int before = VectorLevel();
  gVectorLevel.store(std::clamp(level, 0, ProcessorVectorLevel()), std::memory_order_relaxed);
  return before;
}

}  // namespace Detail

}  // namespace Yr::Image
