// Tour section: heaps over a reserved region, and the item pools.
#include <cinttypes>
#include <cstring>

#include "examples/tour/tour.h"
#include "system/debug/debug_output.h"
#include "system/memory/allocator.h"
#include "system/memory/intrusive_heap.h"
#include "system/memory/memory_pool.h"
#include "system/memory/physical_allocator.h"
#include "system/memory/pool_of.h"
#include "system/memory/simple_heap.h"
#include "system/platform/vm_platform.h"

namespace {

constexpr unsigned int kRegion = 1u << 20;
constexpr unsigned int kCommitted = 256u << 10;

// Debug output shares the terminal with standard output; flush first to keep them in order.
void Say(const char* text) {
  std::printf("%s", text);
  std::fflush(stdout);
}

// Hands out memory from a SimpleHeap the way its owner would: by moving its top.
void* Take(Yr::SimpleHeap& heap, unsigned int bytes) {
  char* top = static_cast<char*>(heap.Top());
  heap.SetTop(top + bytes);
  return top;
}

}  // namespace

void Tour::Heaps(int, char**) {
  Section("Heaps and pools");
  Yr::PhysicalAllocator physical;
  char* region = static_cast<char*>(physical.Alloc(kRegion, 0, 0));
  if (region == nullptr) {
    std::printf("PhysicalAllocator::Alloc could not reserve %u bytes; skipping this section.\n", kRegion);
    return;
  }
  std::printf("PhysicalAllocator::Alloc reserved %u KiB of address space at %p (nothing committed yet).\n",
              kRegion >> 10, static_cast<void*>(region));
  std::printf("Reserving again at that address is refused, not clobbered: %s.\n",
              physical.Alloc(4096, 0, reinterpret_cast<uintptr_t>(region)) == nullptr ? "null" : "a range?!");
  void* committed = physical.Map(region, kCommitted);
  std::printf("Map committed the first %u KiB read-write: %s.\n", kCommitted >> 10, committed ? "ok" : "failed");

  // A tree of heaps over the region: the level, two parts inside it, a scratch area inside
  // the first part. Each heap's owner moves its top to hand out memory.
  Yr::SimpleHeap level, textures, meshes, scratch;
  level.Init(region, kRegion, "level");
  textures.Init(region, kCommitted / 2, "textures");
  meshes.Init(region + kCommitted / 2, kCommitted / 2, "meshes");
  scratch.Init(region + 4096, 16384, "scratch");
  Take(level, kCommitted);
  Take(textures, 4096 + 16384);
  Take(meshes, 70000);
  Take(scratch, 12000);
  Take(scratch, 3000);
  std::printf("Four SimpleHeaps: level holds textures and meshes, textures holds scratch.\n");
  Say("SimpleHeap::Dump (printer, range, size, peak, used, depth marks, name) to the debug output:\n");
  Yr::SimpleHeap::Dump(false);
  scratch.SetTop(static_cast<char*>(scratch.Base()) + 100);
  Say("Memory::MemInfo(title, true) dumps the same tree; scratch went back to 100 used, its peak stays:\n");
  Yr::Memory::MemInfo("tour", true);

  // An IntrusiveHeap living inside the meshes part: headers in band, first fit.
  Qel::Memory::IntrusiveHeap heap;
  void* arena = Take(meshes, 8192);
  heap.Initialize(arena, 8192, 8);
  std::printf("\nIntrusiveHeap over 8 KiB of the meshes heap (8 caller-header bytes per block): capacity %u, "
              "available %u.\n",
              heap.Capacity(), heap.Available());
  void* userHeader = nullptr;
  char* vertices = static_cast<char*>(heap.Allocate(64, 1000, &userHeader));
  std::memcpy(userHeader, "vertices", 8);
  char* indices = static_cast<char*>(heap.Allocate(16, 600));
  char* temp = static_cast<char*>(heap.AllocateFromTop(16, 2000));
  std::printf("Allocate(64, 1000) at +%td, Allocate(16, 600) at +%td, AllocateFromTop(16, 2000) at +%td; "
              "available %u.\n",
              vertices - static_cast<char*>(arena), indices - static_cast<char*>(arena),
              temp - static_cast<char*>(arena), heap.Available());
  heap.ResizeBlock(vertices, 400);
  std::printf("ResizeBlock(vertices, 400): the tail is given back in place; available %u.\n", heap.Available());
  heap.Free(indices);
  std::printf("Free(indices) merges it with the free space behind it; available %u.\n", heap.Available());
  std::printf("Walk of the used blocks:");
  for (auto* it = heap.HeapWalkStart(); it != nullptr; it = heap.HeapWalkGetNext(it)) {
    unsigned int size = 0;
    void* data = nullptr;
    heap.HeapWalkGetInfo(it, &size, &data, nullptr);
    std::printf(" [+%td, %u bytes]", static_cast<char*>(data) - static_cast<char*>(arena), size);
  }
  std::printf("\n");
  Say("IntrusiveHeap::Print to the debug output:\n");
  heap.Print();
  heap.Free(vertices);
  heap.Free(temp);
  std::printf("Everything freed: available %u of %u, %s.\n", heap.Available(), heap.Capacity(),
              heap.CanAllocate(heap.Capacity() - sizeof(Qel::Memory::IntrusiveHeap::Header) - 8, 0) ? "one free block again" : "still fragmented?!");

  // The heaps leave the tree; the children of a heap that goes first stay in the tree.
  textures.Done();
  Say("\nAfter textures.Done() its child scratch takes its place under level:\n");
  Yr::SimpleHeap::Dump(false);
  for (Yr::SimpleHeap* h : {&scratch, &meshes, &level}) h->Done();

  // Item pools.
  Yr::SimpleMemoryPool pool(24, 64, 8, false);
  void* items[100];
  for (void*& item : items) item = pool.Alloc();
  for (int i = 0; i < 50; ++i) pool.Free(items[i]);
  std::printf("\nSimpleMemoryPool(24 bytes, 64 per chunk, alignment 8): 100 allocated, 50 freed: %u in use, "
              "%u free, %u bytes in chunks.\n",
              pool.GetNumAllocated(), pool.GetNumFreeItems(), pool.GetMemAllocated());
  auto* counter = new Yr::Detail::WeakCounter(1, 1);
  const auto* page = Yr::Detail::PoolOfBase::PageOf(counter);
  std::printf("new WeakCounter came from the weak-counter pool's page at %p (%u items a page, header %u bytes).\n",
              static_cast<const void*>(page), Yr::Detail::WeakCounterPool::kItemsPerPage,
              Yr::Detail::PoolOfBase::kHeaderSize);
  delete counter;

  Yr::Platform::ReleaseAddressSpace(region, kRegion);
  std::printf("The region goes back to the system (PhysicalAllocator::Free leaves it; the platform releases it).\n");
}
