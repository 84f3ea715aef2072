#include "system/memory/allocator.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <dlfcn.h>
#include <sys/resource.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "system/memory/darray.h"
#include "system/memory/managed_memory.h"
#include "system/platform/platform.h"
#include "tests/memory/memory_test_helpers.h"
#include "tests/thread_sanitizer.h"

namespace {

using Yr::AllocatorHook;
using YrTest::HookScope;
using YrTest::RecordingHook;

// Registers a managed range for one test.
class ManagedScope {
 public:
  ManagedScope(void* begin, unsigned int size) : mBegin(reinterpret_cast<uintptr_t>(begin)) {
    Yr::Memory::RegisterManagedMemory(mBegin, size);
  }
  ~ManagedScope() { Yr::Memory::DeregisterManagedMemory(mBegin); }

 private:
  uintptr_t mBegin;
};

bool Aligned(const void* p, uintptr_t alignment) { return reinterpret_cast<uintptr_t>(p) % alignment == 0; }

TEST(AllocatorTest, DefaultPathAlignsAndSizes) {
  for (int alignment : {1, 2, 4, 8, 16, 64, 256, 4096}) {
    void* block = Yr::_AlignedMalloc(40, alignment, __FILE__, __LINE__);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(Aligned(block, static_cast<uintptr_t>(alignment))) << alignment;
    EXPECT_GE(Yr::OrigGetAllocationSize(block, 0), 40u);
    std::memset(block, 0xAB, 40);
    Yr::_AlignedFree(block);
  }
  Yr::_AlignedFree(nullptr);  // handed on to the platform, which accepts null
}

// The configured default allocator, through the inline entry points and the exported
// ones alike: a live set of blocks of 16 B to 4 KiB at every alignment, each filled with its
// own byte, none overlapping another, every one intact when it is freed.
TEST(AllocatorTest, DefaultAllocatorKeepsManyLiveBlocksApartAndIntact) {
#if YR_DEFAULT_ALLOCATOR_MIMALLOC
  EXPECT_STREQ(Yr::Platform::DefaultAllocatorName(), "mimalloc");
#else
  EXPECT_STREQ(Yr::Platform::DefaultAllocatorName(), "system");
#endif
  struct Live {
    unsigned char* block;
    unsigned int size;
    unsigned char fill;
  };
  std::vector<Live> live;
  uint32_t random = 12345;
  auto next = [&random] { return random = random * 1664525u + 1013904223u; };
  auto release = [&live](size_t i, bool exported) {
    const Live& l = live[i];
    for (unsigned int b = 0; b < l.size; ++b) ASSERT_EQ(l.block[b], l.fill) << "block of " << l.size << " overwritten";
    if (exported) Yr::OrigAlignedFree(l.block);
    else Yr::_AlignedFree(l.block);
    live[i] = live.back();
    live.pop_back();
  };
  for (int step = 0; step < 20000 && !HasFatalFailure(); ++step) {
    if (live.size() < 300 && next() % 3 != 0) {
      const unsigned int size = 16u << (next() % 9);  // 16 B .. 4 KiB
      const unsigned int adjusted = size - next() % 8;
      const int alignment = 1 << (next() % 13);  // 1 .. 4096
      auto* block =
          static_cast<unsigned char*>(step % 2 ? Yr::_AlignedMalloc(adjusted, alignment, __FILE__, __LINE__)
                                               : Yr::OrigAlignedMalloc(adjusted, alignment, __FILE__, __LINE__));
      ASSERT_NE(block, nullptr);
      ASSERT_TRUE(Aligned(block, static_cast<uintptr_t>(alignment))) << alignment;
      ASSERT_GE(Yr::OrigGetAllocationSize(block, 0), adjusted);
      const auto fill = static_cast<unsigned char>(next());
      std::memset(block, fill, adjusted);
      live.push_back({block, adjusted, fill});
    } else if (!live.empty()) {
      release(next() % live.size(), step % 2 == 0);
    }
    if (step % 1000 == 999) {
      std::vector<Live> sorted = live;
      std::sort(sorted.begin(), sorted.end(), [](const Live& x, const Live& y) { return x.block < y.block; });
      for (size_t i = 1; i < sorted.size(); ++i)
        ASSERT_LE(sorted[i - 1].block + sorted[i - 1].size, sorted[i].block) << "blocks overlap";
    }
  }
  while (!live.empty() && !HasFatalFailure()) release(live.size() - 1, false);
}

// mimalloc serves the entry points only: opened privately, its malloc stays out of the
// global scope, and the process's malloc remains the C library's.
TEST(AllocatorTest, DefaultAllocatorLeavesTheProcessMallocAlone) {
#if YR_DEFAULT_ALLOCATOR_MIMALLOC
  Yr::_AlignedFree(Yr::_AlignedMalloc(1, 16, __FILE__, __LINE__));  // the choice is made
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "mi_malloc"), nullptr);
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "malloc"), dlsym(RTLD_DEFAULT, "__libc_malloc"));
#else
  GTEST_SKIP() << "the system allocator is configured";
