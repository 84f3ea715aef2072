// Hash: a 64-bit hash of a byte string with a 64-bit seed.
//
//   uint64_t h = Yr::Hash(name, length, 0);
//   uint64_t h2 = Yr::Hash(more, moreLength, h);   // the result may seed a further hash
//
// The values are fixed and may be stored: they are the same on every build, 32-bit and
// 64-bit. Whole 24-byte blocks read their bytes as unsigned; the bytes of the last partial
// block are sign-extended before they are added, so a byte of 0x80 or more there also adds
// ones above its own position. Pure function: any thread may call it.
#pragma once

#include "system/platform/export.h"

namespace Yr {

YR_API unsigned long long Hash(const char* key, unsigned long long length, unsigned long long seed);

}  // namespace Yr
