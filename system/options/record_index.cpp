#include "system/options/record_index.h"

#include <cstring>

#include "system/memory/allocator.h"
#include "system/platform/platform.h"

namespace Yr::Detail {
namespace {

constexpr uint32_t kFirstCapacity = 64;
// Fibonacci hashing: node addresses share their low bits (16-byte blocks), the product's
// high bits mix all of them.
constexpr uint64_t kGoldenRatio = 0x9E3779B97F4A7C15ull;

}  // namespace

uint32_t PointerIndex::SlotOf(const void* key, uint32_t mask) {
  const uint64_t mixed = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) * kGoldenRatio;
  return static_cast<uint32_t>(mixed >> 32) & mask;
}

uintptr_t PointerIndex::Get(const void* key) const {
  if (mCount == 0 || key == nullptr) return 0;
  const uint32_t mask = mCapacity - 1;
  for (uint32_t slot = SlotOf(key, mask);; slot = (slot + 1) & mask) {
    if (mSlots[slot].key == key) return mSlots[slot].value;
    if (mSlots[slot].key == nullptr) return 0;  // the table is never full, so this ends
  }
}

void PointerIndex::Put(const void* key, uintptr_t value) {
  if (key == nullptr) return;
  // Kept at most half full: probe runs stay short and an empty slot always ends a search.
  if ((mCount + 1) * 2 > mCapacity) Grow();
  const uint32_t mask = mCapacity - 1;
  uint32_t slot = SlotOf(key, mask);
  while (mSlots[slot].key != nullptr && mSlots[slot].key != key) slot = (slot + 1) & mask;
  if (mSlots[slot].key == nullptr) ++mCount;
  mSlots[slot] = Slot{key, value};
}

void PointerIndex::Grow() {
  const uint32_t capacity = mCapacity == 0 ? kFirstCapacity : mCapacity * 2;
  const size_t bytes = size_t{capacity} * sizeof(Slot);
  auto* slots = static_cast<Slot*>(Allocate(static_cast<unsigned int>(bytes)));
  if (slots == nullptr) Platform::FatalOutOfMemory(bytes, kDefaultAlignment);
  std::memset(slots, 0, bytes);
  Slot* old = mSlots;
  const uint32_t oldCapacity = mCapacity;
  mSlots = slots;
  mCapacity = capacity;
  const uint32_t mask = capacity - 1;
  for (uint32_t i = 0; i < oldCapacity; ++i) {
    if (old[i].key == nullptr) continue;
    uint32_t slot = SlotOf(old[i].key, mask);
    while (mSlots[slot].key != nullptr) slot = (slot + 1) & mask;
    mSlots[slot] = old[i];
  }
  if (old) Free(old);
}

void PointerIndex::Clear() {
  if (mSlots) Free(mSlots);
  mSlots = nullptr;
  mCapacity = 0;
  mCount = 0;
}

}  // namespace Yr::Detail