#endif
}

TEST(AllocatorTest, ReallocRulesWithoutHook) {
  EXPECT_EQ(Yr::YrRealloc(nullptr, 0), nullptr);
  EXPECT_EQ(Yr::YrAlignedRealloc(nullptr, 0, 64), nullptr);

  auto* block = static_cast<unsigned char*>(Yr::YrRealloc(nullptr, 24));
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(Aligned(block, 16));
  for (int i = 0; i < 24; ++i) block[i] = static_cast<unsigned char>(i);
  auto* grown = static_cast<unsigned char*>(Yr::YrRealloc(block, 1000));
  ASSERT_NE(grown, nullptr);
  for (int i = 0; i < 24; ++i) ASSERT_EQ(grown[i], i);
  // Asking for exactly the usable size keeps the block.
  unsigned int usable = Yr::OrigGetAllocationSize(grown, 0);
  EXPECT_EQ(Yr::YrRealloc(grown, usable), grown);
  EXPECT_EQ(Yr::YrRealloc(grown, 0), nullptr);

  auto* aligned = static_cast<unsigned char*>(Yr::YrAlignedRealloc(nullptr, 100, 256));
  ASSERT_NE(aligned, nullptr);
  EXPECT_TRUE(Aligned(aligned, 256));
  std::memset(aligned, 7, 100);
  auto* shrunk = static_cast<unsigned char*>(Yr::YrAlignedRealloc(aligned, 10, 512));
  ASSERT_NE(shrunk, nullptr);
  EXPECT_TRUE(Aligned(shrunk, 512));
  EXPECT_EQ(shrunk[9], 7);
  // Size 0 frees the old block and hands back a fresh zero-size block, not null.
  void* zero = Yr::YrAlignedRealloc(shrunk, 0, 16);
  EXPECT_NE(zero, nullptr);
  Yr::_AlignedFree(zero);

  auto* zeroed = static_cast<unsigned char*>(Yr::YrCalloc(333));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 333; ++i) ASSERT_EQ(zeroed[i], 0);
  Yr::_AlignedFree(zeroed);
}

TEST(AllocatorTest, HookInstallationAndRouting) {
  RecordingHook first;
  RecordingHook second;
  EXPECT_EQ(AllocatorHook::Install(&first), nullptr);
  EXPECT_EQ(AllocatorHook::Hook(), &first);
  EXPECT_EQ(AllocatorHook::Install(&second), &first);
  EXPECT_EQ(AllocatorHook::Install(nullptr), &second);

  // A block allocated under one hook is freed by whichever hook is installed at the free.
  AllocatorHook::Install(&first);
  void* block = Yr::_AlignedMalloc(64, 32, __FILE__, __LINE__);
  ASSERT_EQ(first.calls.size(), 1u);
  EXPECT_EQ(first.calls.back().alignment, 32u);
  AllocatorHook::Install(&second);
  Yr::_AlignedFree(block);
  EXPECT_TRUE(first.frees.empty());
  ASSERT_EQ(second.frees.size(), 1u);
  EXPECT_EQ(second.frees[0], block);

  // The five-argument form reaches slot 1 with its strategy; the base forwards to slot 2.
  void* page = Yr::_AlignedMalloc(4096, 4096, __FILE__, __LINE__, Yr::kPoolPage);
  ASSERT_EQ(second.strategies.size(), 1u);
  EXPECT_EQ(second.strategies[0], Yr::kPoolPage);
  EXPECT_EQ(second.calls.size(), 1u);
  Yr::_AlignedFree(page);
  // Null is handed on to the hook as it stands.
  Yr::_AlignedFree(nullptr);
  EXPECT_EQ(second.frees.back(), nullptr);

  AllocatorHook::Install(nullptr);
  EXPECT_EQ(AllocatorHook::Hook(), nullptr);
  void* platform = Yr::_AlignedMalloc(16, 16, __FILE__, __LINE__);
  Yr::_AlignedFree(platform);
  EXPECT_EQ(second.calls.size(), 1u);
}

