#include "system/image/bitmap.h"

#include <cstring>

#include "system/platform/platform.h"

namespace Yr {

namespace {

constexpr unsigned int kPaletteBytes = Image::kPaletteEntries * sizeof(Color32);

}  // namespace

Bitmap::~Bitmap() {
  if (mPixels != nullptr) Detail::FreeManaged(mPixels);
  if (mPalette != nullptr) Detail::FreeManaged(mPalette);
}

void Bitmap::Init(const Size& size, Image::Format format, unsigned int pitch, void* pixels) {
  mWidth = size.width;
  mHeight = size.height;
  mFormat = format;
  mBytesPerPixel = Image::GetBytesPerPixel(format);
  if (pitch == 0) {
    const uint64_t packed = static_cast<uint64_t>(mWidth) * mBytesPerPixel;
    if (packed > UINT32_MAX) Platform::FatalError("Bitmap::Init: a row of more than 4 GiB");
    pitch = static_cast<unsigned int>(packed);
  }
  mPitch = pitch;
  if (pixels == nullptr) {
    const uint64_t bytes = static_cast<uint64_t>(mPitch) * mHeight;
    // The allocation entry points take a 32-bit size: a larger picture cannot be served,
    // and failing to allocate is not survivable.
    if (bytes > UINT32_MAX) Platform::FatalError("Bitmap::Init: pixel memory of more than 4 GiB");
    pixels = Detail::Allocate(static_cast<unsigned int>(bytes));
  }
  mPixels = pixels;
  if (format == Image::FormatIndexed8) {
    mPalette = static_cast<Color32*>(Detail::Allocate(kPaletteBytes));
    std::memset(static_cast<void*>(mPalette), 0, kPaletteBytes);
  }
}

void Bitmap::Clear(Color32 colour) {
  if (mPixels == nullptr || mWidth == 0 || mHeight == 0) return;
  // width palette indices 0, converted with a one-entry palette that is the colour itself.
  void* indices = Detail::Allocate(mWidth);
  std::memset(indices, 0, mWidth);
  Image::Convert(mPixels, mFormat, indices, Image::FormatIndexed8, mWidth, &colour);
  Detail::Free(indices);
  const uint8_t* first = GetRow(0);
  for (uint32_t row = 1; row < mHeight; ++row) std::memcpy(GetRow(row), first, mPitch);
}

}  // namespace Yr
