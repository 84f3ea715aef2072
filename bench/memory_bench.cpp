// Allocation entry points without a hook against the platform allocator called directly.
#include <benchmark/benchmark.h>

#include <cstdlib>

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

BENCHMARK(AlignedMallocOurs)->Name("AlignedMalloc+Free/ours")->RangeMultiplier(4)->Range(16, 4096);
BENCHMARK(AlignedMallocPeer)->Name("AlignedMalloc+Free/peer:posix_memalign")->RangeMultiplier(4)->Range(16, 4096);

}  // namespace

YR_BENCH_MAIN()