TEST(AllocatorTest, ReallocAsksTheHookForTheSize) {
  RecordingHook hook;
  HookScope scope(&hook);
  void* block = Yr::_AlignedMalloc(100, 16, __FILE__, __LINE__);
  hook.reportedSizes[block] = 48;
  // The hook says the block holds 48 bytes: asking for 48 keeps it.
  EXPECT_EQ(Yr::YrRealloc(block, 48), block);
  EXPECT_EQ(Yr::YrAlignedRealloc(block, 48, 4096), block);
  ASSERT_FALSE(hook.sizeQueries.empty());
  for (unsigned int alignment : hook.sizeQueries) EXPECT_EQ(alignment, 0u);
  void* moved = Yr::YrRealloc(block, 64);
  EXPECT_NE(moved, block);
  EXPECT_EQ(hook.frees.back(), block);
  Yr::_AlignedFree(moved);

  // A hook that refuses is passed through: YrCalloc returns null and writes nothing.
  hook.refuse = true;
  EXPECT_EQ(Yr::YrCalloc(64), nullptr);
  EXPECT_EQ(Yr::_AlignedMalloc(64, 16, __FILE__, __LINE__), nullptr);
}

TEST(AllocatorTest, ManagedRangesAreNeverFreed) {
  alignas(16) static unsigned char arena[512];
  for (unsigned int i = 0; i < sizeof arena; ++i) arena[i] = static_cast<unsigned char>(i * 7);
  ManagedScope managed(arena, sizeof arena);
  EXPECT_TRUE(Yr::Memory::sManagedMemoryUsed);
  EXPECT_TRUE(Yr::Memory::IsManagedMemory(arena));
  EXPECT_TRUE(Yr::Memory::IsManagedMemory(arena + sizeof arena - 1));
  EXPECT_FALSE(Yr::Memory::IsManagedMemory(arena + sizeof arena));
  EXPECT_FALSE(Yr::Memory::IsManagedMemory(nullptr));

  // Without a hook: the size of a managed block is what remains of its range.
  EXPECT_EQ(Yr::OrigGetAllocationSize(arena + 500, 0), 12u);
  auto* copy = static_cast<unsigned char*>(Yr::YrRealloc(arena + 256, 64));
  ASSERT_NE(copy, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(copy[i], static_cast<unsigned char>((256 + i) * 7));
  EXPECT_EQ(arena[256], static_cast<unsigned char>(256 * 7));
  Yr::_AlignedFree(copy);
  EXPECT_EQ(Yr::YrRealloc(arena, 0), nullptr);  // the managed block is not freed

  // With a hook: managed blocks never reach its free; the plain rule of VirtualBase does.
  RecordingHook hook;
  hook.keep = true;
  HookScope scope(&hook);
  void* moved = Yr::YrAlignedRealloc(arena + 16, 32, 64);
  ASSERT_NE(moved, nullptr);
  EXPECT_TRUE(hook.frees.empty());
  hook.keep = false;
  Yr::_AlignedFree(moved);
  hook.frees.clear();
  hook.keep = true;
  void* inside = arena + 32;
  asm volatile("" : "+r"(inside));  // hide the static origin from the compiler's free checks
  Yr::MemObject::operator delete(inside);
  EXPECT_TRUE(hook.frees.empty());
  void* again = arena + 32;
  asm volatile("" : "+r"(again));
  Yr::VirtualBase::operator delete(again);
  ASSERT_EQ(hook.frees.size(), 1u);
  // Container storage that lies in a managed range is left alone too.
  Yr::DefaultHeap<int, 16>::Free(reinterpret_cast<int*>(arena + 64));
  EXPECT_EQ(hook.frees.size(), 1u);
}

TEST(AllocatorTest, ManagedRegistryLimitsAndDeregistration) {
  EXPECT_EQ(Yr::Detail::ManagedMemorySlotCount(), Yr::Memory::kManagedRangeSlots);
  static unsigned char ranges[Yr::Memory::kManagedRangeSlots + 1][4];
  Yr::Memory::RegisterManagedMemory(0, 100);  // begin 0 is ignored
  EXPECT_FALSE(Yr::Memory::IsManagedMemory(reinterpret_cast<void*>(50)));
  for (auto& range : ranges) Yr::Memory::RegisterManagedMemory(reinterpret_cast<uintptr_t>(range), sizeof range);
  EXPECT_TRUE(Yr::Memory::IsManagedMemory(ranges[Yr::Memory::kManagedRangeSlots - 1]));
  EXPECT_FALSE(Yr::Memory::IsManagedMemory(ranges[Yr::Memory::kManagedRangeSlots]));  // the 1025th was dropped
  for (auto& range : ranges) Yr::Memory::DeregisterManagedMemory(reinterpret_cast<uintptr_t>(range));
  EXPECT_FALSE(Yr::Memory::IsManagedMemory(ranges[0]));

  // The same range twice takes two slots; deregistering frees one at a time.
  static unsigned char twice[32];
  auto begin = reinterpret_cast<uintptr_t>(twice);
  Yr::Memory::RegisterManagedMemory(begin, sizeof twice);
  Yr::Memory::RegisterManagedMemory(begin, 8);
  Yr::Memory::DeregisterManagedMemory(begin);  // the lower slot, the whole 32 bytes
  EXPECT_TRUE(Yr::Memory::IsManagedMemory(twice + 7));
  EXPECT_FALSE(Yr::Memory::IsManagedMemory(twice + 8));
  Yr::Memory::DeregisterManagedMemory(begin);
  Yr::Memory::DeregisterManagedMemory(begin);  // unknown now: nothing happens
  EXPECT_FALSE(Yr::Memory::IsManagedMemory(twice));
  // Only the start address identifies a range.
  Yr::Memory::RegisterManagedMemory(begin, sizeof twice);
  Yr::Memory::DeregisterManagedMemory(begin + 1);
  EXPECT_TRUE(Yr::Memory::IsManagedMemory(twice));
  Yr::Memory::DeregisterManagedMemory(begin);
}

struct Counted : Yr::VirtualMemObject {
  static int sLive;
  Counted() { ++sLive; }
  ~Counted() override { --sLive; }
  char payload[40];
};
int Counted::sLive = 0;

TEST(AllocatorTest, ObjectRulesRunDestructorsAndFreeThroughTheHook) {
  RecordingHook hook;
  HookScope scope(&hook);
  Yr::VirtualBase* single = new Counted;
  Counted* many = new Counted[3];
  EXPECT_EQ(Counted::sLive, 4);
  EXPECT_EQ(hook.calls.size(), 2u);
  delete single;
  delete[] many;
  EXPECT_EQ(Counted::sLive, 0);
  EXPECT_EQ(hook.frees.size(), 2u);
  Yr::VirtualBase* none = nullptr;
  delete none;
  EXPECT_EQ(hook.frees.size(), 2u);
}

TEST(AllocatorTest, PersistentCallbacksAndHeapChecks) {
  EXPECT_EQ(Yr::PersistentAllocator::Alloc(10), nullptr);
  Yr::PersistentAllocator::Free(nullptr);  // no function set: nothing happens
  static unsigned int lastSize = 0;
  static void* lastFreed = nullptr;
  static char store[64];
  Yr::PersistentAllocator::Init(
      [](unsigned int size) -> void* {
        lastSize = size;
        return store;
      },
      [](void* block) { lastFreed = block; });
  EXPECT_EQ(Yr::PersistentAllocator::Alloc(48), store);
  EXPECT_EQ(lastSize, 48u);
  Yr::PersistentAllocator::Free(store);
  EXPECT_EQ(lastFreed, store);
  Yr::PersistentAllocator::Init(nullptr, nullptr);

  EXPECT_TRUE(Yr::Memory::Check());
  EXPECT_TRUE(Yr::Memory::CheckHeaps(false, false));
  EXPECT_EQ(Yr::Memory::SetBreakAlloc(12), 0u);
  EXPECT_EQ(Yr::Memory::GetAvailable(), 0u);

  // An allocator that stores, two words before the user pointer, the address 32 bytes past
  // its raw start.
  alignas(16) static unsigned char raw[96];
  uint32_t word = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(raw) + 32);
  std::memcpy(raw + 40, &word, sizeof word);
  EXPECT_EQ(Yr::Memory::GetAlignedAllocAddress(raw + 48),
            reinterpret_cast<char*>(static_cast<uintptr_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(raw)))));
}

