// The default allocator behind the aligned heap functions of platform.h.
//
// With mimalloc configured, the shared mimalloc library is opened with RTLD_LOCAL: its
// symbols, its own malloc and free among them, then take part in no other module's symbol
// lookup, so the process's malloc stays the C library's and only the library's entry points
// reach mimalloc, through the table below. Linking it the ordinary way would put its malloc
// in the global scope for the whole process, which is the application's choice to make.
//
// The table starts out pointing at functions that make the choice on the first call of any
// of them (before main() too), under a function-local static, so that every thread sees the
// same choice before it allocates or frees anything.
#include <dlfcn.h>
#include <malloc.h>

#include <cstdlib>

#include "system/platform/platform.h"

namespace Yr::Platform {
namespace {

void* SystemAllocateAligned(size_t size, size_t alignment) {
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  void* block = nullptr;
  if (::posix_memalign(&block, alignment, size) != 0) return nullptr;
  return block;
}

}  // namespace

#if YR_DEFAULT_ALLOCATOR_MIMALLOC

namespace {

void SystemFree(void* block) { ::free(block); }
size_t SystemUsableSize(const void* block) { return ::malloc_usable_size(const_cast<void*>(block)); }

struct Choice {
  Detail::AllocateAlignedFunction allocate = SystemAllocateAligned;
  Detail::FreeFunction free = SystemFree;
  Detail::UsableSizeFunction usableSize = SystemUsableSize;
  const char* name = "system";
};

Choice Load() {
  Choice choice;
  // RTLD_NODELETE: blocks may outlive an unload of this library; mimalloc must stay.
  void* library = ::dlopen(kMimallocLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (library == nullptr) return choice;
  auto allocate = reinterpret_cast<Detail::AllocateAlignedFunction>(::dlsym(library, "mi_malloc_aligned"));
  auto free = reinterpret_cast<Detail::FreeFunction>(::dlsym(library, "mi_free"));
  auto usableSize = reinterpret_cast<Detail::UsableSizeFunction>(::dlsym(library, "mi_usable_size"));
  if (allocate == nullptr || free == nullptr || usableSize == nullptr) return choice;
  return Choice{allocate, free, usableSize, "mimalloc"};
}

const Choice& Chosen() {
  static const Choice choice = [] {
    Choice loaded = Load();
    Detail::gDefaultAllocator.usableSize.store(loaded.usableSize, std::memory_order_relaxed);
    Detail::gDefaultAllocator.free.store(loaded.free, std::memory_order_relaxed);
    Detail::gDefaultAllocator.allocate.store(loaded.allocate, std::memory_order_relaxed);
    return loaded;
  }();
  return choice;
}

void* ChooseThenAllocate(size_t size, size_t alignment) { return Chosen().allocate(size, alignment); }
void ChooseThenFree(void* block) { Chosen().free(block); }
size_t ChooseThenUsableSize(const void* block) { return Chosen().usableSize(block); }

}  // namespace

namespace Detail {
DefaultAllocator gDefaultAllocator = {ChooseThenAllocate, ChooseThenFree, ChooseThenUsableSize};
}  // namespace Detail

void* AlignedAlloc(size_t size, size_t alignment) {
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  return Detail::gDefaultAllocator.allocate.load(std::memory_order_relaxed)(Detail::AlignedRequestSize(size, alignment),
                                                                            alignment);
}

void AlignedFree(void* block) { Detail::gDefaultAllocator.free.load(std::memory_order_relaxed)(block); }

size_t AlignedUsableSize(void* block) {
  return block ? Detail::gDefaultAllocator.usableSize.load(std::memory_order_relaxed)(block) : 0;
}

const char* DefaultAllocatorName() { return Chosen().name; }

#else

void* AlignedAlloc(size_t size, size_t alignment) { return SystemAllocateAligned(size, alignment); }

void AlignedFree(void* block) { ::free(block); }

size_t AlignedUsableSize(void* block) { return block ? ::malloc_usable_size(block) : 0; }

const char* DefaultAllocatorName() { return "system"; }

#endif

}  // namespace Yr::Platform
