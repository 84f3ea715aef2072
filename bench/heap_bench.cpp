// IntrusiveHeap against the general-purpose allocators.
//
// mixed_16_4096: a recorded trace of random operations over 16384 slots: an empty slot gets
// a block of a random size from 16 to 4096 bytes, a full slot is freed, so about half the
// slots are live (about 16 MiB). IntrusiveHeap serves it from one 64 MiB range; the peers
// are glibc's own malloc/free (called as __libc_malloc/__libc_free, because linking jemalloc
// replaces the process's malloc) and jemalloc's arena API (mallocx/dallocx on an arena of
// its own, no thread cache). Time is per operation, after a warm-up to the steady state.
// After the run each reports, as counters:
//   ours:  largest_free_KiB  the largest block still allocatable in the 64 MiB range,
//          used_blocks       live blocks at the end, failures (should be 0);
//   peers: footprint_KiB     bytes the allocator holds from the system for the same live
//          set (glibc: arena plus mapped chunks; jemalloc: the arena's active pages), since
//          an unbounded allocator has no "largest allocatable block" of a fixed range.
//
// alloc_free_past_holes/F: F free 64-byte holes lie below the rest of the range; one
// 256-byte allocate and free has to find the first fit past all of them, which the free
// block index does without visiting them. The fit is the top block, which the heap keeps
// apart from the index. The peer (glibc) runs the same pattern as a reference point. The
// cost should stay nearly flat from 1 to 32768 holes.
//
// alloc_free_last_hole/F: the same F holes, then one 1 KiB hole held apart from the top
// block by a used block: the first fit is that last hole, the highest node of the index, so
// the search descends the index to it, the allocation hands the hole's node over to the
// remainder and the free hands it back. This curve shows how the cost grows with the depth
// of the index (about 2 ln F).
//
// Both curves print, as the counter x_1_hole, each cost over the same curve's 1-hole cost.
#include <benchmark/benchmark.h>
#include <jemalloc/jemalloc.h>
#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/report.h"
#include "system/memory/intrusive_heap.h"
#include "system/platform/vm_platform.h"

extern "C" void* __libc_malloc(size_t size);
extern "C" void __libc_free(void* block);

namespace {

constexpr unsigned int kRangeSize = 64u << 20;
constexpr unsigned int kSlots = 16384;
constexpr unsigned int kTraceLength = 1u << 20;
constexpr unsigned int kWarmUp = 400000;

struct Op {
  uint32_t slot;
  uint32_t size;
};

const std::vector<Op>& Trace() {
  static const std::vector<Op> trace = [] {
    std::mt19937 random(12345);
    std::vector<Op> ops(kTraceLength);
    for (Op& op : ops) {
      op.slot = random() % kSlots;
      op.size = 16 + random() % (4096 - 16 + 1);
    }
    return ops;
  }();
  return trace;
}

// One 64 MiB range of committed address space, reused by every run.
char* Range() {
  static char* range = [] {
    void* base = Yr::Platform::ReserveAddressSpace(nullptr, kRangeSize);
    if (base == nullptr || Yr::Platform::CommitAddressSpace(base, kRangeSize) == nullptr) std::abort();
    return static_cast<char*>(base);
  }();
  return range;
}

struct OursAllocator {
  Qel::Memory::IntrusiveHeap heap;
  uint64_t failures = 0;
  OursAllocator() { heap.Initialize(Range(), kRangeSize, 0); }
  void* Alloc(unsigned int size) {
    void* p = heap.Allocate(16, size);
    if (p == nullptr) ++failures;
    return p;
  }
  void Free(void* p) { heap.Free(p); }
};

struct GlibcAllocator {
  void* Alloc(unsigned int size) { return __libc_malloc(size); }
  void Free(void* p) { __libc_free(p); }
};

struct JemallocArena {
  int flags = 0;
  JemallocArena() {
    unsigned int arena = 0;
    size_t length = sizeof arena;
    if (mallctl("arenas.create", &arena, &length, nullptr, 0) != 0) std::abort();
    flags = MALLOCX_ARENA(arena) | MALLOCX_TCACHE_NONE;
    arenaIndex = arena;
  }
  void* Alloc(unsigned int size) { return mallocx(size, flags); }
  void Free(void* p) { dallocx(p, flags); }
  size_t ActiveBytes() const {
    uint64_t epoch = 1;
    size_t length = sizeof epoch;
    mallctl("epoch", &epoch, &length, &epoch, length);
    size_t pages = 0;
    length = sizeof pages;
    const std::string name = "stats.arenas." + std::to_string(arenaIndex) + ".pactive";
    if (mallctl(name.c_str(), &pages, &length, nullptr, 0) != 0) return 0;
    size_t pageSize = 0;
    length = sizeof pageSize;
    mallctl("arenas.page", &pageSize, &length, nullptr, 0);
    return pages * pageSize;
  }
  unsigned int arenaIndex = 0;
};

template <class Allocator>
struct Mixed {
  Allocator allocator;
  std::vector<void*> slots = std::vector<void*>(kSlots, nullptr);
  size_t position = 0;
  uint64_t liveBytes = 0;
  std::vector<uint32_t> sizes = std::vector<uint32_t>(kSlots, 0);