TEST(AllocatorTest, DArrayGrowthAndOwnership) {
  Yr::DArray<void*> pointers;
  pointers.Add(nullptr);
  EXPECT_EQ(pointers.Capacity(), 4u);
  for (int i = 0; i < 4; ++i) pointers.Add(nullptr);
  EXPECT_EQ(pointers.Capacity(), 8u);  // twice the old capacity
  Yr::DArray<unsigned char> bytes;
  bytes.Add(1);
  EXPECT_EQ(bytes.Capacity(), 16u);
  struct Pair {
    void* a;
    void* b;
  };
  Yr::DArray<Pair> pairs;
  pairs.Add({nullptr, nullptr});
  EXPECT_EQ(pairs.Capacity(), 2u);
  uint32_t many[40];
  Yr::DArray<uint32_t> large;
  large.Append(many, 40);
  EXPECT_EQ(large.Capacity(), 40u);  // count + 1 beats twice the capacity

  // Storage the array does not own is never freed, and growing moves out of it.
  RecordingHook hook;
  HookScope scope(&hook);
  uint32_t external[2] = {5, 6};
  {
    Yr::DArray<uint32_t> wrapped(external, 2);
    EXPECT_FALSE(wrapped.Owned());
    wrapped.Add(1);
    wrapped.Add(2);
    wrapped.Add(3);  // grows into owned storage
    EXPECT_TRUE(wrapped.Owned());
    EXPECT_EQ(wrapped[2], 3u);
  }
  ASSERT_EQ(hook.frees.size(), 1u);
  EXPECT_NE(hook.frees[0], static_cast<void*>(external));
}

