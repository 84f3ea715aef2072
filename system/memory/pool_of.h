// PoolOf: fixed-size items served from 4096-byte pages. A page starts with a header and
// hands out items first from its free list (items given back), then by bumping a pointer
// through never-used space; an item's page is found by masking its address, so items carry
// no header of their own. The pool root keeps two circular page lists: pages with items to
// give (available) and exhausted pages (full). Pages come from the allocation entry points
// with the page strategy (PageAllocator<4>: the hook's three-argument Alloc, else the
// platform) and are kept until the library unloads.
//
// The library instantiates one such pool, for WeakCounter: it is built at load with its
// first page and frees every page at unload. Root::Dump prints a use map of its pages.
//
// Threads: no lock (Policy::Singlethreaded); callers serialise use of a pool.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/memory/allocator.h"
#include "system/memory/list.h"
#include "system/memory/manual_static.h"
#include "system/platform/export.h"

namespace Yr::Detail {

namespace Policy {
struct Singlethreaded {};
}  // namespace Policy

namespace AllocatorTypes {
enum Type { Default };
}  // namespace AllocatorTypes

class YR_API PoolOfBase {
 public:
  static constexpr unsigned int kPageSize = 4096;

  struct Root;

  // A page header, starting with the (next, previous) pair of its page list. Items follow it
  // back to back.
  struct YR_API Block : ListNode {
    Root* mRoot;
    void* mFreeList;    // items given back; an item's first word links to the next
    char* mBump;        // next never-used item
    char* mEnd;         // the page + kPageSize
    uintptr_t mItemSize;
    uintptr_t mUnused;  // kept for the dump; the pool sets it to 0 and never changes it

    bool CanBump() const { return static_cast<uintptr_t>(mEnd - mBump) >= mItemSize; }
    bool IsFull() const { return mFreeList == nullptr && !CanBump(); }
    // An item from the free list, else from the bump pointer; null when the page is full.
    void* Take() {
      if (void* item = mFreeList) {
        mFreeList = *static_cast<void**>(item);
        return item;
      }
      if (!CanBump()) return nullptr;
      void* item = mBump;
      mBump += mItemSize;
      return item;
    }
    // Prints the use map of the 32 KiB window starting at this page.
    void Dump() const;
  };

  static constexpr unsigned int kHeaderSize = sizeof(Block);

  struct YR_API Root {
    Root() = default;
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;

    // One item of itemSize bytes; new pages are obtained with the given strategy.
    void* Alloc(unsigned int itemSize, AllocationStrategy strategy) {
      if (!mAvailable.Empty()) {
        if (void* item = mAvailable.First()->Take()) return item;
      }
      return AllocSlow(itemSize, strategy);
    }
    // Gives an item back to its page. Null does nothing.
    static void Free(void* item) {
      if (item == nullptr) return;
      Block* page = PageOf(item);
      if (page->IsFull()) page->mRoot->Reopen(page);
      *static_cast<void**>(item) = page->mFreeList;
      page->mFreeList = item;
    }
    // Every page back on the available list as a fresh page; items handed out before
    // become invalid.
    void Reset();
    // Frees every page of both lists (managed rule); the lists are empty afterwards.
    void ReleasePages();
    // Gets one page with the given strategy and appends it to the available list.
    Block* AddPage(unsigned int itemSize, AllocationStrategy strategy);
    // Dumps the pages of the available list (at most 128), in ascending address order.
    void Dump() const;

    unsigned int AvailablePages() const { return CountPages(mAvailable); }
    unsigned int FullPages() const { return CountPages(mFull); }

    // Circular page lists; an empty list's head points at itself.
    List<Block> mAvailable;
    List<Block> mFull;

   private:
    void* AllocSlow(unsigned int itemSize, AllocationStrategy strategy);
    void Reopen(Block* page);
    static unsigned int CountPages(const List<Block>& pages);
  };

