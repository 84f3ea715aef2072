// Diagnostics hot paths: a traced allocation and free at depth 32 with the site already
// known, against capturing the same stack with backtrace(3) alone; and one symbol lookup
// after warm-up, against the loader's dladdr with demangling.
#include <benchmark/benchmark.h>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>

#include "bench/report.h"
#include "system/debug/symbols.h"
#include "system/memory/alloc_trace.h"
#include "system/memory/static_singleton.h"

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

BENCHMARK(TracePairOurs)->Name("AllocTrace+FreeTrace depth 32/ours");
BENCHMARK(TracePairPeer)->Name("AllocTrace+FreeTrace depth 32/peer:backtrace");
BENCHMARK(GetFunctionOurs)->Name("Symbols::GetFunction/ours");
BENCHMARK(GetFunctionPeer)->Name("Symbols::GetFunction/peer:dladdr+demangle");

}  // namespace

YR_BENCH_MAIN()
