// Item pools against the general-purpose allocator for items of the same size.
//
// <pool>_pair_<size>:     one allocate and one free per iteration (the best case of every
//                         allocator: the same item comes straight back).
// <pool>_batch256_<size>: 256 allocates, then the 256 frees in the order allocated; the
//                         time is per iteration, so per item it is 1/256 of the figure.
// Pools: SimpleMemoryPool (1024 items per chunk, alignment 8) and the weak-counter page pool
// (new/delete of WeakCounter, 8-byte items). Peers: malloc/free and new/delete of an object
// of the same size, both glibc's.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "bench/report.h"
#include "system/memory/memory_pool.h"
#include "system/memory/pool_of.h"

namespace {

constexpr int kBatch = 256;

template <unsigned int kSize>
struct Item {
  char bytes[kSize];
};

// ---- SimpleMemoryPool -------------------------------------------------------------------------

template <unsigned int kSize>
void PoolPair(benchmark::State& state) {
  Yr::SimpleMemoryPool pool(kSize, 1024, 8, false);
  for (auto _ : state) {
    void* p = pool.Alloc();
    benchmark::DoNotOptimize(p);
    pool.Free(p);
  }
}

template <unsigned int kSize>
void PoolBatch(benchmark::State& state) {
  Yr::SimpleMemoryPool pool(kSize, 1024, 8, false);
  void* items[kBatch];
  for (auto _ : state) {
    for (void*& item : items) {
      item = pool.Alloc();
      benchmark::DoNotOptimize(item);
    }
    for (void* item : items) pool.Free(item);
  }
}

template <unsigned int kSize>
void MallocPair(benchmark::State& state) {
  for (auto _ : state) {
    void* p = std::malloc(kSize);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}

template <unsigned int kSize>
void MallocBatch(benchmark::State& state) {
  void* items[kBatch];
  for (auto _ : state) {
    for (void*& item : items) {
      item = std::malloc(kSize);
      benchmark::DoNotOptimize(item);
    }
    for (void* item : items) std::free(item);
  }
}

template <unsigned int kSize>
void NewPair(benchmark::State& state) {
  for (auto _ : state) {
    auto* p = new Item<kSize>;
    benchmark::DoNotOptimize(p);
    delete p;
  }
}

template <unsigned int kSize>
void NewBatch(benchmark::State& state) {
  Item<kSize>* items[kBatch];
  for (auto _ : state) {
    for (auto*& item : items) {
      item = new Item<kSize>;
      benchmark::DoNotOptimize(item);
    }
    for (auto* item : items) delete item;
  }
}

// ---- Weak-counter pool ----------------------------------------------------------------------

using Yr::Detail::WeakCounter;

void WeakPair(benchmark::State& state) {
  for (auto _ : state) {
    auto* p = new WeakCounter(1, 1);
    benchmark::DoNotOptimize(p);
    delete p;
  }
}

void WeakBatch(benchmark::State& state) {
  WeakCounter* items[kBatch];
  for (auto _ : state) {
    for (auto*& item : items) {
      item = new WeakCounter(1, 1);
      benchmark::DoNotOptimize(item);
    }
    for (auto* item : items) delete item;
  }
}

}  // namespace

BENCHMARK(PoolPair<16>)->Name("simple_pool_pair_16/ours");
BENCHMARK(MallocPair<16>)->Name("simple_pool_pair_16/peer:malloc");
BENCHMARK(PoolPair<16>)->Name("simple_pool_pair_16_new/ours");
BENCHMARK(NewPair<16>)->Name("simple_pool_pair_16_new/peer:new-delete");
BENCHMARK(PoolBatch<16>)->Name("simple_pool_batch256_16/ours");
BENCHMARK(MallocBatch<16>)->Name("simple_pool_batch256_16/peer:malloc");
BENCHMARK(PoolBatch<16>)->Name("simple_pool_batch256_16_new/ours");
BENCHMARK(NewBatch<16>)->Name("simple_pool_batch256_16_new/peer:new-delete");
BENCHMARK(PoolBatch<64>)->Name("simple_pool_batch256_64/ours");
BENCHMARK(MallocBatch<64>)->Name("simple_pool_batch256_64/peer:malloc");
BENCHMARK(PoolBatch<64>)->Name("simple_pool_batch256_64_new/ours");
BENCHMARK(NewBatch<64>)->Name("simple_pool_batch256_64_new/peer:new-delete");

BENCHMARK(WeakPair)->Name("weak_counter_pair_8/ours");
BENCHMARK(MallocPair<8>)->Name("weak_counter_pair_8/peer:malloc");
BENCHMARK(WeakPair)->Name("weak_counter_pair_8_new/ours");
BENCHMARK(NewPair<8>)->Name("weak_counter_pair_8_new/peer:new-delete");
BENCHMARK(WeakBatch)->Name("weak_counter_batch256_8/ours");
BENCHMARK(MallocBatch<8>)->Name("weak_counter_batch256_8/peer:malloc");
BENCHMARK(WeakBatch)->Name("weak_counter_batch256_8_new/ours");
BENCHMARK(NewBatch<8>)->Name("weak_counter_batch256_8_new/peer:new-delete");

YR_BENCH_MAIN()
