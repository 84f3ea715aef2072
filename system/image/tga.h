// TGA image files, and the front door that picks a reader by the file name.
//
//   Yr::Bitmap* picture = Yr::Image::Load("art/tree.tga", Yr::Image::FormatR8G8B8A8);
//   if (picture != nullptr) {
//     Yr::Image::TGA::Save("copy.tga", picture);
//     delete picture;   // the caller owns what Load returns
//   }
//
// TGA::Load reads uncompressed and run-length-encoded files: true colour (16, 24 and 32
// bits), colour-mapped (8-bit indices into a map of 15-, 16-, 24- or 32-bit entries) and
// 8-bit grey. Colour-mapped and grey files have the file format FormatIndexed8 (a grey file
// gets a grey ramp as its palette). Row 0 of the bitmap is always the top of the picture,
// whichever row order the file has. Rows a short file does not hold are zero, and so are
// the pixels of a requested format nothing converts into (FormatIndexed8 from true colour).
//
// 16-bit files store red in the high bits (x1r5g5b5); Load turns their words into the
// FormatA1B5G5R5 layout (red in the low bits) and Save turns them back, so colours stay right
// both ways. A 16-bit file whose descriptor claims no alpha bit reads as opaque.
//
// Files are outside input. A file is refused (null) when its header is short or names a
// kind of file the reader does not handle, when the requested format is not a format, or
// when the picture has more than kMaxPixels pixels, so a small file cannot make the loader
// allocate gigabytes.
//
// Save writes an uncompressed true-colour file of the bitmap's pixels, top row first,
// whatever the bitmap's format: B8G8R8A8, B8G8R8 and A1B5G5R5 bitmaps give files other
// readers show as they are. Every call opens and closes its own file; different files may be
// read and written from different threads at once.
#pragma once

#include <cstdint>

#include "system/image/bitmap.h"
#include "system/platform/export.h"

namespace Yr::Image {

class YR_API TGA {
 public:
  // The largest picture Load accepts: 8192 x 8192 pixels, or any other shape of that area.
  static constexpr uint32_t kMaxPixels = 1u << 26;
  static constexpr unsigned int kHeaderBytes = 18;

  // A new bitmap in the requested format (FormatFromFile: the file's own), or null.
  static Bitmap* Load(const char* fileName, Format format);
  // The file format by the header, or FormatUnknown when the file does not open or is
  // refused.
  static Format GetFormat(const char* fileName);
  // Replaces the file; a file that cannot be created is left alone without a report.
  static void Save(const char* fileName, const Bitmap* bitmap);

  TGA& operator=(const TGA&) { return *this; }
};

// Files whose name contains ".tga" (case-sensitive, anywhere in the name) go to the TGA
// reader; any other name gives null and FormatUnknown.
YR_API Bitmap* Load(const char* fileName, Format format);
YR_API Format GetFormat(const char* fileName);

}  // namespace Yr::Image
