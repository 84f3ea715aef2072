#include "system/compress/lzo.h"

#include <lzo1x.h>

#include <cstddef>

namespace Yr {
namespace Lzo {
namespace {

// The compressor's hash dictionary; it starts each call afresh, so nothing carries over.
alignas(16) unsigned char gWorkMemory[LZO1X_1_MEM_COMPRESS];

}  // namespace

bool Init() { return lzo_init() == LZO_E_OK; }

unsigned int Compress(void* dst, const void* src, unsigned int srcLen) {
  lzo_uint written = 0;
  lzo1x_1_compress(static_cast<const unsigned char*>(src), srcLen, static_cast<unsigned char*>(dst), &written,
                   gWorkMemory);
  return static_cast<unsigned int>(written);
}

unsigned int Decompress(void* dst, const void* src, unsigned int srcLen) {
  lzo_uint written = 0;
  lzo1x_decompress(static_cast<const unsigned char*>(src), srcLen, static_cast<unsigned char*>(dst), &written,
                   nullptr);
  return static_cast<unsigned int>(written);
}

bool Decompress(void* dst, unsigned int dstCapacity, const void* src, unsigned int srcLen, unsigned int* written) {
  lzo_uint size = dstCapacity;
  const int status = lzo1x_decompress_safe(static_cast<const unsigned char*>(src), srcLen,
                                           static_cast<unsigned char*>(dst), &size, nullptr);
  const bool ok = status == LZO_E_OK && size <= dstCapacity;
  if (written) *written = ok ? static_cast<unsigned int>(size) : 0;
  return ok;
}

}  // namespace Lzo
}  // namespace Yr
