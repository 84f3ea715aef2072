// Text parsing against the standard functions a user would otherwise call: the wildcard
// matcher against fnmatch, AToI against strtol, each cycling through 1M generated inputs
// (asset paths with a handful of patterns; decimal numbers of 1 to 10 digits). Times are per
// call. A worst case for the matcher runs beside them: many stars over a long run of one
// letter, where matching must retry every star position.
#include <benchmark/benchmark.h>
#include <fnmatch.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/report.h"
#include "system/strings/string_utils.h"

namespace {

constexpr size_t kInputs = 1 << 20;

// One buffer of zero-terminated texts and where each starts, so the inputs stay compact.
struct Texts {
  std::string bytes;
  std::vector<size_t> starts;
  const char* operator[](size_t i) const { return bytes.data() + starts[i]; }
};

const Texts& Paths() {
  static const Texts texts = [] {
    const char* dirs[] = {"textures/", "models/characters/", "sounds/ambient/", "scripts/ai/", "ui/fonts/"};
    const char* stems[] = {"stone", "wall", "grass", "iron_gate", "shadow", "ogre", "door"};
    const char* types[] = {".tga", ".dds", ".wav", ".lua", ".mdl"};
    std::mt19937 random(8);
    Texts out;
    for (size_t i = 0; i < kInputs; ++i) {
      out.starts.push_back(out.bytes.size());
      out.bytes += std::string(dirs[random() % 5]) + stems[random() % 7] + "_" + std::to_string(random() % 1000) +
                   types[random() % 5];
      out.bytes += '\0';
    }
    return out;
  }();
  return texts;
}

const Texts& Numbers() {
  static const Texts texts = [] {
    std::mt19937 random(9);
    Texts out;
    for (size_t i = 0; i < kInputs; ++i) {
      out.starts.push_back(out.bytes.size());
      const long long value = static_cast<long long>(random() % 2000000000u) >> (random() % 31);
      out.bytes += std::to_string(random() % 4 == 0 ? -value : value);
      out.bytes += '\0';
    }
    return out;
  }();
  return texts;
}

const char* const kPatterns[] = {"textures/*.tga", "*ogre*", "sounds/*/door_*.wav", "models/characters/wall_1*",
                                 "*.lua"};
constexpr size_t kPatternCount = std::size(kPatterns);

// One call per iteration, each on the next of the 1M inputs.
template <class Call>
void CycleInputs(benchmark::State& state, Call call) {
  size_t i = 0;
  long total = 0;
  for (auto _ : state) {
    total += call(i);
    i = (i + 1) & (kInputs - 1);
  }
  benchmark::DoNotOptimize(total);
}

void WildcardOurs(benchmark::State& s) {
  CycleInputs(s, [&paths = Paths()](size_t i) { return Yr::StrMatchWildcard(paths[i], kPatterns[i % kPatternCount]); });
}
void WildcardFnmatch(benchmark::State& s) {
  CycleInputs(s, [&paths = Paths()](size_t i) { return fnmatch(kPatterns[i % kPatternCount], paths[i], 0) == 0; });
}

const std::string& HostileText() {
  static const std::string text(2000, 'a');
  return text;
}
constexpr const char* kHostilePattern = "*a*a*a*a*a*a*b";

void HostileOurs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Yr::StrMatchWildcard(HostileText().c_str(), kHostilePattern));
}
void HostileFnmatch(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(fnmatch(kHostilePattern, HostileText().c_str(), 0));
}

void AToIOurs(benchmark::State& s) {
  CycleInputs(s, [&numbers = Numbers()](size_t i) { return Yr::AToI(numbers[i]); });
}
void AToIStrtol(benchmark::State& s) {
  CycleInputs(s, [&numbers = Numbers()](size_t i) { return std::strtol(numbers[i], nullptr, 10); });
}

BENCHMARK(WildcardOurs)->Name("StrMatchWildcard paths/ours");
BENCHMARK(WildcardFnmatch)->Name("StrMatchWildcard paths/peer:fnmatch");
BENCHMARK(HostileOurs)->Name("StrMatchWildcard 6 stars over 2000 a/ours");
BENCHMARK(HostileFnmatch)->Name("StrMatchWildcard 6 stars over 2000 a/peer:fnmatch");
BENCHMARK(AToIOurs)->Name("AToI/ours");
BENCHMARK(AToIStrtol)->Name("AToI/peer:strtol");

}  // namespace

YR_BENCH_MAIN()
