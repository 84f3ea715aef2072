// SimpleMemoryPool: fixed-size items carved from chunks that come from the library's
// allocation entry points (16-byte aligned). Free items are chained through their first
// pointer-sized bytes; chunks are chained through their first word. Allocation and free are
// a pop or a push; a new chunk is fetched only when no item is free. A static pool never
// fetches more than one chunk.
//
// The pool owns its chunks and gives them back in Reset and in its destructor (by the
// managed rule: a chunk lying in a registered managed range is never freed). Items handed
// out belong to the caller until given back with Free.
//
// Threads: no lock. The caller serialises all use of one pool.
#pragma once

#include <cstdint>
#include <cstring>

#include "system/platform/export.h"

namespace Yr {

class YR_API SimpleMemoryPool {
 public:
  struct Chunk {
    Chunk* mNext;
  };

  // Every field 0: no item size, no chunks.
  constexpr SimpleMemoryPool() = default;
  SimpleMemoryPool(unsigned int itemSize, unsigned int itemsPerChunk, unsigned int alignment,
                   bool isStatic);
  ~SimpleMemoryPool();
  SimpleMemoryPool(const SimpleMemoryPool&) = delete;
  SimpleMemoryPool& operator=(const SimpleMemoryPool&) = delete;

  // Sets the item layout and empties the free list; the chunk list is not touched. The item
  // size is rounded up to a multiple of the alignment and holds at least one link. Any
  // alignment value works, not only powers of two.
  void Init(unsigned int itemSize, unsigned int itemsPerChunk, unsigned int alignment, bool isStatic);

  // One item, or null when no new chunk can be had (a full static pool, allocation switched
  // off, or the hook returned null).
  void* Alloc() {
    if (mFreeList == nullptr && (!NewChunk() || mFreeList == nullptr)) return nullptr;
    void* item = mFreeList;
    mFreeList = LoadLink(item);
    --mFreeCount;
    return item;
  }
  // Null is ignored.
  void Free(void* item) {
    if (item == nullptr) return;
    StoreLink(item, mFreeList);
    mFreeList = item;
    ++mFreeCount;
  }

  // Fetches one more chunk and makes its items free. False for a static pool that has its
  // chunk, a pool without items per chunk, or when allocation fails.
  bool NewChunk();
  // Every item of every chunk becomes free again; the chunks stay.
  void Clear();
  // Gives every chunk back; the static flag stays.
  void Reset();

  bool IsInitialized() const { return mChunks != nullptr; }
  bool IsStatic() const { return (mFreeCount & kStaticFlag) != 0; }
  unsigned int GetNumFreeItems() const { return mFreeCount & kCountMask; }
  unsigned int GetNumAllocated() const;
  // Chunks times (link and alignment room plus the items): the pool's nominal footprint.
  unsigned int GetMemAllocated() const;

  static constexpr uint32_t kStaticFlag = 0x80000000u;
  static constexpr uint32_t kCountMask = ~kStaticFlag;
  // Each chunk starts with its link word; free items hold a link too.
  static constexpr unsigned int kLinkSize = sizeof(void*);

 protected:
  // Threads the chunk's items in address order in front of the free list.
  void AddChunk(Chunk* chunk);

 private:
  // Items may sit at any alignment the caller chose, so links are copied, not dereferenced.
  static void* LoadLink(const void* item) {
    void* next;
    std::memcpy(&next, item, sizeof next);
    return next;
  }
  static void StoreLink(void* item, void* next) { std::memcpy(item, &next, sizeof next); }

  // Room in front of the items, the link word included: max(alignment, link).
  unsigned int LeadRoom() const { return mAlignment > kLinkSize ? mAlignment : kLinkSize; }
  char* FirstItem(Chunk* chunk) const;
  unsigned int ChunkCount() const;
  // Bytes to ask for one chunk; 0 when the layout cannot be allocated.
  uint64_t ChunkBytes() const;
  uint64_t FirstItemOffsetBound() const;

  Chunk* mChunks = nullptr;
  void* mFreeList = nullptr;
  uint32_t mItemSize = 0;
  uint32_t mItemsPerChunk = 0;
  uint32_t mAlignment = 0;
  uint32_t mFreeCount = 0;  // bits 0-30: free items; bit 31: static pool
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SimpleMemoryPool) == 6 * sizeof(uint32_t), "a pool is six 32-bit fields");
static_assert(SimpleMemoryPool::kLinkSize == 4, "links are one word");
#endif

}  // namespace Yr
