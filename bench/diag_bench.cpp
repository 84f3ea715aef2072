// Diagnostics hot paths: a traced allocation and free at depth 32 with the site already
// known, against capturing the same stack with backtrace(3) alone; and symbol lookups after
// warm-up, against the loader's dladdr with demangling: one address, and addresses spread
// over 1,000 and 10,000 distinct functions of the loaded modules, with and without a line.
// Before the benchmarks, the symbol index's build time and size for three modules.
#include <benchmark/benchmark.h>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "bench/report.h"
#include "system/debug/symbols.h"
#include "system/memory/alloc_trace.h"
#include "system/memory/static_singleton.h"
#include "system/platform/symbols_platform.h"

namespace {

constexpr unsigned int kDepth = 32;
constexpr int kStackFrames = 40;  // deeper than the trace depth, so every capture is full

using Body = void (*)(benchmark::State&);

// Runs body below kStackFrames frames of its own, so both sides capture a full stack.
__attribute__((noinline)) void Deep(int frames, Body body, benchmark::State& state) {
  if (frames > 0) {
    Deep(frames - 1, body, state);
    benchmark::ClobberMemory();
    return;
  }
  body(state);
}

void TracePairBody(benchmark::State& state) {
  void* block = reinterpret_cast<void*>(uintptr_t{0x100000});
  Yr::Memory::AllocTrace(block, 64);  // the site and the freeing site become known
  Yr::Memory::FreeTrace(block);
  for (auto _ : state) {
    Yr::Memory::AllocTrace(block, 64);
    Yr::Memory::FreeTrace(block);
  }
}

void BacktraceBody(benchmark::State& state) {
  void* frames[kDepth + 1];
  for (auto _ : state) {
    int got = backtrace(frames, static_cast<int>(kDepth + 1));
    benchmark::DoNotOptimize(got);
    benchmark::DoNotOptimize(frames);
  }
}

void TracePairOurs(benchmark::State& state) {
  Yr::Memory::SetAllocTrace(kDepth, 0);
  Deep(kStackFrames, &TracePairBody, state);
  Yr::Memory::SetAllocTrace(kDepth, 0);
}

void TracePairPeer(benchmark::State& state) { Deep(kStackFrames, &BacktraceBody, state); }

// An exported function of the library: both sides find its name.
void* LookedUp() { return reinterpret_cast<void*>(&Yr::Memory::AllocTraceReset); }

void GetFunctionOurs(benchmark::State& state) {
  const Yr::Symbols& symbols = Yr::StaticSingleton<Yr::Symbols>::Ref();
  char text[Yr::Symbols::kTextCapacity];
  void* address = LookedUp();
  symbols.GetFunction(address, text, sizeof text, true);  // warm-up: the module's tables load
  for (auto _ : state) {
    bool found = symbols.GetFunction(address, text, sizeof text, true);
    benchmark::DoNotOptimize(found);
    benchmark::DoNotOptimize(text);
  }
}

void GetFunctionPeer(benchmark::State& state) {
  void* address = LookedUp();
  for (auto _ : state) {
    Dl_info info;
    int found = dladdr(address, &info);
    int status = 0;
    char* name = found && info.dli_sname ? abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status) : nullptr;
    benchmark::DoNotOptimize(name);
    std::free(name);
  }
}

constexpr int kLinedFunctions = 1000;

}  // namespace

// Functions with source lines: this program is built with debug information, and exports
// them so that the loader can name them too.
namespace YrBenchSpread {
template <int N>
__attribute__((noinline, visibility("default"))) int Spread(int value) {
  benchmark::DoNotOptimize(value);
  return value * N + 1;
}
}  // namespace YrBenchSpread

