#include "system/memory/managed_memory.h"

#include "system/memory/darray.h"
#include "system/memory/manual_static.h"

namespace Yr::Memory {

bool sManagedMemoryUsed = false;
uint32_t ManagedMemoryMask = 0;

namespace {

Detail::ManualStatic<DArray<ManagedRange>> gRanges;
// One past the highest slot ever used: scans stop there instead of walking all 1024.
unsigned int gHighWater = 0;

}  // namespace

void RegisterManagedMemory(uintptr_t begin, unsigned int size) {
  if (begin == 0 || !gRanges.Built()) return;
  DArray<ManagedRange>& ranges = gRanges.Get();
  for (unsigned int i = 0; i < ranges.Count(); ++i) {
    ManagedRange& slot = ranges[i];
    if (!slot.mVacant) continue;
    sManagedMemoryUsed = true;
    slot.mBegin = begin;
    slot.mEnd = begin + size;
    slot.mVacant = false;
    if (i >= gHighWater) gHighWater = i + 1;
    return;
  }
}

void DeregisterManagedMemory(uintptr_t begin) {
  if (begin == 0 || !gRanges.Built()) return;
  DArray<ManagedRange>& ranges = gRanges.Get();
  for (unsigned int i = 0; i < gHighWater; ++i) {
    ManagedRange& slot = ranges[i];
    if (!slot.mVacant && slot.mBegin == begin) {
      slot.mVacant = true;
      return;
    }
  }
}

namespace {
// The lowest-indexed used slot holding p, or null.
const ManagedRange* FindRange(const void* p) {
  if (!sManagedMemoryUsed || p == nullptr || !gRanges.Built()) return nullptr;
  uintptr_t address = reinterpret_cast<uintptr_t>(p);
  const ManagedRange* slots = gRanges.Get().Data();
  for (unsigned int i = 0; i < gHighWater; ++i) {
    const ManagedRange& slot = slots[i];
    if (!slot.mVacant && slot.mBegin <= address && address < slot.mEnd) return &slot;
  }
  return nullptr;
}
}  // namespace

bool IsManagedMemory(const void* p) { return FindRange(p) != nullptr; }

}  // namespace Yr::Memory

namespace Yr::Detail {

void BuildManagedMemory() {
  DArray<Memory::ManagedRange>& ranges = Memory::gRanges.Build();
  ranges.Reserve(Memory::kManagedRangeSlots);
  ranges.Resize(Memory::kManagedRangeSlots);
  for (Memory::ManagedRange& slot : ranges) slot = {0, 0, true};
  Memory::gHighWater = 0;
}

void DestroyManagedMemory() {
  // The table's own storage is released by the managed rule, like every container's.
  Memory::gRanges.Destroy();
  Memory::gHighWater = 0;
}

unsigned int ManagedBytesFrom(const void* p) {
  const Memory::ManagedRange* range = Memory::FindRange(p);
  return range ? static_cast<unsigned int>(range->mEnd - reinterpret_cast<uintptr_t>(p)) : 0;
}

unsigned int ManagedMemorySlotCount() { return Memory::gRanges.Built() ? Memory::gRanges.Get().Count() : 0; }

}  // namespace Yr::Detail
