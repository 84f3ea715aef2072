// Allocation entry points without a hook against the system's posix_memalign and free and
// against mimalloc called directly (opened privately, as the library opens it, so that the
// process's malloc stays the C library's for the first peer): 64 blocks of one size, 16 B
// to 4 KiB, allocated and then freed.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "bench/report.h"
#include "system/memory/allocator.h"
#include "system/platform/platform.h"

namespace {

constexpr int kAlignment = 16;
constexpr int kBatch = 64;  // blocks held at once, so allocation does not just reuse one block

void AlignedMallocOurs(benchmark::State& state) {
  const auto size = static_cast<unsigned int>(state.range(0));
  void* blocks[kBatch];
  for (auto _ : state) {
    for (void*& block : blocks) block = Yr::_AlignedMalloc(size, kAlignment, __FILE__, __LINE__);
    benchmark::DoNotOptimize(blocks);
    for (void* block : blocks) Yr::_AlignedFree(block);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void AlignedMallocPeer(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  void* blocks[kBatch];
  for (auto _ : state) {
    for (void*& block : blocks) {
      if (posix_memalign(&block, kAlignment, size) != 0) block = nullptr;
    }
    benchmark::DoNotOptimize(blocks);
    for (void* block : blocks) free(block);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

struct Mimalloc {
  void* (*allocate)(size_t size, size_t alignment) = nullptr;
  void (*free)(void* block) = nullptr;
};

const Mimalloc& LoadMimalloc() {
  static const Mimalloc loaded = [] {
    Mimalloc m;
    if (void* library = dlopen(Yr::Platform::kMimallocLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
      m.allocate = reinterpret_cast<void* (*)(size_t, size_t)>(dlsym(library, "mi_malloc_aligned"));
      m.free = reinterpret_cast<void (*)(void*)>(dlsym(library, "mi_free"));
    }
    return m;
  }();
  return loaded;
}

void AlignedMallocMimalloc(benchmark::State& state) {
  const Mimalloc& mimalloc = LoadMimalloc();
  if (mimalloc.allocate == nullptr || mimalloc.free == nullptr) {
    state.SkipWithError("the mimalloc library could not be opened");
    return;
  }
  const auto size = static_cast<size_t>(state.range(0));
  void* blocks[kBatch];
  for (auto _ : state) {
    for (void*& block : blocks) block = mimalloc.allocate(size, kAlignment);
    benchmark::DoNotOptimize(blocks);
    for (void* block : blocks) mimalloc.free(block);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

BENCHMARK(AlignedMallocOurs)->Name("AlignedMalloc+Free/ours")->RangeMultiplier(4)->Range(16, 4096);
BENCHMARK(AlignedMallocPeer)->Name("AlignedMalloc+Free/peer:posix_memalign")->RangeMultiplier(4)->Range(16, 4096);
BENCHMARK(AlignedMallocOurs)->Name("AlignedMalloc+Free_vs_mimalloc/ours")->RangeMultiplier(4)->Range(16, 4096);
BENCHMARK(AlignedMallocMimalloc)
    ->Name("AlignedMalloc+Free_vs_mimalloc/peer:mimalloc")
    ->RangeMultiplier(4)
    ->Range(16, 4096);

}  // namespace

int main(int argc, char** argv) {
  std::printf("default allocator of the entry points: %s\n", Yr::Platform::DefaultAllocatorName());
  return YrBench::RunBenchmarks(argc, argv);
}
