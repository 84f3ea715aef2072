#include "system/image/tga.h"

#include <algorithm>
#include <cstring>

#include "system/io/raw_file.h"
#include "system/memory/allocator.h"

namespace Yr::Image {

namespace {

// Header fields by offset; multi-byte fields are little-endian.
constexpr unsigned int kIdLength = 0;
constexpr unsigned int kMapType = 1;
constexpr unsigned int kImageType = 2;
constexpr unsigned int kMapFirst = 3;
constexpr unsigned int kMapLength = 5;
constexpr unsigned int kMapEntryBits = 7;
constexpr unsigned int kWidth = 12;
constexpr unsigned int kHeight = 14;
constexpr unsigned int kBitsPerPixel = 16;
constexpr unsigned int kDescriptor = 17;

constexpr uint8_t kTopFirst = 0x20;
constexpr uint8_t kAlphaBits = 0x0F;

enum ImageType : uint8_t {
  kColourMapped = 1,
  kTrueColour = 2,
  kGrey = 3,
  kRleColourMapped = 9,
  kRleTrueColour = 10,
  kRleGrey = 11,
};

// A run-length packet: a count byte (count - 1 in the low 7 bits), then one pixel repeated
// (high bit set) or count literal pixels.
constexpr unsigned int kRunPacket = 0x80;
constexpr unsigned int kPacketCount = 0x7F;
constexpr unsigned int kMaxPixelBytes = 4;

// 16-bit pixels: red and blue trade their 5-bit fields; green and bit 15 stay.
constexpr uint16_t kGreenAndAlpha = 0x83E0;
constexpr uint16_t kFiveBits = 0x1F;
constexpr unsigned int kHighFieldShift = 10;
constexpr uint16_t kAlphaBit = 0x8000;

constexpr unsigned int kPaletteBytes = kPaletteEntries * sizeof(Color32);
// Rows are read this many bytes at a time when they are converted on the way.
constexpr unsigned int kChunkBytes = 256 * 1024;
constexpr unsigned int kPacketBufferBytes = 64 * 1024;

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

struct Header {
  uint8_t idLength, mapType, imageType, mapEntryBits, bitsPerPixel, descriptor;
  uint16_t mapFirst, mapLength, width, height;
};

Header Parse(const uint8_t* b) {
  return Header{b[kIdLength],     b[kMapType],         b[kImageType],     b[kMapEntryBits],
                b[kBitsPerPixel], b[kDescriptor],      Word(b + kMapFirst), Word(b + kMapLength),
                Word(b + kWidth), Word(b + kHeight)};
}

// What the reader makes of a header; format FormatUnknown means refused.
struct Kind {
  Format format = FormatUnknown;
  unsigned int pixelBytes = 0;
  unsigned int mapEntryBytes = 0;  // colour-mapped files only
  bool grey = false;
  bool rle = false;
};

Kind Classify(const Header& h) {
  Kind kind;
  kind.rle = h.imageType == kRleColourMapped || h.imageType == kRleTrueColour || h.imageType == kRleGrey;
  switch (h.imageType) {
    case kColourMapped:
    case kRleColourMapped:
      // Only 8-bit indices fit the palette; the map may have any of the usual entry sizes.
      if (h.bitsPerPixel != 8) return {};
      if (h.mapEntryBits != 15 && h.mapEntryBits != 16 && h.mapEntryBits != 24 && h.mapEntryBits != 32) return {};
      kind.format = FormatIndexed8;
      kind.mapEntryBytes = (h.mapEntryBits + 7u) / 8u;
      break;
    case kTrueColour:
    case kRleTrueColour:
      if (h.mapType != 0) return {};
      if (h.bitsPerPixel == 32) {
        kind.format = FormatB8G8R8A8;
      } else if (h.bitsPerPixel == 24) {
        kind.format = FormatB8G8R8;
      } else if (h.bitsPerPixel == 16) {
        kind.format = FormatA1B5G5R5;
      } else {
        return {};
      }
      break;
    case kGrey:
    case kRleGrey:
      if (h.mapType != 0 || h.bitsPerPixel != 8) return {};
      kind.format = FormatIndexed8;
      kind.grey = true;
      break;
    default:
      return {};
  }
  kind.pixelBytes = GetBytesPerPixel(kind.format);
  return kind;
}

// Between the file's x1r5g5b5 words and the FormatA1B5G5R5 layout (the same swap both ways).
// setAlpha: the file keeps no alpha in bit 15, so every pixel is opaque.
void SwapRedBlue16(uint8_t* pixels, size_t count, bool setAlpha) {
  const uint16_t alpha = setAlpha ? kAlphaBit : 0;
  for (size_t i = 0; i < count; ++i) {
    uint16_t w;
    std::memcpy(&w, pixels + 2 * i, sizeof w);
    w = static_cast<uint16_t>((w & kGreenAndAlpha) | (w & kFiveBits) << kHighFieldShift | ((w >> kHighFieldShift) & kFiveBits) | alpha);
    std::memcpy(pixels + 2 * i, &w, sizeof w);
  }
}

// A colour-map entry of 2, 3 or 4 bytes: x1r5g5b5, or blue, green, red (and alpha).
Color32 MapEntry(const uint8_t* p, unsigned int bytes) {
  if (bytes == 2) {
    const unsigned int w = Word(p);
    return Color32(static_cast<uint8_t>(((w >> 10) & kFiveBits) << 3), static_cast<uint8_t>(((w >> 5) & kFiveBits) << 3),
                   static_cast<uint8_t>((w & kFiveBits) << 3), 255);
  }
  return Color32(p[2], p[1], p[0], bytes == 4 ? p[3] : 255);
}

// Memory from the library's entry points, given back when the scope ends; none for 0 bytes.
class Scratch {
 public:
  explicit Scratch(unsigned int bytes)
      : mBlock(bytes != 0 ? static_cast<uint8_t*>(Yr::Detail::Allocate(bytes)) : nullptr) {}
  ~Scratch() {
    if (mBlock != nullptr) Yr::Detail::Free(mBlock);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  uint8_t* Get() const { return mBlock; }

 private:
  uint8_t* mBlock;
};

// The stored pixels, uncompressed or run-length decoded, handed out in whole pixels.
class PixelSource {
 public:
  PixelSource(RawFile& file, unsigned int pixelBytes, bool rle)
      : mFile(file), mPixelBytes(pixelBytes), mPackets(rle ? kPacketBufferBytes : 0) {}

