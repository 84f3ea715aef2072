// Asynchronous reads.
//
// random_read_64KiB_qd<D>: batches of 256 reads of 64 KiB at random 64 KiB-aligned offsets
// of a 1 GiB file that sits in memory (a tmpfs file: the page cache is its only copy), one
// iteration per batch. Ours keeps D reads in flight on one File from one thread, starting
// a new read whenever a wait hands back a finished one; the peer is two threads calling
// pread(2) for half the batch each.
//   _threadqueue: the same with the thread-backed completion queue instead of io_uring.
//   _direct: ours reads a 1 GiB file on the disk's file system, where the File's reads go
//   around the cache (O_DIRECT); the peer reads the same file through the page cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <barrier>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/report.h"
#include "system/io/file.h"
#include "system/platform/completion_platform.h"

namespace {

constexpr unsigned int kReadSize = 64 * 1024;
constexpr unsigned long long kFileSize = 1ull << 30;
constexpr int kBatch = 256;
constexpr int kMaxDepth = 32;

struct BigFile {
  std::filesystem::path dir;
  std::string name;

  explicit BigFile(const std::filesystem::path& parent) {
    std::string pattern = (parent / "yr-async-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    name = (dir / "big.bin").string();
    int descriptor = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) std::abort();
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31);
    for (unsigned long long written = 0; written < kFileSize; written += block.size()) {
      if (write(descriptor, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::abort();
    }
    close(descriptor);
  }
  ~BigFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

// The page-cache file lives on tmpfs when there is one; the disk file in the temporary
// directory.
BigFile& MemoryFile() {
  static BigFile file(std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                          : std::filesystem::temp_directory_path());
  return file;
}
BigFile& DiskFile() {
  static BigFile file(std::filesystem::temp_directory_path());
  return file;
}

const std::vector<unsigned int>& Offsets() {
  static const std::vector<unsigned int> offsets = [] {
    std::mt19937 random(42);
    std::vector<unsigned int> table(1 << 16);
    for (unsigned int& offset : table) offset = static_cast<unsigned int>(random() % (kFileSize / kReadSize)) * kReadSize;
    return table;
  }();
  return offsets;
}

struct AlignedBuffers {
  explicit AlignedBuffers(int count) {
    for (int i = 0; i < count; ++i) blocks.push_back(static_cast<char*>(aligned_alloc(4096, kReadSize)));
    for (char* block : blocks) std::memset(block, 0, kReadSize);
  }
  ~AlignedBuffers() {
    for (char* block : blocks) free(block);
  }
  std::vector<char*> blocks;
};

void Ours(benchmark::State& state, int depth, BigFile& source, Yr::Platform::PortBackend backend) {
  Yr::Platform::PortBackend previous = Yr::Platform::SetPortBackend(backend);
  Yr::File file;
  Yr::File::FileCompletion completion;
  if (!file.Open(source.name.c_str(), completion)) {
    state.SkipWithError("open failed");
    Yr::Platform::SetPortBackend(previous);
    return;
  }
  Yr::Platform::SetPortBackend(previous);
  AlignedBuffers buffers(depth);
  std::vector<Yr::File::FileAsync> requests(static_cast<size_t>(depth));
  const std::vector<unsigned int>& offsets = Offsets();
  size_t next = 0;
  auto start = [&](int slot) {
    unsigned int offset = offsets[next++ % offsets.size()];
    if (!file.Read(buffers.blocks[slot], kReadSize, offset, requests[static_cast<size_t>(slot)])) {
      state.SkipWithError("read refused");
    }
  };
  for (auto _ : state) {
    int started = 0;
    for (; started < depth && started < kBatch; ++started) start(started);
    for (int finished = 0; finished < kBatch; ++finished) {
      Yr::File::FileAsync& any = requests[0];
      if (!completion.Wait1(any)) {
        state.SkipWithError("read failed");
        break;
      }
      if (started == kBatch) continue;
      // The wait names no request: the one whose status left "pending" is free again.
      for (int slot = 0; slot < depth; ++slot) {
        if (requests[static_cast<size_t>(slot)].GetStatus() != Yr::kAsyncPending) {
          start(slot);
          ++started;
          break;
        }
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBatch * kReadSize);
}

// Two threads calling pread, each half of every batch.
void Peer(benchmark::State& state, BigFile& source) {
  constexpr int kThreads = 2;
  int descriptor = open(source.name.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    state.SkipWithError("open failed");
    return;
  }
  bool stop = false;
  std::barrier sync(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      AlignedBuffers buffer(1);
      const std::vector<unsigned int>& offsets = Offsets();
      size_t next = static_cast<size_t>(t) * 7919;
      for (;;) {
        sync.arrive_and_wait();
        if (stop) return;
        for (int i = 0; i < kBatch / kThreads; ++i) {
          if (pread(descriptor, buffer.blocks[0], kReadSize, offsets[next++ % offsets.size()]) != kReadSize) std::abort();
        }
        sync.arrive_and_wait();
      }
    });
  }
  for (auto _ : state) {
    sync.arrive_and_wait();
    sync.arrive_and_wait();
  }
  stop = true;
  sync.arrive_and_wait();
  for (std::thread& thread : threads) thread.join();
  close(descriptor);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBatch * kReadSize);
}

void Register() {
  using Yr::Platform::PortBackend;
  for (int depth : {1, 8, 32}) {
    std::string base = "random_read_64KiB_qd" + std::to_string(depth);
    auto ours = [depth](benchmark::State& state) { Ours(state, depth, MemoryFile(), PortBackend::kAuto); };
    auto queue = [depth](benchmark::State& state) { Ours(state, depth, MemoryFile(), PortBackend::kThreads); };
    auto direct = [depth](benchmark::State& state) { Ours(state, depth, DiskFile(), PortBackend::kAuto); };
    auto peerMemory = [](benchmark::State& state) { Peer(state, MemoryFile()); };
    auto peerDisk = [](benchmark::State& state) { Peer(state, DiskFile()); };
    const std::string peer = "/peer:pread x2 threads";
    for (auto [name, run] : {std::pair<std::string, std::function<void(benchmark::State&)>>{base + "/ours", ours},
                             {base + peer, peerMemory},
                             {base + "_threadqueue/ours", queue},
                             {base + "_threadqueue" + peer, peerMemory},
                             {base + "_direct/ours", direct},
                             {base + "_direct" + peer, peerDisk}}) {
      benchmark::RegisterBenchmark(name.c_str(), run)->UseRealTime()->Unit(benchmark::kMicrosecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  static_assert(kMaxDepth <= kBatch, "a batch fills the deepest queue");
  Register();
  return YrBench::RunBenchmarks(argc, argv);
}
