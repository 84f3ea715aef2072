// Files and the command line.
//
// sequential_read_256MiB_1MiB: one pass over a 256 MiB file in 1 MiB reads, through RawFile
// and through read(2) called directly. The file is written once and then sits in the page
// cache, so the figure is the per-call cost of the two roads, not the disk.
//
// options_init_200_8KiB: Options::Init on a 200-argument command line plus an 8 KiB option
// file named with '@'. A counting allocator hook reports the allocations made per Init
// in the steady state (allocs, alloc_bytes) and for the very first Init of the process
// (first_allocs, first_bytes).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/report.h"
#include "system/io/raw_file.h"
#include "system/memory/allocator.h"
#include "system/options/command_line.h"
#include "system/options/options.h"

namespace {

constexpr unsigned int kChunk = 1u << 20;
constexpr unsigned long long kFileSize = 256ull << 20;
constexpr int kOptionCount = 200;

// A scratch directory with the test files, removed at exit.
struct Scratch {
  std::filesystem::path dir;
  std::string bigFile;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "yr-file-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    bigFile = (dir / "big.bin").string();
    std::vector<char> block(kChunk);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31);
    std::ofstream out(bigFile, std::ios::binary);
    for (unsigned long long written = 0; written < kFileSize; written += kChunk) out.write(block.data(), kChunk);

    // An option file of about 8 KiB: sections, key lines, configuration sets, argument lines.
    std::string text = "# generated for the benchmark\n";
    for (int section = 0; text.size() < 7900; ++section) {
      text += "[section" + std::to_string(section) + "]\n";
      for (int key = 0; key < 8 && text.size() < 7900; ++key) {
        text += "key" + std::to_string(key) + " = value " + std::to_string(section * 8 + key) + "\n";
      }
      if (section % 4 == 3) text += "[cfg.pc.all]\nglobal" + std::to_string(section) + "=on\n";
      if (section % 5 == 4) text += "--direct" + std::to_string(section) + "=\"quoted value\"\n";
    }
    std::ofstream(dir / "bench.cfg", std::ios::binary) << text;
    optionFileSize = text.size();
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  size_t optionFileSize = 0;
};

Scratch& GetScratch() {
  static Scratch scratch;
  return scratch;
}

void SequentialReadOurs(benchmark::State& state) {
  const std::string& name = GetScratch().bigFile;
  std::vector<char> buffer(kChunk);
  for (auto _ : state) {
    Yr::RawFile file;
    if (!file.Open(name.c_str(), 0)) state.SkipWithError("open failed");
    unsigned long long total = 0;
    while (unsigned int count = file.Read(buffer.data(), kChunk)) total += count;
    if (total != kFileSize) state.SkipWithError("short read");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void SequentialReadPeer(benchmark::State& state) {
  const std::string& name = GetScratch().bigFile;
  std::vector<char> buffer(kChunk);
  for (auto _ : state) {
    int descriptor = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) state.SkipWithError("open failed");
    unsigned long long total = 0;
    for (ssize_t count; (count = read(descriptor, buffer.data(), kChunk)) > 0;) total += static_cast<size_t>(count);
    close(descriptor);
    if (total != kFileSize) state.SkipWithError("short read");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// Forwards to the platform allocator and counts what passes.
class CountingHook : public Yr::AllocatorHook {
 public:
  void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    ++mAllocations;
    mBytes += size;
    return Yr::OrigAlignedMalloc(size, static_cast<int>(alignment), nullptr, 0);
  }
  void AlignedFree(void* block) override { Yr::OrigAlignedFree(block); }
  unsigned int GetAllocationSize(void* block, unsigned int alignment) override {
    return Yr::OrigGetAllocationSize(block, alignment);
  }
  unsigned long long mAllocations = 0;
  unsigned long long mBytes = 0;
};

struct CommandLine {
  std::vector<std::string> words;
  std::vector<char*> argv;
  CommandLine() {
    words.push_back("bench");
    for (int i = 0; i < kOptionCount - 1; ++i) {
      words.push_back((i % 3 == 0 ? "/bench.option" : "--bench.option") + std::to_string(i) + "=" + std::to_string(i * 7));
    }
    words.push_back("@bench.cfg");
    for (std::string& word : words) argv.push_back(word.data());
  }
};

void RegisterBenchOptions() {
  auto group = Yr::Options::Register("Bench");
  for (int i = 0; i < kOptionCount; ++i) {
    std::string name = "bench.option" + std::to_string(i);
    group(name.c_str(), "an option of the benchmark");
  }
}

// The first Init of the process makes every string of the run anew; later ones find most of
// them still in the string table. Measured once, before the timed runs.
struct ColdInit {
  unsigned long long allocations = 0;
  unsigned long long bytes = 0;
};

ColdInit MeasureColdInit(const CommandLine& line, CountingHook* hook, const std::string& base) {
  Yr::Options::Done();
  RegisterBenchOptions();
  hook->mAllocations = hook->mBytes = 0;
  Yr::Options::Init(static_cast<int>(line.argv.size()), const_cast<char**>(line.argv.data()), base.c_str());
  return ColdInit{hook->mAllocations, hook->mBytes};
}

void OptionsInit(benchmark::State& state) {
  static CommandLine line;
  const std::string base = GetScratch().dir.string();
  static CountingHook* hook = new CountingHook;  // lives as long as the process: hooks are not freed while installed
  Yr::AllocatorHook* previous = Yr::AllocatorHook::Install(hook);
  static const ColdInit cold = MeasureColdInit(line, hook, base);
  unsigned long long allocations = 0;
  unsigned long long bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Yr::Options::Done();
    RegisterBenchOptions();
    hook->mAllocations = hook->mBytes = 0;
    state.ResumeTiming();
    bool ok = Yr::Options::Init(static_cast<int>(line.argv.size()), line.argv.data(), base.c_str());
    state.PauseTiming();
    allocations += hook->mAllocations;
    bytes += hook->mBytes;
    if (!ok || Yr::Options::Count("options.file") != 1) state.SkipWithError("Init failed");
    state.ResumeTiming();
  }
  Yr::AllocatorHook::Install(previous);
  Yr::Options::Done();
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(state.iterations()));
  state.counters["alloc_bytes"] = benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(state.iterations()));
  state.counters["first_allocs"] = benchmark::Counter(static_cast<double>(cold.allocations));
  state.counters["first_bytes"] = benchmark::Counter(static_cast<double>(cold.bytes));
}

BENCHMARK(SequentialReadOurs)->Name("sequential_read_256MiB_1MiB/ours")->Iterations(12)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SequentialReadPeer)->Name("sequential_read_256MiB_1MiB/peer:read(2)")->Iterations(12)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(OptionsInit)->Name("options_init_200_8KiB/ours")->Unit(benchmark::kMicrosecond);

}  // namespace

YR_BENCH_MAIN()