  static Block* PageOf(const void* item) {
    return reinterpret_cast<Block*>(reinterpret_cast<uintptr_t>(item) &
                                    ~static_cast<uintptr_t>(kPageSize - 1));
  }
  // Items of itemSize that fit in one page behind the header.
  static constexpr unsigned int ItemsPerPage(unsigned int itemSize) {
    return (kPageSize - kHeaderSize) / itemSize;
  }
  // The most pages Root::Dump shows.
  static constexpr unsigned int kMaxDumpPages = 128;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(PoolOfBase::kHeaderSize == 32, "a page header is eight words");
#endif

// Pages of PoolOfBase::kPageSize bytes at that alignment, requested with allocation
// strategy kStrategy.
template <int kStrategy>
struct PageAllocator {
  static constexpr AllocationStrategy kPageStrategy = static_cast<AllocationStrategy>(kStrategy);
};

template <class T, unsigned int kAlignment, class ThreadPolicy, class Pages>
class PoolOf : public PoolOfBase::Root {
 public:
  static_assert(sizeof(T) % kAlignment == 0, "items are laid back to back at their alignment");
  static_assert(sizeof(T) >= sizeof(void*), "a free item holds a link");
  static constexpr unsigned int kItemSize = sizeof(T);
  static constexpr unsigned int kItemsPerPage = PoolOfBase::ItemsPerPage(kItemSize);

  void* Alloc() { return Root::Alloc(kItemSize, Pages::kPageStrategy); }
  void Free(void* item) { Root::Free(item); }
  PoolOfBase::Block* AddPage() { return Root::AddPage(kItemSize, Pages::kPageStrategy); }
};

// Class-level new and delete through one process-wide pool.
template <class PoolT, AllocatorTypes::Type kType>
class Allocator {
 public:
  // The process-wide pool; defined for each pool the library instantiates.
  static PoolT& GetAllocator();
  static void ResetAllocator() { GetAllocator().Reset(); }

  static void* operator new(size_t) { return GetAllocator().Alloc(); }
  static void* operator new(size_t, int, const char*, int) { return GetAllocator().Alloc(); }
  static void operator delete(void* item) { PoolOfBase::Root::Free(item); }
  static void operator delete(void* item, int, const char*, int) { PoolOfBase::Root::Free(item); }
};

template <class T, unsigned int kAlignment, class ThreadPolicy, class Pages>
class Pool : public Allocator<PoolOf<T, kAlignment, ThreadPolicy, Pages>, AllocatorTypes::Default> {
 public:
  static void ResetPool() { Pool::ResetAllocator(); }
};

// The counter block behind weak references: two 32-bit counts, served by the weak-counter
// pool.
struct WeakCounter : Pool<WeakCounter, 4, Policy::Singlethreaded, PageAllocator<4>> {
  constexpr WeakCounter() = default;
  constexpr WeakCounter(uint32_t count, uint32_t weakCount) : mCount(count), mWeakCount(weakCount) {}
  uint32_t mCount = 0;
  uint32_t mWeakCount = 0;
};
static_assert(sizeof(WeakCounter) == 2 * sizeof(uint32_t), "a weak counter is two 32-bit words");

using WeakCounterPool = PoolOf<WeakCounter, 4, Policy::Singlethreaded, PageAllocator<4>>;

// The process-wide weak-counter pool, built at load with its first page.
YR_API extern ManualStatic<WeakCounterPool> gWeakCounterPool;

template <>
inline WeakCounterPool& Allocator<WeakCounterPool, AllocatorTypes::Default>::GetAllocator() {
  return gWeakCounterPool.Get();
}

struct YR_API WeakCountBase {
  // The shared counter of null weak references: counts 0 and 1.
  static WeakCounter null;
};

// Load and unload steps of the weak-counter pool.
void BuildWeakCounterPool();
void DestroyWeakCounterPool();

}  // namespace Yr::Detail
