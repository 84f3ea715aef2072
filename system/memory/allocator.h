// Allocation entry points and the allocator hook.
//
// Every byte of dynamic memory the library uses, and every allocation an engine makes
// through these entry points, takes one road: nothing once allocation has been switched off
// for good (Invalidate), else the installed AllocatorHook, else the platform's aligned
// allocator. Frees go to whatever hook is installed at the moment of the free.
//
// Thread safety: the hook pointer, the invalid flag and the persistent callbacks are plain
// process-wide values. Install and configure while one thread allocates; a hook used from
// several threads must be thread-safe itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"
#include "system/platform/platform.h"

namespace Yr {

// Carried unchanged from the five-argument _AlignedMalloc to AllocatorHook::Alloc. The
// library itself produces only kPoolPage; the meaning of the others belongs to the hook.
enum AllocationStrategy : int {
  kDefaultStrategy = 0,
  kPoolPage = 4,
};

class YR_API AllocatorHook {
 public:
  AllocatorHook() = default;
  AllocatorHook(const AllocatorHook&) = default;
  AllocatorHook& operator=(const AllocatorHook&) = default;

  // Slot 1: the base ignores the strategy.
  virtual void* Alloc(unsigned int size, unsigned int alignment, AllocationStrategy strategy);
  // Slot 2.
  virtual void* AlignedMalloc(unsigned int size, unsigned int alignment) = 0;
  // Slot 3.
  virtual void AlignedFree(void* block) = 0;
  // Slot 4: usable size of the block; the library always passes 0 as alignment.
  virtual unsigned int GetAllocationSize(void* block, unsigned int alignment) = 0;

  // Stores hook and returns the one installed before (null if none). Null returns to the
  // platform allocator.
  static AllocatorHook* Install(AllocatorHook* hook);
  static AllocatorHook* Hook() { return mHook; }
  static bool Invalid() { return mInvalid; }
  // Terminal state for the last phase of shutdown: every allocation returns null and every
  // free is ignored from now on.
  static void Invalidate();

  // A hook object is freed by the plain rule (no managed-memory test).
  static void* operator new(size_t size);
  static void operator delete(void* block);

  static AllocatorHook* mHook;
  static bool mInvalid;

 protected:
  virtual ~AllocatorHook();
};

// ---- Entry points -------------------------------------------------------------------------
YR_API void* _AlignedMalloc(unsigned int size, int alignment, const char* file, int line,
                            AllocationStrategy strategy);
// The two hot entry points are inline, so the fast path costs the caller one flag test, one
// pointer test and one call; the library also exports them for callers that take their
// address or do not see this header.
YR_API_INLINE inline void* _AlignedMalloc(unsigned int size, int alignment, const char* file, int line);
// No managed-memory test and no null test: null is handed on to the hook or the platform.
YR_API_INLINE inline void _AlignedFree(void* block);
YR_API void* YrRealloc(void* block, unsigned int size);
YR_API void* YrAlignedRealloc(void* block, unsigned int size, unsigned int alignment);
// size is the byte count; the block is zero-filled.
YR_API void* YrCalloc(unsigned int size);

// The default behaviour a hook can forward to: the platform allocator without the hook.
YR_API void* OrigAlignedMalloc(unsigned int size, int alignment, const char* file, int line);
YR_API void OrigAlignedFree(void* block);
YR_API unsigned int OrigGetAllocationSize(void* block, unsigned int alignment);

// ---- Class-level new/delete rules --------------------------------------------------------
// Deleting through VirtualBase frees by the plain rule: hook or platform, nothing once
// invalidated; null is not freed.
struct YR_API VirtualBase {
  virtual ~VirtualBase();
  static void* operator new(size_t size);
  static void* operator new[](size_t size);
  static void operator delete(void* block);
  static void operator delete[](void* block);
  // Placement forms stay usable: the class-level operators would otherwise hide them.
  static void* operator new(size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}
};

// Frees by the managed rule: a block inside a registered managed range is never freed.
struct YR_API MemObject {
  static void* operator new(size_t size);
  static void* operator new[](size_t size);
  static void operator delete(void* block);
  static void operator delete[](void* block);
  static void* operator new(size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}
};

struct YR_API VirtualMemObject : VirtualBase, MemObject {
  ~VirtualMemObject() override;
  using MemObject::operator new;
  using MemObject::operator new[];
  using MemObject::operator delete;
  using MemObject::operator delete[];
};

// Application callbacks for persistent memory (used by persistent heaps).
class YR_API PersistentAllocator {
 public:
  using AllocFunc = void* (*)(unsigned int);
  using FreeFunc = void (*)(void*);
  static void Init(AllocFunc alloc, FreeFunc free);
  static void* Alloc(unsigned int size);
  static void Free(void* block);

  static AllocFunc sAllocFunc;
  static FreeFunc sFreeFunc;
};

namespace Memory {

// Heap-checking entry points: kept for callers, they check nothing in this library.
YR_API bool Check();
YR_API bool CheckHeaps(bool, bool);
YR_API unsigned int SetBreakAlloc(unsigned int);
YR_API unsigned int GetAvailable();
YR_API void MemInfo(const char* title, bool dump);
YR_API void MemAssert(unsigned int);

// Reads the 32-bit word 8 bytes before p and returns it minus 32. Only meaningful for blocks
// of an allocator that stores that word; the default path stores none.
YR_API char* GetAlignedAllocAddress(void* p);

}  // namespace Memory

namespace Detail {

// The library's own allocations: 16-byte aligned, by the allocation rule.
constexpr unsigned int kDefaultAlignment = 16;
YR_API void* Allocate(unsigned int size, unsigned int alignment = kDefaultAlignment);
// Plain rule: no managed test.
YR_API void Free(void* block);
// Managed rule: skips blocks inside registered managed ranges.
YR_API void FreeManaged(void* block);
// Dumps the heap tree to the debug output (MemInfo, MemAssert).
YR_API void DumpHeaps();

}  // namespace Detail

// Always inlined, also in unoptimised builds: call stacks recorded by tracing hooks then begin
// at the caller, as they do for the library's other entry points.
[[gnu::always_inline, gnu::artificial]] inline void* _AlignedMalloc(unsigned int size, int alignment, const char*, int) {
  if (AllocatorHook::mInvalid) return nullptr;
  if (AllocatorHook* hook = AllocatorHook::mHook) return hook->AlignedMalloc(size, static_cast<unsigned int>(alignment));
  return Platform::AlignedAllocOrStop(size, static_cast<unsigned int>(alignment));
}

[[gnu::always_inline, gnu::artificial]] inline void _AlignedFree(void* block) {
  if (AllocatorHook::mInvalid) return;
  if (AllocatorHook* hook = AllocatorHook::mHook) return hook->AlignedFree(block);
  Platform::AlignedFreeInline(block);
}

}  // namespace Yr