  void Step() {
    const Op& op = Trace()[position];
    position = (position + 1) & (kTraceLength - 1);
    void*& slot = slots[op.slot];
    if (slot == nullptr) {
      slot = allocator.Alloc(op.size);
      if (slot != nullptr) {
        static_cast<char*>(slot)[0] = 1;
        liveBytes += op.size;
        sizes[op.slot] = op.size;
      }
    } else {
      allocator.Free(slot);
      slot = nullptr;
      liveBytes -= sizes[op.slot];
    }
  }
};

// One workload per allocator for the whole program: the benchmark library calls each
// function several times while it sizes the run, and the warm-up is paid once.
template <class Allocator>
Mixed<Allocator>& WarmedUp() {
  static Mixed<Allocator>* mixed = [] {
    auto* fresh = new Mixed<Allocator>;
    for (unsigned int i = 0; i < kWarmUp; ++i) fresh->Step();
    return fresh;
  }();
  return *mixed;
}

template <class Allocator>
void RunMixed(benchmark::State& state, Mixed<Allocator>& mixed) {
  for (auto _ : state) mixed.Step();
  state.counters["live_KiB"] = static_cast<double>(mixed.liveBytes / 1024);
}

unsigned int LargestAllocatable(Qel::Memory::IntrusiveHeap& heap) {
  unsigned int low = 0, high = kRangeSize;
  while (low < high) {
    unsigned int mid = low + (high - low + 1) / 2;
    if (heap.CanAllocate(mid, 4)) low = mid; else high = mid - 1;
  }
  return low;
}

void Mixed_Ours(benchmark::State& state) {
  Mixed<OursAllocator>& mixed = WarmedUp<OursAllocator>();
  RunMixed(state, mixed);
  state.counters["largest_free_KiB"] = LargestAllocatable(mixed.allocator.heap) / 1024;
  unsigned int usedBlocks = 0;
  for (auto* it = mixed.allocator.heap.HeapWalkStart(); it; it = mixed.allocator.heap.HeapWalkGetNext(it)) ++usedBlocks;
  state.counters["used_blocks"] = usedBlocks;
  state.counters["failures"] = static_cast<double>(mixed.allocator.failures);
  state.counters["available_KiB"] = mixed.allocator.heap.Available() / 1024;
}

void Mixed_Glibc(benchmark::State& state) {
  Mixed<GlibcAllocator>& mixed = WarmedUp<GlibcAllocator>();
  RunMixed(state, mixed);
  struct mallinfo2 info = mallinfo2();
  state.counters["footprint_KiB"] = static_cast<double>((info.arena + info.hblkhd) / 1024);
}

void Mixed_Jemalloc(benchmark::State& state) {
  Mixed<JemallocArena>& mixed = WarmedUp<JemallocArena>();
  RunMixed(state, mixed);
  state.counters["footprint_KiB"] = static_cast<double>(mixed.allocator.ActiveBytes() / 1024);
}

// ---- First fit past F holes ---------------------------------------------------------------

constexpr unsigned int kHoleSize = 64;
constexpr unsigned int kLastHoleSize = 1024;
constexpr unsigned int kRequest = 256;

// Times the loop itself, so that each curve can be printed against its own 1-hole cost:
// the 1-hole run comes first in each curve and leaves its cost here.
template <class Body>
void RunCurve(benchmark::State& state, double& oneHole, Body body) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) body();
  const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
                    static_cast<double>(state.iterations());
  if (state.range(0) == 1) oneHole = ns;
  if (oneHole > 0) state.counters["x_1_hole"] = ns / oneHole;
}

