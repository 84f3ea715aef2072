// StringId lookups of interned texts and handle copies, against the usual standard peers.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "bench/report.h"
#include "system/strings/string_id.h"

namespace {

constexpr int kNames = 1000;

// Names of the kind an engine interns: asset paths and option names, 8 to 64 characters.
const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = [] {
    const char* stems[] = {"textures/", "models/characters/", "sounds/ambient/", "render.", "physics.solver.",
                           "ui/fonts/", "scripts/ai/", "cfg."};
    const char* words[] = {"stone", "wall", "grass", "iron_gate", "shadow", "bloom", "max_iterations", "ogre"};
    std::mt19937 random(1234);
    std::vector<std::string> out;
    while (out.size() < kNames) {
      std::string name = stems[random() % 8];
      while (name.size() < 8 + random() % 48) name += std::string(words[random() % 8]) + "_";
      name += std::to_string(out.size());
      if (name.size() > 64) name.resize(64);
      out.push_back(name);
    }
    return out;
  }();
  return names;
}

// The order both sides look names up in: uniformly random, the same sequence for both. (A
// strict round robin would always ask for the entry a most-recently-found list holds last.)
const std::vector<const char*>& LookupOrder() {
  static const std::vector<const char*> order = [] {
    constexpr size_t kLookups = 1 << 14;
    std::mt19937 random(99);
    std::vector<const char*> out;
    for (size_t i = 0; i < kLookups; ++i) out.push_back(Names()[random() % kNames].c_str());
    return out;
  }();
  return order;
}

void LookupOurs(benchmark::State& state) {
  std::vector<Yr::StringId> keep;  // already interned, as in a running engine
  for (const auto& name : Names()) keep.emplace_back(name.c_str());
  const auto& order = LookupOrder();
  size_t i = 0;
  for (auto _ : state) {
    Yr::StringId id(order[i]);
    benchmark::DoNotOptimize(id);
    i = (i + 1) % order.size();
  }
}

void LookupPeer(benchmark::State& state) {
  std::unordered_set<std::string> set(Names().begin(), Names().end());
  const auto& order = LookupOrder();
  size_t i = 0;
  for (auto _ : state) {
    // The peer is handed the same C string the engine has, so it too must build its key.
    auto it = set.find(std::string(order[i]));
    benchmark::DoNotOptimize(it);
    i = (i + 1) % order.size();
  }
}

void CopyOurs(benchmark::State& state) {
  Yr::StringId id("render.shadow_map_size");
  for (auto _ : state) {
    Yr::StringId copy(id);
    benchmark::DoNotOptimize(copy);
  }
}

void CopyPeer(benchmark::State& state) {
  // The standard library skips atomic counts while a process has never started a thread.
  // An engine always has threads, so measure the peer as it runs there.
  static bool threaded = [] {
    std::thread([] {}).join();
    return true;
  }();
  benchmark::DoNotOptimize(threaded);
  auto shared = std::make_shared<std::string>("render.shadow_map_size");
  for (auto _ : state) {
    std::shared_ptr<std::string> copy(shared);
    benchmark::DoNotOptimize(copy);
  }
}

BENCHMARK(LookupOurs)->Name("StringId from interned text/ours");
BENCHMARK(LookupPeer)->Name("StringId from interned text/peer:unordered_set::find");
BENCHMARK(CopyOurs)->Name("handle copy+drop/ours");
BENCHMARK(CopyPeer)->Name("handle copy+drop/peer:shared_ptr");

}  // namespace

YR_BENCH_MAIN()
