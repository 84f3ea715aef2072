#include "system/image/bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace Yr::Image;
using Yr::Bitmap;
using Yr::Color32;

// ---- A slow reference: every channel at its own width, resized by the format rules ------

struct Channel {
  unsigned value, bits;  // bits 0: the format has no such channel
};
struct Pixel {
  Channel r, g, b, a;
};

const unsigned kBpp[8] = {1, 4, 4, 3, 3, 2, 2, 1};

Pixel Decode(unsigned format, const uint8_t* p, const Color32* palette) {
  const unsigned w = p[0] | (format == 5 || format == 6 ? p[1] << 8 : 0);
  switch (format) {
    case 1: return {{p[2], 8}, {p[1], 8}, {p[0], 8}, {p[3], 8}};
    case 2: return {{p[0], 8}, {p[1], 8}, {p[2], 8}, {p[3], 8}};
    case 3: return {{p[2], 8}, {p[1], 8}, {p[0], 8}, {0, 0}};
    case 4: return {{p[0], 8}, {p[1], 8}, {p[2], 8}, {0, 0}};
    case 5: return {{w >> 11, 5}, {(w >> 5) & 63, 6}, {w & 31, 5}, {0, 0}};
    case 6: return {{w & 31, 5}, {(w >> 5) & 31, 5}, {(w >> 10) & 31, 5}, {w >> 15, 1}};
    default: {
      const Color32 c = palette[p[0]];
      return {{c.r, 8}, {c.g, 8}, {c.b, 8}, {c.a, 8}};
    }
  }
}

// Narrowing keeps the top bits, widening shifts without filling, 1-bit alpha widens to
// 0 or all ones, and a missing alpha is all ones.
unsigned Resize(Channel c, unsigned bits, bool isAlpha) {
  if (c.bits == 0) return (1u << bits) - 1;
  if (isAlpha && c.bits == 1) return c.value ? (1u << bits) - 1 : 0;
  return bits < c.bits ? c.value >> (c.bits - bits) : c.value << (bits - c.bits);
}

void Encode(unsigned format, const Pixel& px, uint8_t* p) {
  const unsigned r8 = Resize(px.r, 8, false), g8 = Resize(px.g, 8, false), b8 = Resize(px.b, 8, false);
  const unsigned a8 = Resize(px.a, 8, true);
  unsigned w = 0;
  switch (format) {
    case 1: p[0] = b8, p[1] = g8, p[2] = r8, p[3] = a8; return;
    case 2: p[0] = r8, p[1] = g8, p[2] = b8, p[3] = a8; return;
    case 3: p[0] = b8, p[1] = g8, p[2] = r8; return;
    case 4: p[0] = r8, p[1] = g8, p[2] = b8; return;
    case 5: w = Resize(px.r, 5, false) << 11 | Resize(px.g, 6, false) << 5 | Resize(px.b, 5, false); break;
    case 6:
      w = Resize(px.a, 1, true) << 15 | Resize(px.b, 5, false) << 10 | Resize(px.g, 5, false) << 5 | Resize(px.r, 5, false);
      break;
  }
  p[0] = static_cast<uint8_t>(w);
  p[1] = static_cast<uint8_t>(w >> 8);
}

enum class Kind { kNone, kCopy, kConvert };

Kind KindOf(unsigned src, unsigned dst) {
  if (src >= 8 || dst >= 8 || src == 0 || dst == 0) return Kind::kNone;
  if (src == dst) return Kind::kCopy;
  return dst == 7 ? Kind::kNone : Kind::kConvert;
}

