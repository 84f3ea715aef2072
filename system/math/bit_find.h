// BitFind: the first set bit of a bit array at or after a start index.
//
//   uint8_t used[32] = {};                 // 256 flags
//   int free = Yr::BitFind(used, 256, 0);  // -1 when none is set
//
// Bits are numbered least significant first within a byte, bytes by increasing address.
// Only bytes holding bits below count are read: a start at or past count returns -1
// without touching memory.
#pragma once

#include "system/platform/export.h"

namespace Yr {

// Index of the first set bit i with start <= i < count, or -1.
YR_API int BitFind(const void* bits, unsigned int count, unsigned int start);

}  // namespace Yr
