// The managed-memory registry: address ranges whose blocks the library must never free
// (memory handed over by the application, images mapped in place, ...). Containers and
// MemObject deletes skip any block that lies in a registered range.
//
// 1024 slots, allocated at load; the registry never grows. Registration is not locked:
// register and deregister while one thread runs.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Memory {

struct ManagedRange {
  uintptr_t mBegin;  // first byte of the range
  uintptr_t mEnd;    // one past the last byte
  bool mVacant;
};

constexpr unsigned int kManagedRangeSlots = 1024;

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ManagedRange) == 12, "a managed-range slot is three 32-bit words");
#endif

// Ignores begin 0; takes the lowest vacant slot; a full registry ignores the call.
YR_API void RegisterManagedMemory(uintptr_t begin, unsigned int size);
// Ignores 0; vacates the lowest-indexed used slot that starts at begin.
YR_API void DeregisterManagedMemory(uintptr_t begin);
// True when p lies in some used slot's [begin, end).
YR_API bool IsManagedMemory(const void* p);

// False at load, set by the first registration, never cleared.
YR_API extern bool sManagedMemoryUsed;
// Exported for callers; the library never reads or writes it.
YR_API extern uint32_t ManagedMemoryMask;

}  // namespace Yr::Memory

namespace Yr::Detail {
// Load and unload steps of the registry.
void BuildManagedMemory();
void DestroyManagedMemory();
// Bytes from p to the end of the managed range holding it; 0 when p is not managed. The
// platform allocator cannot size a block it never allocated, so this stands in for it.
YR_API unsigned int ManagedBytesFrom(const void* p);
// Slot count as the registry holds it (1024 after load, 0 after unload); for tests.
YR_API unsigned int ManagedMemorySlotCount();
}  // namespace Yr::Detail