// Every pair of format values (the eight formats and values outside the table), with pixel
// counts around the vector block sizes and a partial pixel at the end, against the slow
// reference; at every vector level. The bytes after the converted pixels must
// be untouched.
TEST(ConvertTest, EveryPairMatchesTheReference) {
  const unsigned formats[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 200};
  const size_t counts[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 64, 250};
  constexpr uint8_t kSentinel = 0xA5;
  std::mt19937 random(3);
  Color32 palette[256];
  for (Color32& c : palette) c = Color32::FromValue(static_cast<uint32_t>(random()));

  const int before = Detail::SetVectorLevel(2);
  for (int vector : {2, 1, 0}) {
    Detail::SetVectorLevel(vector);
    for (unsigned src : formats) {
      for (unsigned dst : formats) {
        const unsigned srcBpp = src < 8 ? kBpp[src] : 1, dstBpp = dst < 8 ? kBpp[dst] : 1;
        for (size_t count : counts) {
          for (unsigned partial = 0; partial < srcBpp; ++partial) {
            std::vector<uint8_t> in(count * srcBpp + partial);
            for (uint8_t& byte : in) byte = static_cast<uint8_t>(random());
            std::vector<uint8_t> out(count * dstBpp + 8, kSentinel);
            std::vector<uint8_t> expected(out);
            switch (KindOf(src, dst)) {
              case Kind::kNone: break;
              case Kind::kCopy: std::copy(in.begin(), in.begin() + static_cast<long>(count * srcBpp), expected.begin()); break;
              case Kind::kConvert:
                for (size_t i = 0; i < count; ++i) Encode(dst, Decode(src, &in[i * srcBpp], palette), &expected[i * dstBpp]);
                break;
            }
            Convert(out.data(), static_cast<Format>(dst), in.data(), static_cast<Format>(src),
                    static_cast<unsigned>(in.size()), palette);
            ASSERT_EQ(out, expected) << "from " << src << " to " << dst << ", " << count << " pixels + " << partial
                                     << " bytes, vector " << vector;
          }
        }
      }
    }
  }
  Detail::SetVectorLevel(before);
}

TEST(ConvertTest, TableShapeAndKnownPixels) {
  for (unsigned src = 0; src < 10; ++src) {
    for (unsigned dst = 0; dst < 10; ++dst) {
      Detail::ConvertFunc f = Detail::GetConverter(static_cast<Format>(src), static_cast<Format>(dst));
      EXPECT_EQ(f == &Detail::Unsupported::Invoke, KindOf(src, dst) == Kind::kNone) << src << " " << dst;
      EXPECT_EQ(f == &Detail::MemCpy::Invoke, KindOf(src, dst) == Kind::kCopy) << src << " " << dst;
    }
  }
  uint8_t out[4] = {};
  const uint16_t white565 = 0xFFFF;
  Convert(out, FormatB8G8R8A8, &white565, FormatR5G6B5, 2, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{248, 252, 248, 255}));

  const uint16_t noAlpha = 0x7FFF, alpha = 0x8000;
  Convert(out, FormatR8G8B8A8, &noAlpha, FormatA1B5G5R5, 2, nullptr);
  EXPECT_EQ(out[3], 0);
  Convert(out, FormatR8G8B8A8, &alpha, FormatA1B5G5R5, 2, nullptr);
  EXPECT_EQ(out[3], 255);

  const uint8_t red127[4] = {255, 0, 0, 127};
  uint16_t word = 0xFFFF;
  Convert(&word, FormatA1B5G5R5, red127, FormatR8G8B8A8, 4, nullptr);
  EXPECT_EQ(word, 0x001F);
  const uint8_t black[3] = {0, 0, 0};
  Convert(&word, FormatA1B5G5R5, black, FormatB8G8R8, 3, nullptr);
  EXPECT_EQ(word, 0x8000);

  // A missing palette reads as all zero.
  const uint8_t index = 9;
  Convert(out, FormatR8G8B8A8, &index, FormatIndexed8, 1, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0, 0, 0, 0}));

  EXPECT_EQ(GetFormatPitch(FormatB8G8R8, 10), 30u);
  EXPECT_EQ(GetFormatPitch(FormatFromFile, 10), 0u);
  EXPECT_EQ(GetFormatPitch(static_cast<Format>(1000), 10), 0u);
}

// Counts the library's allocations and frees.
class CountingHook : public Yr::AllocatorHook {
 public:
  void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    ++allocations;
    lastAlignment = alignment;
    return Yr::OrigAlignedMalloc(size, static_cast<int>(alignment), nullptr, 0);
  }
  void AlignedFree(void* block) override {
    if (block != nullptr) ++frees;
    Yr::OrigAlignedFree(block);
  }
  unsigned int GetAllocationSize(void* block, unsigned int alignment) override {
    return Yr::OrigGetAllocationSize(block, alignment);
  }
  int allocations = 0, frees = 0;
  unsigned lastAlignment = 0;
};

