#include "system/memory/memory_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "system/memory/allocator.h"
#include "system/memory/managed_memory.h"
#include "system/memory/physical_allocator.h"
#include "system/memory/pool_of.h"
#include "system/platform/vm_platform.h"
#include "tests/debug/debug_capture.h"
#include "tests/memory/memory_test_helpers.h"

namespace {

using Yr::SimpleMemoryPool;
using Yr::Detail::PoolOfBase;
using Yr::Detail::WeakCounter;
using Yr::Detail::WeakCounterPool;

using YrTest::A;
using YrTest::Hex;
using YrTest::HookScope;
using YrTest::RecordingHook;

// ---- SimpleMemoryPool -----------------------------------------------------------------------

TEST(SimpleMemoryPoolTest, FirstAllocMakesOneChunk) {
  RecordingHook hook;
  HookScope scope(&hook);
  SimpleMemoryPool pool(10, 4, 8, false);
  EXPECT_FALSE(pool.IsInitialized());
  EXPECT_EQ(pool.GetNumFreeItems(), 0u);
  void* item = pool.Alloc();
  ASSERT_NE(item, nullptr);
  ASSERT_EQ(hook.calls.size(), 1u);
  EXPECT_EQ(hook.calls[0].alignment, 16u);
  EXPECT_EQ(hook.calls[0].strategy, RecordingHook::kAlignedMalloc);
  const unsigned int room = SimpleMemoryPool::kLinkSize > 8 ? SimpleMemoryPool::kLinkSize : 8;
  EXPECT_EQ(hook.calls[0].size, room + 4 * 16) << "item size 16, rounded up to the alignment";
#if UINTPTR_MAX == 0xFFFFFFFFu
  EXPECT_EQ(hook.calls[0].size, 72u);
#endif
  EXPECT_TRUE(pool.IsInitialized());
  EXPECT_EQ(pool.GetNumFreeItems(), 3u);
  EXPECT_EQ(pool.GetNumAllocated(), 1u);
  // Items are handed out in address order, back to back, at the alignment.
  const char* chunk = static_cast<const char*>(hook.calls[0].block);
  EXPECT_EQ(A(item), (A(chunk) + SimpleMemoryPool::kLinkSize + 7) / 8 * 8);
  void* second = pool.Alloc();
  EXPECT_EQ(A(second), A(item) + 16);
  // A freed item is the next one handed out.
  pool.Free(second);
  EXPECT_EQ(pool.Alloc(), second);
  pool.Free(nullptr);
  EXPECT_EQ(pool.GetNumFreeItems(), 2u);
  pool.Reset();
  EXPECT_EQ(hook.frees, std::vector<void*>{hook.calls[0].block});
  EXPECT_FALSE(pool.IsInitialized());
  EXPECT_EQ(pool.GetNumFreeItems(), 0u);
}

TEST(SimpleMemoryPoolTest, StaticPoolServesOneChunkOnly) {
  SimpleMemoryPool pool(8, 2, 4, true);
  EXPECT_TRUE(pool.IsStatic());
  void* a = pool.Alloc();
  void* b = pool.Alloc();
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(pool.Alloc(), nullptr);
  EXPECT_FALSE(pool.NewChunk());
  pool.Free(a);
  EXPECT_EQ(pool.Alloc(), a);
  pool.Reset();
  EXPECT_TRUE(pool.IsStatic()) << "Reset keeps the static flag";
  EXPECT_NE(pool.Alloc(), nullptr) << "after Reset the static pool may take a chunk again";
}

TEST(SimpleMemoryPoolTest, ClearAndCounters) {
  SimpleMemoryPool pool(8, 10, 2, false);
  std::vector<void*> items;
  for (int i = 0; i < 25; ++i) items.push_back(pool.Alloc());
  EXPECT_EQ(pool.GetNumAllocated(), 25u);
  EXPECT_EQ(pool.GetNumFreeItems(), 5u);
  EXPECT_EQ(pool.GetMemAllocated(), 3 * (SimpleMemoryPool::kLinkSize + 80));
#if UINTPTR_MAX == 0xFFFFFFFFu
  EXPECT_EQ(pool.GetMemAllocated(), 252u);
#endif
  const unsigned int total = pool.GetNumAllocated() + pool.GetNumFreeItems();
  pool.Clear();
  EXPECT_EQ(pool.GetNumFreeItems(), total);
  EXPECT_EQ(pool.GetNumAllocated(), 0u);
  // Every item is handed out once more, and no other.
  std::set<void*> again;
  for (unsigned int i = 0; i < total; ++i) again.insert(pool.Alloc());
  for (void* item : items) EXPECT_EQ(again.count(item), 1u);
  EXPECT_EQ(again.size(), total);
  EXPECT_EQ(pool.GetNumFreeItems(), 0u);

  SimpleMemoryPool empty;
  EXPECT_EQ(empty.Alloc(), nullptr) << "a pool without a layout has nothing to give";
  SimpleMemoryPool none(8, 0, 4, false);
  EXPECT_EQ(none.Alloc(), nullptr);
  EXPECT_FALSE(none.IsInitialized());
}

// Any alignment value works; items stay aligned and inside their chunk, also where the
// alignment or item size is not a power of two.
TEST(SimpleMemoryPoolTest, ItemsStayAlignedAndInsideTheirChunk) {
  for (unsigned int alignment : {1u, 2u, 3u, 4u, 6u, 8u, 12u, 16u, 19u, 24u, 32u, 64u, 100u}) {
    for (unsigned int itemSize : {1u, 5u, 8u, 13u, 40u}) {
      SCOPED_TRACE(testing::Message() << "alignment " << alignment << " size " << itemSize);
      RecordingHook hook;
      HookScope scope(&hook);
      SimpleMemoryPool pool(itemSize, 7, alignment, false);
      std::vector<char*> items;
      for (int i = 0; i < 14; ++i) items.push_back(static_cast<char*>(pool.Alloc()));
      ASSERT_EQ(hook.calls.size(), 2u);
      for (char* item : items) {
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(A(item) % alignment, 0u);
        std::memset(item, 0x7E, itemSize);
        bool inside = false;
        for (const auto& call : hook.calls) {
          if (A(item) >= A(call.block) + SimpleMemoryPool::kLinkSize &&
              A(item) + itemSize <= A(call.block) + call.size)
            inside = true;
        }
        EXPECT_TRUE(inside) << "item past the end of its chunk";
      }
    }
  }
}

TEST(SimpleMemoryPoolTest, AllocFailsWhenTheHookRefuses) {
  RecordingHook hook;
  hook.refuse = true;
  HookScope scope(&hook);
  SimpleMemoryPool pool(16, 8, 16, false);
  EXPECT_EQ(pool.Alloc(), nullptr);
  EXPECT_FALSE(pool.IsInitialized());
  EXPECT_EQ(pool.GetNumFreeItems(), 0u);
}

TEST(SimpleMemoryPoolTest, ResetLeavesManagedChunksAlone) {
  RecordingHook hook;
  HookScope scope(&hook);
  SimpleMemoryPool pool(16, 4, 16, false);
  ASSERT_NE(pool.Alloc(), nullptr);
  void* chunk = hook.calls[0].block;
  Yr::Memory::RegisterManagedMemory(A(chunk), hook.calls[0].size);
  pool.Reset();
  EXPECT_TRUE(hook.frees.empty()) << "a chunk in a managed range is never freed";
  Yr::Memory::DeregisterManagedMemory(A(chunk));
  Yr::OrigAlignedFree(chunk);
}

// ---- The weak-counter page pool -------------------------------------------------------------

constexpr unsigned int kItemsPerPage = WeakCounterPool::kItemsPerPage;
static_assert(kItemsPerPage == (PoolOfBase::kPageSize - PoolOfBase::kHeaderSize) / sizeof(WeakCounter));
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(kItemsPerPage == 508, "32-byte header, 8-byte items");
#endif

// A pool of its own for each test, so the process-wide pool is left alone.
class WeakCounterPoolTest : public testing::Test {
 protected:
  void TearDown() override { pool.ReleasePages(); }
  WeakCounterPool pool;
};

TEST_F(WeakCounterPoolTest, PagesComeThroughTheHookWithThePageStrategy) {
  RecordingHook hook;
  HookScope scope(&hook);
  void* item = pool.Alloc();
  ASSERT_EQ(hook.calls.size(), 1u);
  EXPECT_EQ(hook.calls[0].size, size_t{PoolOfBase::kPageSize});
  EXPECT_EQ(hook.calls[0].alignment, size_t{PoolOfBase::kPageSize});
  EXPECT_EQ(hook.calls[0].strategy, 4);
  const auto* page = static_cast<const PoolOfBase::Block*>(hook.calls[0].block);
  EXPECT_EQ(A(item), A(page) + PoolOfBase::kHeaderSize);
  EXPECT_EQ(PoolOfBase::PageOf(item), page);
  EXPECT_EQ(page->mRoot, &pool);
  EXPECT_EQ(page->mItemSize, sizeof(WeakCounter));
  EXPECT_EQ(A(page->mEnd), A(page) + PoolOfBase::kPageSize);
  EXPECT_EQ(A(page->mBump), A(item) + sizeof(WeakCounter));

  pool.ReleasePages();
  EXPECT_EQ(hook.frees, std::vector<void*>{hook.calls[0].block});
  EXPECT_EQ(pool.AvailablePages(), 0u);
}

TEST_F(WeakCounterPoolTest, FullPagesMoveAndComeBack) {
  std::vector<void*> items;
  for (unsigned int i = 0; i < kItemsPerPage; ++i) items.push_back(pool.Alloc());
  const PoolOfBase::Block* first = PoolOfBase::PageOf(items[0]);
  for (void* item : items) ASSERT_EQ(PoolOfBase::PageOf(item), first);
  EXPECT_EQ(A(items.back()) + sizeof(WeakCounter), A(first) + PoolOfBase::kPageSize);
  EXPECT_EQ(pool.AvailablePages(), 1u);

  void* next = pool.Alloc();  // item kItemsPerPage + 1
  EXPECT_NE(PoolOfBase::PageOf(next), first);
  EXPECT_EQ(pool.AvailablePages(), 1u);
  EXPECT_EQ(pool.FullPages(), 1u);

  // Giving back any item of the full page makes it available again, at the tail.
  pool.Free(items[100]);
  EXPECT_EQ(pool.FullPages(), 0u);
  EXPECT_EQ(pool.AvailablePages(), 2u);
  EXPECT_EQ(pool.mAvailable.Sentinel()->prev, first);
  // The second page is still first in line; its bump space serves before the freed item.
  EXPECT_EQ(PoolOfBase::PageOf(pool.Alloc()), PoolOfBase::PageOf(next));
  pool.Free(nullptr);

  // Reset: every page fresh and available; the next item is the first of a page again.
  pool.Reset();
  EXPECT_EQ(pool.AvailablePages(), 2u);
  EXPECT_EQ(pool.FullPages(), 0u);
  void* fresh = pool.Alloc();
  EXPECT_EQ(A(fresh) % PoolOfBase::kPageSize, size_t{PoolOfBase::kHeaderSize});
}

class PoolDumpTest : public WeakCounterPoolTest {
 protected:
  void SetUp() override { ASSERT_TRUE(YrTest::SwitchDebugOutputOn()); }
  // The expected text of one page dump with the given words marked.
  static std::string PageText(const PoolOfBase::Block* page, const std::vector<bool>& marked) {
    unsigned int used = 0;
    for (bool m : marked) used += m ? 4 : 0;
    std::string text = "\nBlock [" + Hex(A(page)) + " - " + Hex(A(page) + 0x7FFF) + "] Size: 8 Used: " +
                       std::to_string(used) + ", 0\n\n";
    for (unsigned int line = 0; line < 32; ++line) {
      for (unsigned int column = 0; column < 256; ++column) {
        const unsigned int word = line * 256 + column;
        text += word < marked.size() && marked[word] ? 'X' : '.';
      }
      text += '\n';
    }
    return text;
  }
  YrTest::DebugCapture capture;
};

TEST_F(PoolDumpTest, BlockDump_MarksItemsInUse) {
  std::vector<void*> items;
  for (int i = 0; i < 5; ++i) items.push_back(pool.Alloc());
  pool.Free(items[1]);
  pool.Free(items[3]);
  const PoolOfBase::Block* page = PoolOfBase::PageOf(items[0]);
  capture.Clear();
  page->Dump();

  const unsigned int headerWords = PoolOfBase::kHeaderSize / 4;
  std::vector<bool> marked(headerWords + 10, false);
  for (int i : {0, 2, 4}) marked[headerWords + 2 * i] = marked[headerWords + 2 * i + 1] = true;
  const std::string text = capture.Joined();
  EXPECT_EQ(text, PageText(page, marked));
  EXPECT_NE(text.find("Used: 24, 0"), std::string::npos) << "three items of 8 bytes";
#if UINTPTR_MAX == 0xFFFFFFFFu
  EXPECT_EQ(text.find("\n\n........XX..XX..XX"), text.find("\n\n"));
#endif
}

TEST_F(PoolDumpTest, RootDump_PrintsAvailablePagesInAddressOrder) {
  std::vector<void*> items;
  for (unsigned int i = 0; i < 2 * kItemsPerPage + 1; ++i) items.push_back(pool.Alloc());
  // Two full pages and a third; give one item back to each full page so all three are
  // available, the first page last in the list.
  pool.Free(items[0]);
  pool.Free(items[kItemsPerPage]);
  ASSERT_EQ(pool.AvailablePages(), 3u);
  std::vector<const PoolOfBase::Block*> pages;
  const Yr::ListNode* end = pool.mAvailable.Sentinel();
  for (const Yr::ListNode* l = end->next; l != end; l = l->next) pages.push_back(static_cast<const PoolOfBase::Block*>(l));
  std::vector<const PoolOfBase::Block*> sorted = pages;
  std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return A(a) < A(b); });

  capture.Clear();
  pool.Dump();
  std::string expected;
  for (const PoolOfBase::Block* page : sorted) {
    YrTest::DebugCapture inner;
    page->Dump();
    expected += inner.Joined();
  }
  EXPECT_EQ(capture.Joined(), expected);
  size_t at = 0;
  for (const PoolOfBase::Block* page : sorted) {
    const size_t found = capture.Joined().find("Block [" + Hex(A(page)), at);
    ASSERT_NE(found, std::string::npos);
    at = found + 1;
  }
}

