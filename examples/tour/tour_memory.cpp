// Tour section: the allocation hook and managed memory.
#include <cstdlib>

#include "examples/tour/tour.h"
#include "system/memory/allocator.h"
#include "system/memory/managed_memory.h"

namespace {

// A hook that counts what passes through it and forwards to the default allocator.
class CountingHook : public Yr::AllocatorHook {
 public:
  void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    ++mAllocations;
    mBytes += size;
    return Yr::OrigAlignedMalloc(size, static_cast<int>(alignment), __FILE__, __LINE__);
  }
  void AlignedFree(void* block) override {
    ++mFrees;
    Yr::OrigAlignedFree(block);
  }
  unsigned int GetAllocationSize(void* block, unsigned int alignment) override {
    return Yr::OrigGetAllocationSize(block, alignment);
  }
  unsigned long mAllocations = 0;
  unsigned long mFrees = 0;
  unsigned long mBytes = 0;
};

CountingHook gHook;  // stays installed for the rest of the tour

}  // namespace

void Tour::Memory(int, char**) {
  Section("Allocation hook and managed memory");
  std::printf("The library is loaded: its start-up steps have run (set YR_STARTUP_TRACE=1 to watch them).\n");

  Yr::AllocatorHook* previous = Yr::AllocatorHook::Install(&gHook);
  std::printf("Installed a counting AllocatorHook (previous hook: %s).\n", previous ? "one" : "none");

  void* block = Yr::_AlignedMalloc(100, 64, __FILE__, __LINE__);
  std::printf("_AlignedMalloc(100, 64) -> %p, 64-byte aligned: %s\n", block,
              reinterpret_cast<uintptr_t>(block) % 64 == 0 ? "yes" : "no");
  block = Yr::YrRealloc(block, 300);
  std::printf("YrRealloc to 300 bytes moved the block to %p (reallocation aligns to 16).\n", block);
  Yr::_AlignedFree(block);

  static char arena[256];
  Yr::Memory::RegisterManagedMemory(reinterpret_cast<uintptr_t>(arena), sizeof arena);
  std::printf("Registered a 256-byte managed range: first byte managed %s, byte past the end managed %s.\n",
              Yr::Memory::IsManagedMemory(arena) ? "yes" : "no",
              Yr::Memory::IsManagedMemory(arena + sizeof arena) ? "yes" : "no");
  void* moved = Yr::YrRealloc(arena, 32);
  std::printf("Reallocating inside the managed range copies out and leaves the range alone: %p\n", moved);
  Yr::_AlignedFree(moved);
  Yr::Memory::DeregisterManagedMemory(reinterpret_cast<uintptr_t>(arena));

  std::printf("The hook has seen %lu allocations (%lu bytes) and %lu frees so far.\n", gHook.mAllocations,
              gHook.mBytes, gHook.mFrees);
}

void Tour::MemoryFinish() {
  Section("Shutting down");
  std::printf("Over the whole tour the hook served %lu allocations (%lu bytes) and %lu frees.\n",
              gHook.mAllocations, gHook.mBytes, gHook.mFrees);
  // Blocks allocated through the hook may still be live in library tables; they are freed at
  // unload by whatever is installed then, and the default allocator is what served them.
  Yr::AllocatorHook::Install(nullptr);
  std::printf("Uninstalled the hook; the library's tables are freed when it unloads.\n");
}