TEST(BitmapTest, InitAllocatesThroughTheHookAndDeleteFreesEverything) {
  CountingHook hook;
  Yr::AllocatorHook* before = Yr::AllocatorHook::Install(&hook);
  Bitmap* bitmap = new Bitmap;
  bitmap->Init(Yr::Size{5, 3}, FormatR5G6B5, 0, nullptr);
  EXPECT_EQ(bitmap->mPitch, 10u);
  EXPECT_EQ(bitmap->mBytesPerPixel, 2u);
  EXPECT_EQ(bitmap->mPalette, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bitmap->mPixels) % 16, 0u);
  delete bitmap;

  bitmap = new Bitmap;
  void* own = Yr::Detail::Allocate(64 * 2);
  bitmap->Init(Yr::Size{2, 2}, FormatIndexed8, 64, own);  // adopted, with a pitch of its own
  EXPECT_EQ(bitmap->mPixels, own);
  EXPECT_EQ(bitmap->mPitch, 64u);
  ASSERT_NE(bitmap->mPalette, nullptr);
  for (unsigned i = 0; i < kPaletteEntries; ++i) ASSERT_EQ(bitmap->mPalette[i], Color32(0, 0, 0, 0));
  delete bitmap;
  Yr::AllocatorHook::Install(before);
  // Two bitmap objects, two pixel blocks (the adopted one too) and one palette.
  EXPECT_EQ(hook.allocations, 5);
  EXPECT_EQ(hook.frees, 5);
}

struct ClearCase {
  Format format;
  std::vector<uint8_t> pixel;  // the colour (255, 0, 0, 255) in the format
};

TEST(BitmapTest, ClearFillsEveryPixelAndLeavesPadding) {
  const ClearCase cases[] = {
      {FormatB8G8R8A8, {0, 0, 255, 255}}, {FormatR8G8B8A8, {255, 0, 0, 255}}, {FormatB8G8R8, {0, 0, 255}},
      {FormatR8G8B8, {255, 0, 0}},        {FormatR5G6B5, {0x00, 0xF8}},        {FormatA1B5G5R5, {0x1F, 0x80}},
      {FormatIndexed8, {0}},
  };
  for (const ClearCase& c : cases) {
    Bitmap bitmap;
    const unsigned bpp = GetBytesPerPixel(c.format);
    bitmap.Init(Yr::Size{7, 4}, c.format, 7 * bpp + 5, nullptr);
    std::memset(bitmap.mPixels, 0x5A, bitmap.mPitch * bitmap.mHeight);
    if (bitmap.mPalette) bitmap.mPalette[3] = Color32(1, 2, 3, 4);
    bitmap.Clear(Color32(255, 0, 0, 255));
    for (unsigned row = 0; row < 4; ++row) {
      for (unsigned x = 0; x < 7; ++x) {
        EXPECT_EQ(std::vector<uint8_t>(bitmap.GetRow(row) + x * bpp, bitmap.GetRow(row) + (x + 1) * bpp), c.pixel)
            << c.format << " " << row << " " << x;
      }
      // Row 0's padding is never written; the other rows copy it whole.
      EXPECT_EQ(bitmap.GetRow(row)[7 * bpp], 0x5A);
    }
    if (bitmap.mPalette) {
      EXPECT_EQ(bitmap.mPalette[3], Color32(1, 2, 3, 4));  // the palette stays
    }
  }
  Bitmap unknown;
  unknown.Init(Yr::Size{3, 2}, FormatUnknown, 0, nullptr);
  std::memset(unknown.mPixels, 0x77, 6);
  unknown.Clear(Color32(1, 2, 3, 4));
  EXPECT_EQ(static_cast<uint8_t*>(unknown.mPixels)[0], 0x77);
  EXPECT_EQ(static_cast<uint8_t*>(unknown.mPixels)[5], 0x77);
  Bitmap empty;
  empty.Clear(Color32(1, 2, 3, 4));  // no pixels: nothing to do
}

}  // namespace
