// PointerIndex: an open-addressed map from one pointer to another, for the option registry.
//
//   PointerIndex index;
//   index.Put(name.GetNode(), reinterpret_cast<uintptr_t>(record));  // adds or replaces
//   uintptr_t found = index.Get(name.GetNode());                    // 0 when absent
//
// Keys are node addresses of interned names, so identity is the whole comparison. Entries
// are never removed one by one: the registry only ever empties itself whole (Clear). The
// slot array doubles before it is half full, so a lookup probes a few slots whatever the
// number of entries. Slots come from the library's allocation entry points. No lock.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Detail {

class YR_API PointerIndex {
 public:
  PointerIndex() = default;
  ~PointerIndex() { Clear(); }
  PointerIndex(const PointerIndex&) = delete;
  PointerIndex& operator=(const PointerIndex&) = delete;

  // The value stored for key, or 0. A null key is never stored.
  uintptr_t Get(const void* key) const;
  // Stores value for key (non-null), replacing an earlier value of the same key.
  void Put(const void* key, uintptr_t value);
  // Forgets every entry and returns the slots.
  void Clear();
  uint32_t Count() const { return mCount; }
  uint32_t Capacity() const { return mCapacity; }

 private:
  struct Slot {
    const void* key;
    uintptr_t value;
  };
  static uint32_t SlotOf(const void* key, uint32_t mask);
  void Grow();

  Slot* mSlots = nullptr;
  uint32_t mCapacity = 0;  // a power of two, or 0 before the first Put
  uint32_t mCount = 0;
};

}  // namespace Yr::Detail