// Invalidation is terminal, so each check runs in a child process.
TEST(AllocatorDeathTest, InvalidateSwitchesAllocationOffForGood) {
  EXPECT_EXIT(
      {
        void* early = Yr::_AlignedMalloc(32, 16, __FILE__, __LINE__);
        AllocatorHook::Invalidate();
        bool ok = AllocatorHook::Invalid() && Yr::_AlignedMalloc(32, 16, __FILE__, __LINE__) == nullptr &&
                  Yr::YrCalloc(32) == nullptr && Yr::YrRealloc(nullptr, 8) == nullptr &&
                  Yr::YrAlignedRealloc(early, 64, 16) == nullptr;
        RecordingHook hook;
        AllocatorHook::Install(&hook);
        ok = ok && Yr::_AlignedMalloc(32, 16, __FILE__, __LINE__, Yr::kPoolPage) == nullptr;
        Yr::_AlignedFree(early);
        ok = ok && hook.calls.empty() && hook.frees.empty() && hook.strategies.empty();
        AllocatorHook::Install(nullptr);
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(AllocatorDeathTest, ExhaustedDefaultAllocatorIsFatal) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer owns the address space, so no address-space limit can make one request fail";
#else
  if (YrTest::kThreadSanitizer) {
    GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("its allocator reports the exhausted address space itself");
  }
#if defined(_WIN32)
  // Windows has no address-space limit a process could set itself, and a 64-bit process may
  // well be granted 4 GiB: exhaustion there is tested with a size_t request, at the
  // platform layer (AlignedHeapTest).
  if (sizeof(void*) == 8) GTEST_SKIP() << "a 4 GiB request may be met on 64-bit Windows";
  EXPECT_DEATH(Yr::OrigAlignedMalloc(0xFFFFFFF0u, 64, __FILE__, __LINE__),
               "out of memory: .+ bytes at alignment 64");
#else
  EXPECT_DEATH(
      {
        unsigned int size = 0xFFFFFFF0u;  // never fits a 32-bit address space
        if (sizeof(void*) == 8) {
          // On 64-bit, cap the address space so that a 1 GiB request cannot be met.
          rlimit limit{};
          getrlimit(RLIMIT_AS, &limit);
          limit.rlim_cur = 512u << 20;
          setrlimit(RLIMIT_AS, &limit);
          size = 1u << 30;
        }
        Yr::OrigAlignedMalloc(size, 64, __FILE__, __LINE__);
      },
      "out of memory: [0-9]+ bytes at alignment 64");
#endif
#endif
}

}  // namespace
