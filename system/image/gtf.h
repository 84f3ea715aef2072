// Fields of a GTF texture container that is already in memory: a 12-byte file header
// followed by texture attribute records. Only the first record's place and its texture
// data offset are read; nothing here checks the container.
//
//   Yr::CellGtfTextureAttribute* attribute = nullptr;
//   Yr::GTFLoadFromMemory(data, &attribute);
//   const char* texels = static_cast<const char*>(data) + Yr::GTFTextureOffsetFromMemory(data);
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

// The start of a texture attribute record; the rest of the record is the container's.
struct CellGtfTextureAttribute {
  uint32_t id;
  uint32_t offsetToTexture;  // from the start of the container
};

constexpr unsigned int kGtfFileHeaderBytes = 12;
// The size of a texture information block, whatever the container holds.
constexpr unsigned int kGtfTextureInfoBytes = 24;

// Stores data + 12 (the first texture attribute record) in *attribute; returns 0.
YR_API int GTFLoadFromMemory(const void* data, CellGtfTextureAttribute** attribute);
// Returns 24.
YR_API unsigned int GTFTextureInfoFromMemory(const void* data);
// The 32-bit word at offset 16, in the machine's byte order: the first record's texture
// data offset.
YR_API unsigned int GTFTextureOffsetFromMemory(const void* data);

}  // namespace Yr
