// Bitmaps and pixel formats.
//
// A Bitmap is a rectangle of pixels in one of eight formats (Image::Format), with a
// 256-entry palette of Color32 for the indexed format. Image::Convert turns a run of pixels
// of one format into another through a fixed 8 x 8 table of conversion routines: narrowing
// a channel keeps its top bits, widening shifts it up without filling the low bits, a
// source without alpha gives opaque pixels, and nothing converts into FormatIndexed8 but a
// copy of indices.
//
//   Yr::Bitmap* bitmap = new Yr::Bitmap;
//   bitmap->Init(Yr::Size{640, 480}, Yr::Image::FormatR8G8B8A8, 0, nullptr);
//   bitmap->Clear(Yr::Color32(255, 0, 0));
//   Yr::Image::Convert(out, Yr::Image::FormatB8G8R8, bitmap->mPixels, bitmap->mFormat,
//                      bitmap->mPitch * bitmap->mHeight, bitmap->mPalette);
//   delete bitmap;
//
// Ownership: a bitmap owns its pixel memory and its palette, also pixel memory a caller hands
// to Init, and frees both through the library's allocation entry points when it is
// destroyed; memory given to Init must therefore come from those entry points. Bitmaps are
// allocated through the same entry points (new and delete of Bitmap use them). Conversion
// and Clear touch only the memory they are given and may run on any thread.
#pragma once

#include <cstdint>

#include "system/math/color32.h"
#include "system/memory/allocator.h"
#include "system/platform/export.h"

namespace Yr {

namespace Image {

// Channel bits from the most significant; multi-byte pixels are little-endian words.
enum Format : uint32_t {
  FormatUnknown = 0,   // no layout: conversions from or to it do nothing
  FormatB8G8R8A8 = 1,  // bytes blue, green, red, alpha (32-bit TGA pixels)
  FormatR8G8B8A8 = 2,  // bytes red, green, blue, alpha (Color32)
  FormatB8G8R8 = 3,    // bytes blue, green, red
  FormatR8G8B8 = 4,    // bytes red, green, blue
  FormatR5G6B5 = 5,    // red 15-11, green 10-5, blue 4-0
  FormatA1B5G5R5 = 6,  // alpha 15, blue 14-10, green 9-5, red 4-0
  FormatIndexed8 = 7,  // one byte: index into the palette
  FormatFromFile = 9,  // only as a request to a loader: keep the file's format
};

// Formats 0-7 have a layout; the conversion table is kFormatCount x kFormatCount.
constexpr unsigned int kFormatCount = 8;
constexpr unsigned int kPaletteEntries = 256;

// Bytes per pixel of a format; 0 for a value outside 0-7.
YR_API unsigned int GetBytesPerPixel(Format format);
// width x bytes per pixel (0 for a format outside 0-7).
YR_API unsigned int GetFormatPitch(Format format, unsigned int width);

// Converts the whole pixels in the srcBytes bytes at src into dstFormat at dst, one
// destination pixel per source pixel; a partial pixel at the end is left alone. dst must
// have room for them. palette (256 entries) is read only for a FormatIndexed8 source; a
// null palette reads as all zero. A format outside 0-7 converts nothing.
YR_API void Convert(void* dst, Format dstFormat, const void* src, Format srcFormat, unsigned int srcBytes,
                    const Color32* palette);

namespace Detail {

// Every conversion routine: (destination, source, source byte count, palette).
using ConvertFunc = void (*)(void* dst, const void* src, unsigned int bytes, const Color32* palette);

// The conversion between equal formats: copies the bytes unchanged.
struct YR_API MemCpy {
  static void Invoke(void* dst, const void* src, unsigned int bytes, const Color32* palette);
};

// The conversions that are not supported: does nothing.
struct YR_API Unsupported {
  static void Invoke(void* dst, const void* src, unsigned int bytes, const Color32* palette);
};

// The table's routine for a pair; Unsupported for a format outside 0-7.
YR_API ConvertFunc GetConverter(Format srcFormat, Format dstFormat);

// The vector loops run where the processor has them: level 2 uses AVX2 and SSSE3, level 1
// SSSE3 only, level 0 the portable loops alone. Tests step down the levels to check every
// loop; a level is capped at what the processor has. Returns the level in use before.
YR_API int SetVectorLevel(int level);

}  // namespace Detail

}  // namespace Image

struct Size {
  uint32_t width = 0;
  uint32_t height = 0;
};

class YR_API Bitmap : public MemObject {
 public:
  Bitmap() = default;
  ~Bitmap();
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  // Sets the size and format; pitch is the given value or, when 0, width x bytes per pixel.
  // Adopts pixels, or allocates pitch x height bytes (16-byte aligned, contents undefined)
  // when it is null. FormatIndexed8 also gets an all-zero palette. Meant for a bitmap whose
  // pointers are still null: memory held before is not released.
  void Init(const Size& size, Image::Format format, unsigned int pitch, void* pixels);

  // Fills every pixel with colour: row 0 is converted from one palette index, then copied
  // whole (pitch bytes) into every further row. An indexed bitmap gets index 0 everywhere
  // and keeps its palette; a FormatUnknown bitmap has nothing written into row 0.
  void Clear(Color32 colour);

  uint8_t* GetRow(uint32_t row) const { return static_cast<uint8_t*>(mPixels) + static_cast<uintptr_t>(row) * mPitch; }

  uint32_t mWidth = 0;
  uint32_t mHeight = 0;
  void* mPixels = nullptr;     // row r at mPixels + r * mPitch; row 0 is the top
  Color32* mPalette = nullptr;  // 256 entries, only for FormatIndexed8
  Image::Format mFormat = Image::FormatUnknown;
  uint32_t mBytesPerPixel = 0;
  uint32_t mPitch = 0;
};

static_assert(sizeof(Size) == 2 * sizeof(uint32_t), "width, height");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Bitmap) == 28, "width, height, pixels, palette, format, bytes per pixel, pitch");
#endif

}  // namespace Yr