  // Fills dst with up to count pixels; returns how many whole pixels it got.
  size_t Read(uint8_t* dst, size_t count) {
    if (mPackets.Get() == nullptr) return mFile.Read(dst, static_cast<unsigned int>(count * mPixelBytes)) / mPixelBytes;
    size_t done = 0;
    while (done < count) {
      if (mLeft == 0) {
        uint8_t packet;
        if (!Bytes(&packet, 1)) break;
        mLeft = (packet & kPacketCount) + 1u;
        mRun = (packet & kRunPacket) != 0;
        if (mRun && !Bytes(mRunPixel, mPixelBytes)) break;
      }
      const size_t n = std::min<size_t>(mLeft, count - done);
      uint8_t* out = dst + done * mPixelBytes;
      if (mRun) {
        for (size_t i = 0; i < n; ++i) std::memcpy(out + i * mPixelBytes, mRunPixel, mPixelBytes);
      } else if (!Bytes(out, static_cast<unsigned int>(n * mPixelBytes))) {
        break;
      }
      done += n;
      mLeft -= static_cast<unsigned int>(n);
    }
    return done;
  }

 private:
  // Exactly bytes bytes from the file through the packet buffer, or false at its end.
  bool Bytes(uint8_t* out, unsigned int bytes) {
    while (bytes > 0) {
      if (mPosition == mEnd) {
        mPosition = 0;
        mEnd = mFile.Read(mPackets.Get(), kPacketBufferBytes);
        if (mEnd == 0) return false;
      }
      const unsigned int n = std::min(bytes, mEnd - mPosition);
      std::memcpy(out, mPackets.Get() + mPosition, n);
      mPosition += n;
      out += n;
      bytes -= n;
    }
    return true;
  }