TEST(WeakCounterTest, ProcessWidePoolServesNewAndDelete) {
  auto& pool = WeakCounter::GetAllocator();
  EXPECT_GE(pool.AvailablePages() + pool.FullPages(), 1u) << "the first page is there from load";
  auto* counter = new WeakCounter(3, 4);
  EXPECT_EQ(counter->mCount, 3u);
  EXPECT_EQ(counter->mWeakCount, 4u);
  const PoolOfBase::Block* page = PoolOfBase::PageOf(counter);
  EXPECT_EQ(page->mRoot, &pool);
  delete counter;
  EXPECT_EQ(page->mFreeList, counter) << "the item went back to its page";
  auto* again = new (0, __FILE__, __LINE__) WeakCounter(1, 1);
  EXPECT_EQ(again, counter);
  WeakCounter::operator delete(again, 0, __FILE__, __LINE__);

  EXPECT_EQ(Yr::Detail::WeakCountBase::null.mCount, 0u);
  EXPECT_EQ(Yr::Detail::WeakCountBase::null.mWeakCount, 1u);
  uint32_t words[2];
  std::memcpy(words, &Yr::Detail::WeakCountBase::null, sizeof words);
  EXPECT_EQ(words[0], 0u);
  EXPECT_EQ(words[1], 1u);
}

