// DArray: the library's growable array.
//
// Three words: the element pointer, a 32-bit count and a 32-bit capacity word whose low 30
// bits hold the capacity and whose bit 30 marks storage the array does not own (and so never
// frees). Appending grows the capacity to the larger of count + 1 and twice the capacity,
// with a floor that depends on the element size. Storage is 16-byte aligned, comes from the
// allocation entry points and is released by the managed rule: storage inside a registered
// managed range is never freed.
//
// Elements are moved with memcpy when the storage grows: element types must be trivially
// relocatable (StringId, pointers, plain structs).
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "system/memory/allocator.h"
#include "system/platform/platform.h"

namespace Yr {

// Storage policy of DArray: 16-byte aligned blocks through the entry points.
template <typename T, unsigned int Alignment>
struct DefaultHeap {
  static T* Allocate(unsigned int count) {
    return static_cast<T*>(Detail::Allocate(count * static_cast<unsigned int>(sizeof(T)), Alignment));
  }
  static void Free(T* block) { Detail::FreeManaged(block); }
};

namespace Detail {
// Smallest capacity a growing array takes: 16 for bytes, 4 for pointer-sized (and smaller)
// elements, 2 for anything larger such as pairs.
template <typename T>
constexpr uint32_t DArrayMinCapacity() {
  if constexpr (sizeof(T) == 1) return 16;
  else if constexpr (sizeof(T) <= sizeof(void*)) return 4;
  else return 2;
}
}  // namespace Detail

constexpr unsigned int kDefaultStorageAlignment = 16;

template <typename T, typename Heap = DefaultHeap<T, kDefaultStorageAlignment>>
class DArray {
 public:
  static constexpr uint32_t kNotOwned = 1u << 30;
  static constexpr uint32_t kCapacityMask = kNotOwned - 1;

  constexpr DArray() = default;
  // Wraps storage the caller keeps: never freed by the array; grown into fresh storage.
  DArray(T* storage, uint32_t capacity) : mData(storage), mCount(0), mCapacity((capacity & kCapacityMask) | kNotOwned) {}
  DArray(const DArray& other) { Append(other.mData, other.mCount); }
  DArray& operator=(const DArray& other) {
    if (this != &other) {
      Clear();
      Append(other.mData, other.mCount);
    }
    return *this;
  }
  ~DArray() { Release(); }

  T* Data() { return mData; }
  const T* Data() const { return mData; }
  uint32_t Count() const { return mCount; }
  uint32_t Capacity() const { return mCapacity & kCapacityMask; }
  bool Owned() const { return (mCapacity & kNotOwned) == 0; }
  bool Empty() const { return mCount == 0; }

  T& operator[](uint32_t index) { return mData[index]; }
  const T& operator[](uint32_t index) const { return mData[index]; }
  T* begin() { return mData; }
  T* end() { return mData + mCount; }
  const T* begin() const { return mData; }
  const T* end() const { return mData + mCount; }

  void Add(const T& value) {
    if (mCount == Capacity()) {
      // value may live in the storage about to move: copy it first.
      T copy(value);
      Grow(mCount + 1);
      new (mData + mCount) T(std::move(copy));
    } else {
      new (mData + mCount) T(value);
    }
    ++mCount;
  }

  void Append(const T* values, uint32_t count) {
    if (count == 0) return;
    if (mCount + count > Capacity()) Grow(mCount + count);
    for (uint32_t i = 0; i < count; ++i) new (mData + mCount + i) T(values[i]);
    mCount += count;
  }

  // Makes room for exactly capacity elements if the array holds fewer.
  void Reserve(uint32_t capacity) {
    if (capacity > Capacity()) Reallocate(capacity);
  }

  // Sets the count; new elements are value-initialised, dropped ones destroyed.
  void Resize(uint32_t count) {
    Reserve(count);
    for (uint32_t i = mCount; i < count; ++i) new (mData + i) T();
    for (uint32_t i = count; i < mCount; ++i) mData[i].~T();
    mCount = count;
  }

  void RemoveAt(uint32_t index) {
    mData[index].~T();
    std::memmove(static_cast<void*>(mData + index), mData + index + 1, (mCount - index - 1) * sizeof(T));
    --mCount;
  }

  // Destroys the elements and keeps the storage.
  void Clear() {
    for (uint32_t i = 0; i < mCount; ++i) mData[i].~T();
    mCount = 0;
  }

  // Destroys the elements and releases owned storage.
  void Release() {
    Clear();
    if (mData && Owned()) Heap::Free(mData);
    mData = nullptr;
    mCapacity = 0;
  }

 private:
  void Grow(uint32_t needed) {
    uint32_t capacity = Capacity() * 2;
    if (capacity < needed) capacity = needed;
    if (capacity < Detail::DArrayMinCapacity<T>()) capacity = Detail::DArrayMinCapacity<T>();
    Reallocate(capacity);
  }

  void Reallocate(uint32_t capacity) {
    T* fresh = Heap::Allocate(capacity);
    // A hook that refuses, or an invalidated allocator, leaves nowhere to put the elements.
    if (fresh == nullptr) Platform::FatalOutOfMemory(capacity * sizeof(T), kDefaultStorageAlignment);
    if (mCount) std::memcpy(static_cast<void*>(fresh), mData, mCount * sizeof(T));
    if (mData && Owned()) Heap::Free(mData);
    mData = fresh;
    mCapacity = capacity & kCapacityMask;
  }

  T* mData = nullptr;
  uint32_t mCount = 0;
  uint32_t mCapacity = 0;
};

}  // namespace Yr
