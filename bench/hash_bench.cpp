// CRC-32 and the 64-bit hash against the functions a user would otherwise call: zlib's crc32
// for the reflected CRC, a byte-at-a-time table loop for the MSB-first Calc (nothing common
// offers that polynomial order), and XXH64 and XXH3 for the hash. Bytes per second are
// reported, so bytes per cycle follow from the CPU clock printed at the top.
#include <benchmark/benchmark.h>
#include <xxhash.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench/report.h"
#include "system/strings/crc.h"
#include "system/strings/hash.h"

namespace {

const std::vector<uint8_t>& Data() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> bytes(64u << 20);
    std::mt19937 random(5);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
  }();
  return data;
}

template <class Function>
void Run(benchmark::State& state, Function function) {
  const auto size = static_cast<size_t>(state.range(0));
  const uint8_t* data = Data().data();
  for (auto _ : state) benchmark::DoNotOptimize(function(data, size));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// The MSB-first byte loop a caller would write with the usual 256-entry table.
uint32_t MsbTableLoop(const uint8_t* p, size_t n, uint32_t seed) {
  static const std::vector<uint32_t> table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int bit = 0; bit < 8; ++bit) r = (r << 1) ^ ((r & 0x80000000u) ? 0x04C11DB7u : 0);
      t[i] = r;
    }
    return t;
  }();
  uint32_t reg = ~seed;
  for (size_t i = 0; i < n; ++i) reg = (reg << 8) ^ table[(reg >> 24) ^ p[i]];
  return ~reg;
}

void Crc32Ours(benchmark::State& s) {
  Run(s, [](const uint8_t* p, size_t n) { return Yr::Crc::CalculateCrc32(p, static_cast<unsigned>(n)); });
}
void Crc32Zlib(benchmark::State& s) {
  Run(s, [](const uint8_t* p, size_t n) { return crc32(0, p, static_cast<unsigned>(n)); });
}
void CalcOurs(benchmark::State& s) {
  Run(s, [](const uint8_t* p, size_t n) { return Yr::Crc::Calc(p, static_cast<unsigned>(n), 0); });
}
void CalcTableLoop(benchmark::State& s) {
  Run(s, [](const uint8_t* p, size_t n) { return MsbTableLoop(p, n, 0); });
}
void HashOurs(benchmark::State& s) {
  Run(s, [](const uint8_t* p, size_t n) { return Yr::Hash(reinterpret_cast<const char*>(p), n, 0); });
}
void HashXxh64(benchmark::State& s) {
  Run(s, [](const uint8_t* p, size_t n) { return XXH64(p, n, 0); });
}
void HashXxh3(benchmark::State& s) {
  Run(s, [](const uint8_t* p, size_t n) { return XXH3_64bits(p, n); });
}

void CrcSizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : {64, 4 << 10, 1 << 20, 64 << 20}) b->Arg(size);
}
void HashSizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : {16, 64, 4 << 10, 1 << 20}) b->Arg(size);
}

BENCHMARK(Crc32Ours)->Name("CalculateCrc32/ours")->Apply(CrcSizes);
BENCHMARK(Crc32Zlib)->Name("CalculateCrc32/peer:zlib crc32")->Apply(CrcSizes);
BENCHMARK(CalcOurs)->Name("Calc/ours")->Apply(CrcSizes);
BENCHMARK(CalcTableLoop)->Name("Calc/peer:byte table loop")->Apply(CrcSizes);
BENCHMARK(HashOurs)->Name("Hash vs XXH64/ours")->Apply(HashSizes);
BENCHMARK(HashXxh64)->Name("Hash vs XXH64/peer:XXH64")->Apply(HashSizes);
BENCHMARK(HashOurs)->Name("Hash vs XXH3/ours")->Apply(HashSizes);
BENCHMARK(HashXxh3)->Name("Hash vs XXH3/peer:XXH3_64bits")->Apply(HashSizes);

}  // namespace

YR_BENCH_MAIN()
