// Fuzz target: the TGA reader. Each input is written to a file of its own process and
// loaded in the file's format and converted to R8G8B8A8. Checks what must hold for every
// input: a loaded bitmap has the header's size, the file's format when asked for it, and
// pixel memory that can be read whole.
//
// Inputs whose header claims more than kFuzzPixels pixels are skipped: the reader's own
// bound (TGA::kMaxPixels) is tested elsewhere, and clearing pictures of hundreds of
// megabytes would only slow the search for parsing faults.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "system/image/tga.h"

namespace {

constexpr uint64_t kFuzzPixels = 1u << 20;

char gInputPath[] = "/tmp/yr-tga-fuzz-XXXXXX";

// The process's input file, made on first use and removed at exit.
const char* InputPath() {
  static const bool made = [] {
    const int descriptor = mkstemp(gInputPath);
    if (descriptor < 0) std::abort();
    close(descriptor);
    std::atexit([] { unlink(gInputPath); });
    return true;
  }();
  (void)made;
  return gInputPath;
}

void Check(Yr::Bitmap* bitmap, uint32_t width, uint32_t height) {
  if (bitmap == nullptr) return;
  if (bitmap->mWidth != width || bitmap->mHeight != height) std::abort();
  if (bitmap->mPitch != width * bitmap->mBytesPerPixel) std::abort();
  // Every byte is read, so the sanitizer sees any pixel memory that is too small.
  const uint8_t* pixels = static_cast<const uint8_t*>(bitmap->mPixels);
  unsigned sum = 0;
  for (size_t i = 0; i < static_cast<size_t>(bitmap->mPitch) * height; ++i) sum += pixels[i];
  if (bitmap->mPalette != nullptr) {
    for (unsigned i = 0; i < Yr::Image::kPaletteEntries; ++i) sum += bitmap->mPalette[i].a;
  }
  volatile unsigned sink = sum;
  (void)sink;
  delete bitmap;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t width = 0, height = 0;
  if (size >= Yr::Image::TGA::kHeaderBytes) {
    width = data[12] | data[13] << 8;
    height = data[14] | data[15] << 8;
    if (static_cast<uint64_t>(width) * height > kFuzzPixels) return 0;
  }
  const char* path = InputPath();
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  const Yr::Image::Format format = Yr::Image::TGA::GetFormat(path);
  Yr::Bitmap* own = Yr::Image::TGA::Load(path, Yr::Image::FormatFromFile);
  if ((own != nullptr) != (format != Yr::Image::FormatUnknown)) std::abort();
  if (own != nullptr && own->mFormat != format) std::abort();
  Check(own, width, height);
  Check(Yr::Image::TGA::Load(path, Yr::Image::FormatR8G8B8A8), width, height);
  return 0;
}