  RawFile& mFile;
  unsigned int mPixelBytes;
  Scratch mPackets;
  unsigned int mPosition = 0;
  unsigned int mEnd = 0;
  unsigned int mLeft = 0;  // pixels left in the current packet
  bool mRun = false;
  uint8_t mRunPixel[kMaxPixelBytes] = {};
};

// Opens the file and reads its header; false when it does not open or the header is short.
bool OpenAndReadHeader(RawFile& file, const char* fileName, Header& header) {
  if (fileName == nullptr || !file.Open(fileName, 0)) return false;
  uint8_t bytes[TGA::kHeaderBytes];
  if (file.Read(bytes, sizeof bytes) != sizeof bytes) return false;
  header = Parse(bytes);
  return file.Seek(header.idLength, SeekCurrent) >= 0;
}

// The 256 palette entries an indexed file's pixels read: a grey ramp, or the colour map
// placed from its first entry on. Entries the map does not cover stay as they were (zero).
void ReadPalette(RawFile& file, const Header& h, const Kind& kind, Color32* palette) {
  if (kind.grey) {
    for (unsigned int i = 0; i < kPaletteEntries; ++i) {
      palette[i] = Color32(static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i), 255);
    }
    return;
  }
  const unsigned int mapBytes = static_cast<unsigned int>(h.mapLength) * kind.mapEntryBytes;
  if (mapBytes == 0) return;
  Scratch map(mapBytes);
  const unsigned int got = file.Read(map.Get(), mapBytes);
  for (unsigned int k = 0; k < got / kind.mapEntryBytes; ++k) {
    const unsigned int index = h.mapFirst + k;
    if (index >= kPaletteEntries) break;
    palette[index] = MapEntry(map.Get() + k * kind.mapEntryBytes, kind.mapEntryBytes);
  }
}

}  // namespace

Bitmap* TGA::Load(const char* fileName, Format format) {
  RawFile file;
  Header h;
  if (!OpenAndReadHeader(file, fileName, h)) return nullptr;
  const Kind kind = Classify(h);
  if (kind.format == FormatUnknown) return nullptr;
  if (format == FormatFromFile) format = kind.format;
  if (format >= kFormatCount) return nullptr;
  const uint32_t width = h.width, height = h.height;
  if (static_cast<uint64_t>(width) * height > kMaxPixels) return nullptr;

  Bitmap* bitmap = new Bitmap;
  bitmap->Init(Size{width, height}, format, 0, nullptr);
  const size_t bitmapBytes = static_cast<size_t>(bitmap->mPitch) * height;
  if (width == 0 || height == 0) return bitmap;
  if (Detail::GetConverter(kind.format, format) == &Detail::Unsupported::Invoke) {
    // Nothing converts into this format: the pixels are zero, not left as they were.
    std::memset(bitmap->mPixels, 0, bitmapBytes);
    return bitmap;
  }

  Color32* palette = nullptr;
  Scratch ownPalette(kind.format == FormatIndexed8 && format != FormatIndexed8 ? kPaletteBytes : 0);
  if (kind.format == FormatIndexed8) {
    palette = format == FormatIndexed8 ? bitmap->mPalette : reinterpret_cast<Color32*>(ownPalette.Get());
    std::memset(static_cast<void*>(palette), 0, kPaletteBytes);
    ReadPalette(file, h, kind, palette);
  }

  const bool topFirst = (h.descriptor & kTopFirst) != 0;
  const bool words16 = kind.format == FormatA1B5G5R5;
  const bool opaque16 = words16 && (h.descriptor & kAlphaBits) == 0;
  const bool direct = format == kind.format;
  const unsigned int rowBytes = width * kind.pixelBytes;
  const unsigned int dstRowBytes = width * bitmap->mBytesPerPixel;
  PixelSource source(file, kind.pixelBytes, kind.rle);

  if (direct && topFirst && !kind.rle) {
    // The stored rows are the bitmap's rows: one read. Whatever the file does not hold is zero.
    const size_t got = source.Read(static_cast<uint8_t*>(bitmap->mPixels), static_cast<size_t>(width) * height);
    std::memset(static_cast<uint8_t*>(bitmap->mPixels) + got * kind.pixelBytes, 0, bitmapBytes - got * kind.pixelBytes);
    if (words16) SwapRedBlue16(static_cast<uint8_t*>(bitmap->mPixels), got, opaque16);
    return bitmap;
  }

  // Rows read straight into their place one at a time, or several at a time into a chunk
  // that is converted row by row.
  const unsigned int chunkRows = direct ? 1 : std::max(1u, kChunkBytes / rowBytes);
  Scratch chunk(direct ? 0 : chunkRows * rowBytes);
  for (uint32_t fileRow = 0; fileRow < height; fileRow += chunkRows) {
    const uint32_t rows = std::min(chunkRows, height - fileRow);
    auto destination = [&](uint32_t row) { return bitmap->GetRow(topFirst ? row : height - 1 - row); };
    uint8_t* target = direct ? destination(fileRow) : chunk.Get();
    const size_t got = source.Read(target, static_cast<size_t>(rows) * width);
    if (words16) SwapRedBlue16(target, got, opaque16);
    for (uint32_t r = 0; r < rows; ++r) {
      uint8_t* out = destination(fileRow + r);
      const size_t before = static_cast<size_t>(r) * width;
      const unsigned int have = got > before ? static_cast<unsigned int>(std::min<size_t>(got - before, width)) : 0;
      if (!direct) Convert(out, format, target + static_cast<size_t>(r) * rowBytes, kind.format, have * kind.pixelBytes, palette);
      std::memset(out + have * bitmap->mBytesPerPixel, 0, dstRowBytes - have * bitmap->mBytesPerPixel);
    }
  }
  return bitmap;
}

Format TGA::GetFormat(const char* fileName) {
  RawFile file;
  Header h;
  if (!OpenAndReadHeader(file, fileName, h)) return FormatUnknown;
  return Classify(h).format;
}

void TGA::Save(const char* fileName, const Bitmap* bitmap) {
  if (fileName == nullptr || bitmap == nullptr) return;
  RawFile file;
  if (!file.Open(fileName, OpenWrite)) return;
  const uint32_t width = bitmap->mWidth & 0xFFFF, height = bitmap->mHeight & 0xFFFF;
  const unsigned int bytesPerPixel = bitmap->mBytesPerPixel;
  const bool words16 = bitmap->mFormat == FormatA1B5G5R5;
  uint8_t header[kHeaderBytes] = {};
  header[kImageType] = kTrueColour;
  header[kMapEntryBits] = static_cast<uint8_t>(8 * bytesPerPixel);
  header[kWidth] = static_cast<uint8_t>(width);
  header[kWidth + 1] = static_cast<uint8_t>(width >> 8);
  header[kHeight] = static_cast<uint8_t>(height);
  header[kHeight + 1] = static_cast<uint8_t>(height >> 8);
  header[kBitsPerPixel] = static_cast<uint8_t>(8 * bytesPerPixel);
  // Row 0 is written first, so the file says top row first; a 16-bit file says that bit 15
  // is alpha, which other readers otherwise ignore.
  header[kDescriptor] = static_cast<uint8_t>(kTopFirst | (words16 ? 1 : 0));
  file.Write(header, sizeof header);  // a failed write makes the file skip the pixel write
  if (bitmap->mPixels == nullptr) return;
  // Never more than the bitmap holds, whatever its pitch says.
  const uint64_t bytes = std::min(static_cast<uint64_t>(width) * height * bytesPerPixel,
                                  static_cast<uint64_t>(bitmap->mPitch) * bitmap->mHeight);
  if (bytes == 0 || bytes > UINT32_MAX) return;
  if (!words16) {
    file.Write(bitmap->mPixels, static_cast<unsigned int>(bytes));
    return;
  }
  Scratch words(static_cast<unsigned int>(bytes));
  std::memcpy(words.Get(), bitmap->mPixels, bytes);
  SwapRedBlue16(words.Get(), bytes / 2, false);
  file.Write(words.Get(), static_cast<unsigned int>(bytes));
}

Bitmap* Load(const char* fileName, Format format) {
  if (fileName == nullptr || std::strstr(fileName, ".tga") == nullptr) return nullptr;
  return TGA::Load(fileName, format);
}

Format GetFormat(const char* fileName) {
  if (fileName == nullptr || std::strstr(fileName, ".tga") == nullptr) return FormatUnknown;
  return TGA::GetFormat(fileName);
}

}  // namespace Yr::Image
