#include "system/memory/allocator.h"

#include <cstring>

#include "system/memory/managed_memory.h"
#include "system/memory/simple_heap.h"
#include "system/platform/platform.h"

namespace Yr {

AllocatorHook* AllocatorHook::mHook = nullptr;
bool AllocatorHook::mInvalid = false;

PersistentAllocator::AllocFunc PersistentAllocator::sAllocFunc = nullptr;
PersistentAllocator::FreeFunc PersistentAllocator::sFreeFunc = nullptr;

namespace {

// Usable size of a live block as the reallocation functions see it.
inline unsigned int CurrentSize(void* block) {
  if (AllocatorHook::mInvalid) return 0;
  if (AllocatorHook* hook = AllocatorHook::mHook) return hook->GetAllocationSize(block, 0);
  return OrigGetAllocationSize(block, 0);
}

void* MoveBlock(void* block, unsigned int oldSize, unsigned int size, unsigned int alignment) {
  void* fresh = Detail::Allocate(size, alignment);
  if (fresh == nullptr) return nullptr;
  std::memcpy(fresh, block, oldSize < size ? oldSize : size);
  Detail::FreeManaged(block);
  return fresh;
}

}  // namespace

namespace Detail {

// The allocation and plain free rules are the inline entry points of the header.
void* Allocate(unsigned int size, unsigned int alignment) {
  return _AlignedMalloc(size, static_cast<int>(alignment), nullptr, 0);
}

void Free(void* block) { _AlignedFree(block); }

void DumpHeaps() { SimpleHeap::Dump(true); }

void FreeManaged(void* block) {
  if (Memory::IsManagedMemory(block)) return;
  _AlignedFree(block);
}

}  // namespace Detail

// ---- AllocatorHook --------------------------------------------------------------------------

AllocatorHook::~AllocatorHook() = default;

void* AllocatorHook::Alloc(unsigned int size, unsigned int alignment, AllocationStrategy) {
  return AlignedMalloc(size, alignment);
}

AllocatorHook* AllocatorHook::Install(AllocatorHook* hook) {
  AllocatorHook* previous = mHook;
  mHook = hook;
  return previous;
}

void AllocatorHook::Invalidate() { mInvalid = true; }

void* AllocatorHook::operator new(size_t size) { return Detail::Allocate(static_cast<unsigned int>(size)); }
void AllocatorHook::operator delete(void* block) { _AlignedFree(block); }

// ---- Entry points ---------------------------------------------------------------------------

void* _AlignedMalloc(unsigned int size, int alignment, const char*, int, AllocationStrategy strategy) {
  if (AllocatorHook::mInvalid) return nullptr;
  if (AllocatorHook* hook = AllocatorHook::mHook)
    return hook->Alloc(size, static_cast<unsigned int>(alignment), strategy);
  return Platform::AlignedAllocOrStop(size, static_cast<unsigned int>(alignment));
}

// The inline entry points are emitted here too, so the library exports them.
[[gnu::used]] void* (*const kExportAlignedMalloc)(unsigned int, int, const char*, int) = &_AlignedMalloc;
[[gnu::used]] void (*const kExportAlignedFree)(void*) = &_AlignedFree;

void* YrRealloc(void* block, unsigned int size) {
  if (block == nullptr) return size == 0 ? nullptr : Detail::Allocate(size);
  if (size == 0) {
    Detail::FreeManaged(block);
    return nullptr;
  }
  unsigned int oldSize = CurrentSize(block);
  if (oldSize == size) return block;
  return MoveBlock(block, oldSize, size, Detail::kDefaultAlignment);
}

void* YrAlignedRealloc(void* block, unsigned int size, unsigned int alignment) {
  if (block == nullptr) {
    if (size == 0 || AllocatorHook::mInvalid) return nullptr;
    return Detail::Allocate(size, alignment);
  }
  unsigned int oldSize = CurrentSize(block);
  if (oldSize == size) return block;
  // Size 0 still yields a fresh (zero-size) block: the caller gets a valid pointer back.
  return MoveBlock(block, oldSize, size, alignment);
}

void* YrCalloc(unsigned int size) {
  void* block = Detail::Allocate(size);
  if (block) std::memset(block, 0, size);
  return block;
}

void* OrigAlignedMalloc(unsigned int size, int alignment, const char*, int) {
  return Platform::AlignedAllocOrStop(size, static_cast<unsigned int>(alignment));
}

void OrigAlignedFree(void* block) { Platform::AlignedFree(block); }

// A block inside a managed range was never allocated by the platform: asking the platform
// for its size would read foreign memory as allocator metadata. Its size is what remains of
// its range.
unsigned int OrigGetAllocationSize(void* block, unsigned int) {
  if (unsigned int managed = Detail::ManagedBytesFrom(block)) return managed;
  return static_cast<unsigned int>(Platform::AlignedUsableSize(block));
}

// ---- Class-level rules ----------------------------------------------------------------------

VirtualBase::~VirtualBase() = default;
void* VirtualBase::operator new(size_t size) { return Detail::Allocate(static_cast<unsigned int>(size)); }
void* VirtualBase::operator new[](size_t size) { return Detail::Allocate(static_cast<unsigned int>(size)); }
void VirtualBase::operator delete(void* block) {
  if (block) _AlignedFree(block);
}
void VirtualBase::operator delete[](void* block) {
  if (block) _AlignedFree(block);
}

void* MemObject::operator new(size_t size) { return Detail::Allocate(static_cast<unsigned int>(size)); }
void* MemObject::operator new[](size_t size) { return Detail::Allocate(static_cast<unsigned int>(size)); }
void MemObject::operator delete(void* block) {
  if (block) Detail::FreeManaged(block);
}
void MemObject::operator delete[](void* block) {
  if (block) Detail::FreeManaged(block);
}

VirtualMemObject::~VirtualMemObject() = default;

// ---- PersistentAllocator --------------------------------------------------------------------

void PersistentAllocator::Init(AllocFunc alloc, FreeFunc free) {
  sAllocFunc = alloc;
  sFreeFunc = free;
}

void* PersistentAllocator::Alloc(unsigned int size) { return sAllocFunc ? sAllocFunc(size) : nullptr; }

void PersistentAllocator::Free(void* block) {
  if (sFreeFunc) sFreeFunc(block);
}

// ---- Heap checks ----------------------------------------------------------------------------

namespace Memory {

bool Check() { return true; }
bool CheckHeaps(bool, bool) { return true; }
unsigned int SetBreakAlloc(unsigned int) { return 0; }
unsigned int GetAvailable() { return 0; }

void MemInfo(const char*, bool dump) {
  if (dump) Detail::DumpHeaps();
}

void MemAssert(unsigned int) { Detail::DumpHeaps(); }

char* GetAlignedAllocAddress(void* p) {
  constexpr size_t kWordOffset = 8;
  constexpr uint32_t kRawOffset = 32;
  uint32_t word;
  std::memcpy(&word, static_cast<const char*>(p) - kWordOffset, sizeof word);
  return reinterpret_cast<char*>(static_cast<uintptr_t>(word - kRawOffset));
}

}  // namespace Memory
}  // namespace Yr