namespace {

using YrBenchSpread::Spread;

template <int... N>
std::vector<void*> SpreadAddresses(std::integer_sequence<int, N...>) {
  return {reinterpret_cast<void*>(&Spread<N>)...};
}

struct DynamicTables {
  const ElfW(Sym)* symbols = nullptr;
  const char* names = nullptr;
  size_t count = 0;
};

// The number of dynamic symbols, from the GNU hash table: past the highest bucket's chain.
size_t GnuHashCount(const uint32_t* table) {
  const uint32_t buckets = table[0], offset = table[1], maskWords = table[2];
  const uint32_t* bucket = table + 4 + maskWords * (sizeof(ElfW(Addr)) / sizeof(uint32_t));
  const uint32_t* chain = bucket + buckets;
  uint32_t last = 0;
  for (uint32_t i = 0; i < buckets; ++i) last = std::max(last, bucket[i]);
  if (last < offset) return offset;
  while ((chain[last - offset] & 1) == 0) ++last;
  return last + 1;
}

int CollectFunctions(dl_phdr_info* info, size_t, void* argument) {
  auto* out = static_cast<std::vector<void*>*>(argument);
  const ElfW(Dyn)* dynamic = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
      dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
  if (!dynamic) return 0;
  // The loader relocates these entries in place, except in read-only dynamic sections.
  auto at = [info](ElfW(Addr) pointer) { return pointer < info->dlpi_addr ? pointer + info->dlpi_addr : pointer; };
  DynamicTables tables;
  for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
    if (entry->d_tag == DT_SYMTAB) tables.symbols = reinterpret_cast<const ElfW(Sym)*>(at(entry->d_un.d_ptr));
    if (entry->d_tag == DT_STRTAB) tables.names = reinterpret_cast<const char*>(at(entry->d_un.d_ptr));
    if (entry->d_tag == DT_HASH) tables.count = reinterpret_cast<const uint32_t*>(at(entry->d_un.d_ptr))[1];
    if (entry->d_tag == DT_GNU_HASH && tables.count == 0)
      tables.count = GnuHashCount(reinterpret_cast<const uint32_t*>(at(entry->d_un.d_ptr)));
  }
  if (!tables.symbols || !tables.names) return 0;
  for (size_t i = 0; i < tables.count; ++i) {
    const ElfW(Sym)& symbol = tables.symbols[i];  // the type field is laid out alike at both widths
    if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF || symbol.st_size == 0) continue;
    // An address inside the function, as a return address would be.
    out->push_back(reinterpret_cast<void*>(info->dlpi_addr + symbol.st_value + symbol.st_size / 2));
  }
  return 0;
}

// Distinct functions of every loaded module that the loader can name, in a shuffled order.
const std::vector<void*>& NamedFunctions() {
  static const std::vector<void*> functions = [] {
    std::vector<void*> found;
    dl_iterate_phdr(&CollectFunctions, &found);
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    std::vector<void*> named;
    const void* lastStart = nullptr;
    for (void* address : found) {
      Dl_info info;
      if (!dladdr(address, &info) || !info.dli_sname || !info.dli_saddr || info.dli_saddr == lastStart) continue;
      lastStart = info.dli_saddr;
      named.push_back(address);
    }
    std::shuffle(named.begin(), named.end(), std::mt19937(11));
    return named;
  }();
  return functions;
}

const std::vector<void*>& LinedFunctions() {
  static const std::vector<void*> functions = [] {
    std::vector<void*> found = SpreadAddresses(std::make_integer_sequence<int, kLinedFunctions>());
    for (void*& address : found) address = static_cast<char*>(address) + 1;
    std::shuffle(found.begin(), found.end(), std::mt19937(12));
    return found;
  }();
  return functions;
}

std::vector<void*> Take(const std::vector<void*>& all, size_t count) {
  return std::vector<void*>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(count, all.size())));
}

void SpreadOurs(benchmark::State& state, const std::vector<void*>& addresses, bool withLine) {
  const Yr::Symbols& symbols = Yr::StaticSingleton<Yr::Symbols>::Ref();
  char text[Yr::Symbols::kTextCapacity];
  for (void* address : addresses) symbols.GetFunction(address, text, sizeof text, withLine);  // warm-up
  size_t next = 0;
  for (auto _ : state) {
    bool found = symbols.GetFunction(addresses[next], text, sizeof text, withLine);
    benchmark::DoNotOptimize(found);
    benchmark::DoNotOptimize(text);
    if (++next == addresses.size()) next = 0;
  }
  state.counters["functions"] = static_cast<double>(addresses.size());
}

void SpreadPeer(benchmark::State& state, const std::vector<void*>& addresses) {
  size_t next = 0;
  for (auto _ : state) {
    Dl_info info;
    int found = dladdr(addresses[next], &info);
    int status = 0;
    char* name = found && info.dli_sname ? abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status) : nullptr;
    benchmark::DoNotOptimize(name);
    std::free(name);
    if (++next == addresses.size()) next = 0;
  }
  state.counters["functions"] = static_cast<double>(addresses.size());
}

