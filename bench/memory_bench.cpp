// Allocation entry points without a hook against the system's posix_memalign and free and,
// when the library's default allocator is mimalloc, against mimalloc called directly: 64
// blocks of one size, 16 B to 4 KiB, allocated and then freed.
#include <benchmark/benchmark.h>

#include <cstdlib>
#if YR_DEFAULT_ALLOCATOR_MIMALLOC
#include <mimalloc.h>
#endif

#include "bench/report.h"
#include "system/memory/allocator.h"

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

#if YR_DEFAULT_ALLOCATOR_MIMALLOC
void AlignedMallocMimalloc(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  void* blocks[kBatch];
  for (auto _ : state) {
    for (void*& block : blocks) block = mi_malloc_aligned(size, kAlignment);
    benchmark::DoNotOptimize(blocks);
    for (void* block : blocks) mi_free(block);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
#endif

BENCHMARK(AlignedMallocOurs)->Name("AlignedMalloc+Free/ours")->RangeMultiplier(4)->Range(16, 4096);
BENCHMARK(AlignedMallocPeer)->Name("AlignedMalloc+Free/peer:posix_memalign")->RangeMultiplier(4)->Range(16, 4096);
#if YR_DEFAULT_ALLOCATOR_MIMALLOC
BENCHMARK(AlignedMallocOurs)->Name("AlignedMalloc+Free_vs_mimalloc/ours")->RangeMultiplier(4)->Range(16, 4096);
BENCHMARK(AlignedMallocMimalloc)
    ->Name("AlignedMalloc+Free_vs_mimalloc/peer:mimalloc")
    ->RangeMultiplier(4)
    ->Range(16, 4096);
#endif

}  // namespace

YR_BENCH_MAIN()