// F holes, each between two used blocks; with lastHole, one 1 KiB hole above them, held
// apart from the rest of the range by a used block. Returns the blocks still in use.
template <class Alloc, class Free>
std::vector<void*> MakeHoles(unsigned int holes, bool lastHole, Alloc alloc, Free free) {
  std::vector<void*> blocks;
  for (unsigned int i = 0; i < 2 * holes; ++i) blocks.push_back(alloc(kHoleSize));
  void* last = lastHole ? alloc(kLastHoleSize) : nullptr;
  if (lastHole) blocks.push_back(alloc(kHoleSize));
  for (unsigned int i = 0; i < 2 * holes; i += 2) free(blocks[i]);
  if (last != nullptr) free(last);
  std::vector<void*> used;
  for (size_t i = 1; i < blocks.size(); i += 2) used.push_back(blocks[i]);
  if (lastHole) used.push_back(blocks.back());
  return used;
}

template <bool kLastHole>
void Holes_Ours(benchmark::State& state) {
  static double oneHole = 0;
  Qel::Memory::IntrusiveHeap heap;
  heap.Initialize(Range(), kRangeSize, 0);
  MakeHoles(static_cast<unsigned int>(state.range(0)), kLastHole, [&](unsigned int n) { return heap.Allocate(16, n); },
            [&](void* p) { heap.Free(p); });
  RunCurve(state, oneHole, [&] {
    void* p = heap.Allocate(16, kRequest);
    benchmark::DoNotOptimize(p);
    heap.Free(p);
  });
}

template <bool kLastHole>
void Holes_Glibc(benchmark::State& state) {
  static double oneHole = 0;
  std::vector<void*> used =
      MakeHoles(static_cast<unsigned int>(state.range(0)), kLastHole, [](unsigned int n) { return __libc_malloc(n); },
                [](void* p) { __libc_free(p); });
  RunCurve(state, oneHole, [] {
    void* p = __libc_malloc(kRequest);
    benchmark::DoNotOptimize(p);
    __libc_free(p);
  });
  for (void* p : used) __libc_free(p);
}

}  // namespace

BENCHMARK(Mixed_Ours)->Name("mixed_16_4096_vs_glibc/ours")->MinTime(0.3);
BENCHMARK(Mixed_Glibc)->Name("mixed_16_4096_vs_glibc/peer:glibc")->MinTime(0.3);
BENCHMARK(Mixed_Ours)->Name("mixed_16_4096_vs_jemalloc/ours")->MinTime(0.3);
BENCHMARK(Mixed_Jemalloc)->Name("mixed_16_4096_vs_jemalloc/peer:jemalloc-arena")->MinTime(0.3);
BENCHMARK(Holes_Ours<false>)->Name("alloc_free_past_holes/ours")->RangeMultiplier(8)->Range(1, 32768)->MinTime(0.2);
BENCHMARK(Holes_Glibc<false>)->Name("alloc_free_past_holes/peer:glibc")->RangeMultiplier(8)->Range(1, 32768)->MinTime(0.2);
BENCHMARK(Holes_Ours<true>)->Name("alloc_free_last_hole/ours")->RangeMultiplier(8)->Range(1, 32768)->MinTime(0.2);
BENCHMARK(Holes_Glibc<true>)->Name("alloc_free_last_hole/peer:glibc")->RangeMultiplier(8)->Range(1, 32768)->MinTime(0.2);

YR_BENCH_MAIN()
