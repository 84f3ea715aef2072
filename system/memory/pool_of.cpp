#include "system/memory/pool_of.h"

#include <algorithm>
#include <cinttypes>

#include "system/debug/debug_output.h"
#include "system/platform/platform.h"

namespace Yr::Detail {
namespace {

constexpr int kAddressDigits = 2 * sizeof(void*);
// The dump shows a 32 KiB window, one character per 32-bit word, 256 words a line.
constexpr unsigned int kDumpWindow = 0x8000;
constexpr unsigned int kDumpWordBytes = sizeof(uint32_t);
constexpr unsigned int kDumpWords = kDumpWindow / kDumpWordBytes;
constexpr unsigned int kDumpLineWords = 256;
constexpr unsigned int kDumpLines = kDumpWords / kDumpLineWords;

uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

void MakeFresh(PoolOfBase::Block* page) {
  char* base = reinterpret_cast<char*>(page);
  page->mFreeList = nullptr;
  page->mBump = base + PoolOfBase::kHeaderSize;
  page->mEnd = base + PoolOfBase::kPageSize;
}

}  // namespace

WeakCounter WeakCountBase::null{0, 1};
ManualStatic<WeakCounterPool> gWeakCounterPool;

// ---- Root -----------------------------------------------------------------------------------

PoolOfBase::Block* PoolOfBase::Root::AddPage(unsigned int itemSize, AllocationStrategy strategy) {
  void* memory = _AlignedMalloc(kPageSize, static_cast<int>(kPageSize), __FILE__, __LINE__, strategy);
  // The pool has no failure result: a page that cannot be had ends the process.
  if (memory == nullptr) Platform::FatalOutOfMemory(kPageSize, kPageSize);
  auto* page = static_cast<Block*>(memory);
  page->mRoot = this;
  page->mItemSize = itemSize;
  page->mUnused = 0;
  MakeFresh(page);
  mAvailable.PushBack(page);
  return page;
}

void* PoolOfBase::Root::AllocSlow(unsigned int itemSize, AllocationStrategy strategy) {
  for (;;) {
    if (mAvailable.Empty()) AddPage(itemSize, strategy);
    Block* page = mAvailable.First();
    if (void* item = page->Take()) return item;
    // Exhausted: park it with the full pages.
    mAvailable.Remove(page);
    mFull.PushBack(page);
  }
}

void PoolOfBase::Root::Reopen(Block* page) {
  mFull.Remove(page);
  mAvailable.PushBack(page);
}

void PoolOfBase::Root::Reset() {
  while (!mFull.Empty()) Reopen(mFull.First());
  const ListNode* end = mAvailable.Sentinel();
  for (ListNode* page = end->next; page != end; page = page->next) MakeFresh(static_cast<Block*>(page));
}

void PoolOfBase::Root::ReleasePages() {
  for (List<Block>* pages : {&mAvailable, &mFull}) {
    while (!pages->Empty()) {
      Block* page = pages->First();
      pages->Remove(page);
      FreeManaged(page);
    }
  }
}

unsigned int PoolOfBase::Root::CountPages(const List<Block>& pages) {
  unsigned int count = 0;
  const ListNode* end = pages.Sentinel();
  for (const ListNode* page = end->next; page != end; page = page->next) ++count;
  return count;
}

void PoolOfBase::Root::Dump() const {
  const Block* pages[kMaxDumpPages];
  unsigned int count = 0;
  const ListNode* end = mAvailable.Sentinel();
  for (const ListNode* page = end->next; page != end && count < kMaxDumpPages; page = page->next)
    pages[count++] = static_cast<const Block*>(page);
  std::sort(pages, pages + count, [](const Block* a, const Block* b) { return Addr(a) < Addr(b); });
  for (unsigned int i = 0; i < count; ++i) pages[i]->Dump();
}

// ---- Block ----------------------------------------------------------------------------------

void PoolOfBase::Block::Dump() const {
  const char* base = reinterpret_cast<const char*>(this);
  const unsigned int itemSize = static_cast<unsigned int>(mItemSize);
  bool used[kDumpWords] = {};

  const uintptr_t bumped = std::min<uintptr_t>(Addr(mBump) - Addr(base), kDumpWindow);
  for (uintptr_t word = 0; word < bumped / kDumpWordBytes; ++word) used[word] = true;
  // The header, rounded up to whole items, holds no item.
  const uintptr_t header = (kHeaderSize + itemSize - 1) / itemSize * itemSize;
  for (uintptr_t word = 0; word < header / kDumpWordBytes && word < kDumpWords; ++word) used[word] = false;
  // A page holds at most this many items, so a damaged free list cannot loop the dump.
  unsigned int budget = kPageSize / itemSize;
  for (const void* item = mFreeList; item != nullptr && budget-- > 0; item = *static_cast<void* const*>(item)) {
    const uintptr_t offset = Addr(item) - Addr(base);
    for (uintptr_t byte = 0; byte < itemSize; byte += kDumpWordBytes) {
      const uintptr_t word = (offset + byte) / kDumpWordBytes;
      if (word < kDumpWords) used[word] = false;
    }
  }
  unsigned int usedBytes = 0;
  for (bool u : used) usedBytes += u ? kDumpWordBytes : 0;

  Debug::OutputFmt("\nBlock [%0*" PRIXPTR " - %0*" PRIXPTR "] Size: %d Used: %d, %d\n\n",
                   kAddressDigits, Addr(base), kAddressDigits, Addr(base) + kDumpWindow - 1,
                   static_cast<int>(itemSize), static_cast<int>(usedBytes), static_cast<int>(mUnused));
  char line[kDumpLineWords + 2];
  for (unsigned int row = 0; row < kDumpLines; ++row) {
    for (unsigned int column = 0; column < kDumpLineWords; ++column)
      line[column] = used[row * kDumpLineWords + column] ? 'X' : '.';
    line[kDumpLineWords] = '\n';
    line[kDumpLineWords + 1] = '\0';
    Debug::Output(line);
  }
}

// ---- The weak-counter pool ------------------------------------------------------------------

void BuildWeakCounterPool() { gWeakCounterPool.Build().AddPage(); }

void DestroyWeakCounterPool() {
  if (!gWeakCounterPool.Built()) return;
  gWeakCounterPool->ReleasePages();
  gWeakCounterPool.Destroy();
}

}  // namespace Yr::Detail
