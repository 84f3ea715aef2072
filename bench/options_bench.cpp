// Options::Set of distinct names at 1k / 10k / 100k: the time per call should stay flat as the
// registry fills. The peer keeps the same name -> values map in standard containers.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "bench/report.h"
#include "system/options/options.h"

namespace {

std::vector<std::string> Arguments(int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i)
    out.push_back("--game.module" + std::to_string(i % 50) + ".setting" + std::to_string(i) + "=" + std::to_string(i));
  return out;
}

// One iteration is one Set; after every count calls the registry is emptied (untimed), so
// each round fills it from empty to count names.
void SetOurs(benchmark::State& state) {
  const std::vector<std::string> arguments = Arguments(static_cast<int>(state.range(0)));
  Yr::Detail::ClearOptions();
  size_t i = 0;
  for (auto _ : state) {
    Yr::Options::Set(arguments[i].c_str());
    if (++i == arguments.size()) {
      state.PauseTiming();
      Yr::Detail::ClearOptions();
      i = 0;
      state.ResumeTiming();
    }
  }
  Yr::Detail::ClearOptions();
}

void SetPeer(benchmark::State& state) {
  const std::vector<std::string> arguments = Arguments(static_cast<int>(state.range(0)));
  std::unordered_map<std::string, std::vector<std::string>> options;
  size_t i = 0;
  for (auto _ : state) {
    const std::string& argument = arguments[i];
    const size_t equals = argument.find('=');
    options[argument.substr(2, equals - 2)].push_back(argument.substr(equals + 1));
    if (++i == arguments.size()) {
      state.PauseTiming();
      options.clear();
      i = 0;
      state.ResumeTiming();
    }
  }
}

BENCHMARK(SetOurs)->Name("Options::Set distinct names/ours")->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(SetPeer)->Name("Options::Set distinct names/peer:unordered_map")->Arg(1000)->Arg(10000)->Arg(100000);

}  // namespace

YR_BENCH_MAIN()
