// StringId lookups of interned texts and handle copies, against the usual standard peers:
// the original 1,000-name case, then three shapes of names at 1k / 10k / 100k (hit, miss then
// create, and two threads at once) to show how the cost grows with the table.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <mutex>
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

// ---- Engine-scale data: three shapes at 1k / 10k / 100k names ------------------------------

enum Shape { kAssetPaths, kDottedOptions, kNumberedNames };
const char* const kShapeNames[] = {"asset paths", "dotted options", "numbered names"};

// Asset paths share directories and extensions ("assets/level7/mesh_123.msh"), option names
// share dotted prefixes ("render.shadow.cascade3.bias17"), numbered names differ only in
// their trailing number ("entity_name_0042"). salt makes a disjoint set of the same shape.
std::string MakeName(Shape shape, int i, const char* salt) {
  static const char* const kExtensions[] = {".msh", ".tga", ".anim", ".wav"};
  static const char* const kKinds[] = {"mesh_", "tex_", "anim_", "sound_"};
  static const char* const kGroups[] = {"render", "physics", "audio", "ui", "net", "ai"};
  static const char* const kFields[] = {"bias", "count", "size", "enabled", "scale"};
  switch (shape) {
    case kAssetPaths:
      return std::string("assets/") + salt + "level" + std::to_string(i % 64) + "/" + kKinds[i % 4] +
             std::to_string(i) + kExtensions[i % 4];
    case kDottedOptions:
      return std::string(kGroups[i % 6]) + "." + salt + "sub" + std::to_string(i % 97) + ".item" + std::to_string(i) +
             "." + kFields[i % 5];
    case kNumberedNames:
    default:
      return std::string("entity_name_") + salt + std::to_string(i);
  }
}

struct DataSet {
  std::vector<std::string> names;   // interned before measuring
  std::vector<std::string> fresh;   // never interned beforehand: the misses
  std::vector<const char*> order;   // random lookup order over names
};

const DataSet& Data(Shape shape, int count) {
  static std::map<std::pair<int, int>, DataSet> sets;
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  DataSet& set = sets[{shape, count}];
  if (set.names.empty()) {
    for (int i = 0; i < count; ++i) {
      set.names.push_back(MakeName(shape, i, ""));
      set.fresh.push_back(MakeName(shape, i, "x"));
    }
    std::mt19937 random(static_cast<unsigned int>(count + shape));
    for (int i = 0; i < (1 << 16); ++i) set.order.push_back(set.names[random() % count].c_str());
  }
  return set;
}

void HitOurs(benchmark::State& state, Shape shape) {
  const DataSet& data = Data(shape, static_cast<int>(state.range(0)));
  static std::vector<Yr::StringId> keep;  // interned once by the first thread, as in a running engine
  if (state.thread_index() == 0) {
    keep.clear();
    for (const auto& name : data.names) keep.emplace_back(name.c_str());
  }
  size_t i = static_cast<size_t>(state.thread_index()) * 7919;
  for (auto _ : state) {
    Yr::StringId id(data.order[i % data.order.size()]);
    benchmark::DoNotOptimize(id);
    ++i;
  }
  if (state.thread_index() == 0) state.counters["table buckets"] = Yr::StringId::msCache->Size();
}

void HitPeer(benchmark::State& state, Shape shape) {
  const DataSet& data = Data(shape, static_cast<int>(state.range(0)));
  static std::unordered_set<std::string> set;
  if (state.thread_index() == 0) set = std::unordered_set<std::string>(data.names.begin(), data.names.end());
  size_t i = static_cast<size_t>(state.thread_index()) * 7919;
  for (auto _ : state) {
    auto it = set.find(std::string(data.order[i % data.order.size()]));
    benchmark::DoNotOptimize(it);
    ++i;
  }
}

// Each iteration asks for a text that is not there, so it is made: the table grows from its
// interned names by up to as many again; between rounds the new ones are dropped and freed.
void MissOurs(benchmark::State& state, Shape shape) {
  const DataSet& data = Data(shape, static_cast<int>(state.range(0)));
  std::vector<Yr::StringId> keep;
  for (const auto& name : data.names) keep.emplace_back(name.c_str());
  std::vector<Yr::StringId> made;
  made.reserve(data.fresh.size());
  size_t i = 0;
  for (auto _ : state) {
    made.emplace_back(data.fresh[i].c_str());
    if (++i == data.fresh.size()) {
      state.PauseTiming();
      made.clear();
      Yr::StringId::GC(true);
      i = 0;
      state.ResumeTiming();
    }
  }
  made.clear();
  Yr::StringId::GC(true);
}

void MissPeer(benchmark::State& state, Shape shape) {
  const DataSet& data = Data(shape, static_cast<int>(state.range(0)));
  std::unordered_set<std::string> set(data.names.begin(), data.names.end());
  size_t i = 0;
  for (auto _ : state) {
    std::string key(data.fresh[i]);
    if (set.find(key) == set.end()) set.insert(std::move(key));
    if (++i == data.fresh.size()) {
      state.PauseTiming();
      for (const auto& name : data.fresh) set.erase(name);
      i = 0;
      state.ResumeTiming();
    }
  }
}

void RegisterScaled() {
  for (Shape shape : {kAssetPaths, kDottedOptions, kNumberedNames}) {
    const std::string prefix = std::string(kShapeNames[shape]);
    for (int count : {1000, 10000, 100000}) {
      benchmark::RegisterBenchmark((prefix + " hit/ours").c_str(), HitOurs, shape)->Arg(count);
      benchmark::RegisterBenchmark((prefix + " hit/peer:unordered_set::find").c_str(), HitPeer, shape)->Arg(count);
      benchmark::RegisterBenchmark((prefix + " miss then create/ours").c_str(), MissOurs, shape)->Arg(count);
      benchmark::RegisterBenchmark((prefix + " miss then create/peer:unordered_set find+insert").c_str(), MissPeer,
                                   shape)
          ->Arg(count);
      // Two threads looking up at once: time per lookup and thread, wall clock.
      benchmark::RegisterBenchmark((prefix + " hit 2 threads/ours").c_str(), HitOurs, shape)
          ->Arg(count)
          ->Threads(2)
          ->UseRealTime();
      benchmark::RegisterBenchmark((prefix + " hit 2 threads/peer:unordered_set::find").c_str(), HitPeer, shape)
          ->Arg(count)
          ->Threads(2)
          ->UseRealTime();
    }
  }
}

const bool gRegistered = (RegisterScaled(), true);

}  // namespace

YR_BENCH_MAIN()
