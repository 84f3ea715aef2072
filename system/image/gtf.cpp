#include "system/image/gtf.h"

#include <cstddef>
#include <cstring>

namespace Yr {

int GTFLoadFromMemory(const void* data, CellGtfTextureAttribute** attribute) {
  *attribute = reinterpret_cast<CellGtfTextureAttribute*>(const_cast<char*>(static_cast<const char*>(data)) + kGtfFileHeaderBytes);
  return 0;
}

unsigned int GTFTextureInfoFromMemory(const void*) { return kGtfTextureInfoBytes; }

unsigned int GTFTextureOffsetFromMemory(const void* data) {
  uint32_t offset;
  // The container may sit at any address: read the word bytewise.
  std::memcpy(&offset, static_cast<const char*>(data) + kGtfFileHeaderBytes + offsetof(CellGtfTextureAttribute, offsetToTexture),
              sizeof offset);
  return offset;
}

}  // namespace Yr