// ---- PhysicalAllocator ----------------------------------------------------------------------

TEST(PhysicalAllocatorTest, ReservesCommitsAndNeverClobbers) {
  Yr::PhysicalAllocator allocator;
  const size_t page = Yr::Platform::VirtualPageSize();
  constexpr unsigned int kSize = 1 << 20;
  char* base = static_cast<char*>(allocator.Alloc(kSize, 4096, 0));
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(A(base) % page, 0u);
  char* committed = static_cast<char*>(allocator.Map(base + 10, 3 * page));
  EXPECT_EQ(committed, base) << "commit starts at the page holding the address";
  std::memset(base, 0x3C, 3 * page);

  // The same address again: refused, and what is there survives.
  EXPECT_EQ(allocator.Alloc(kSize, 0, A(base)), nullptr);
  EXPECT_EQ(allocator.Alloc(page, 0, A(base) + 2 * page), nullptr) << "overlapping the middle";
  EXPECT_EQ(static_cast<unsigned char>(base[2 * page + 5]), 0x3C);
  allocator.Free(base);  // does nothing
  EXPECT_EQ(static_cast<unsigned char>(base[0]), 0x3C);
  ASSERT_TRUE(Yr::Platform::ReleaseAddressSpace(base, kSize + 4096));

  // A free address is taken exactly.
  char* fixed = static_cast<char*>(allocator.Alloc(kSize, 0, A(base)));
  EXPECT_EQ(fixed, base);
  EXPECT_EQ(allocator.Map(fixed, kSize), fixed);
  fixed[kSize - 1] = 1;
  Yr::Platform::ReleaseAddressSpace(fixed, kSize);
  // Committing space that is not reserved fails. A user-mode emulator (32-bit builds run
  // under one) keeps the guest's whole address space mapped on the host and lets this
  // through, so the check needs a real kernel.
  const char* emulator = std::getenv("YR_TEST_EMULATOR");
  if (emulator == nullptr || *emulator == '\0') {
    EXPECT_EQ(allocator.Map(base, page), nullptr);
  }
  EXPECT_EQ(allocator.Alloc(0, 0, 0), nullptr);
}

}  // namespace