void NamedOurs(benchmark::State& state) {
  SpreadOurs(state, Take(NamedFunctions(), static_cast<size_t>(state.range(0))), state.range(1) != 0);
}
void NamedPeer(benchmark::State& state) {
  SpreadPeer(state, Take(NamedFunctions(), static_cast<size_t>(state.range(0))));
}
void LinedOurs(benchmark::State& state) { SpreadOurs(state, LinedFunctions(), state.range(0) != 0); }
void LinedPeer(benchmark::State& state) { SpreadPeer(state, LinedFunctions()); }

// The index of three modules, built by a session of its own: the library, this program (both
// with whatever debug information the build gives them) and the C++ runtime (symbols only).
void PrintIndexStatistics() {
  Yr::Platform::SymbolSession session;
  unsigned long error = 0;
  if (!Yr::Platform::OpenSymbolSession(session, nullptr, error)) return;
  struct Module {
    const char* name;
    uintptr_t address;
  };
  const Module modules[] = {
      {"libyrsystem", reinterpret_cast<uintptr_t>(&Yr::Memory::AllocTraceReset)},
      {"diag_bench (with -g)", reinterpret_cast<uintptr_t>(&Spread<0>)},
      {"libstdc++", reinterpret_cast<uintptr_t>(&std::terminate)},
  };
  std::printf("%-24s %10s %14s %14s %12s %14s\n", "symbol index of", "build (ms)", "first lookup", "name segments",
              "line segs", "bytes");
  for (const Module& module : modules) {
    char name[Yr::Symbols::kNameLength + 1], file[Yr::Symbols::kTextCapacity], image[Yr::Symbols::kTextCapacity];
    auto began = std::chrono::steady_clock::now();
    Yr::Platform::LookupSymbol(session, module.address, name, sizeof name, image, sizeof image, file, sizeof file);
    double first = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
    Yr::Platform::SymbolIndexInfo info = {};
    if (!Yr::Platform::SymbolIndexInfoAt(session, module.address, info)) {
      std::printf("%-24s (no index)\n", module.name);
      continue;
    }
    std::printf("%-24s %10.2f %11.2f ms %14zu %12zu %14zu\n", module.name, static_cast<double>(info.buildNanoseconds) / 1e6,
                first, info.nameSegments, info.lineSegments, info.bytes);
  }
  std::printf("distinct named functions in the loaded modules: %zu\n\n", NamedFunctions().size());
  Yr::Platform::CloseSymbolSession(session, error);
}

BENCHMARK(TracePairOurs)->Name("AllocTrace+FreeTrace depth 32/ours");
BENCHMARK(TracePairPeer)->Name("AllocTrace+FreeTrace depth 32/peer:backtrace");
BENCHMARK(GetFunctionOurs)->Name("Symbols::GetFunction/ours");
BENCHMARK(GetFunctionPeer)->Name("Symbols::GetFunction/peer:dladdr+demangle");
// Arguments: the number of functions, then 1 to ask for the line as well.
BENCHMARK(NamedOurs)->Name("GetFunction spread, name/ours")->Args({1000, 0})->Args({10000, 0});
BENCHMARK(NamedPeer)->Name("GetFunction spread, name/peer:dladdr+demangle")->Args({1000, 0})->Args({10000, 0});
BENCHMARK(NamedOurs)->Name("GetFunction spread, line/ours")->Args({1000, 1})->Args({10000, 1});
BENCHMARK(NamedPeer)->Name("GetFunction spread, line/peer:dladdr+demangle")->Args({1000, 1})->Args({10000, 1});
BENCHMARK(LinedOurs)->Name("GetFunction 1k functions with lines, name/ours")->Arg(0);
BENCHMARK(LinedPeer)->Name("GetFunction 1k functions with lines, name/peer:dladdr+demangle")->Arg(0);
BENCHMARK(LinedOurs)->Name("GetFunction 1k functions with lines, line/ours")->Arg(1);
BENCHMARK(LinedPeer)->Name("GetFunction 1k functions with lines, line/peer:dladdr+demangle")->Arg(1);

}  // namespace

int main(int argc, char** argv) {
  PrintIndexStatistics();
  return YrBench::RunBenchmarks(argc, argv);
}
