// Hungarian against dlib's max_cost_assignment on the same n × n problems.
//
// random/N: integer costs drawn uniformly from [0, 100000), the same values for both (dlib
// takes integers; ours gets them as floats, exact). dlib maximises, so it gets the negated
// costs. Ours overwrites its matrix, so each of its iterations includes copying the n² costs
// back; dlib reads its matrix as it stands.
// product/N: worst case for a greedy start, cost(i, j) = i·j: every row's least entry lies
// in column 0, so all rows but one start free and each needs its own augmenting path.
#include <benchmark/benchmark.h>

#include <dlib/optimization/max_cost_assignment.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench/report.h"
#include "system/math/lap.h"
#include "system/math/math_const.h"

namespace {

constexpr int kProblems = 16;  // distinct matrices per size, cycled through

struct Problems {
  std::vector<std::vector<float>> ours;
  std::vector<dlib::matrix<long>> peer;
};

const Problems& Make(int n, bool product) {
  static std::vector<Problems> cache(2 * 128);
  Problems& p = cache[n * 2 + product];
  if (!p.ours.empty()) return p;
  std::mt19937 random(n * 7 + product);
  for (int k = 0; k < (product ? 1 : kProblems); ++k) {
    std::vector<float> cost(size_t(n) * n);
    dlib::matrix<long> m(n, n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        const long c = product ? long(i) * j : long(random() % 100000);
        cost[size_t(i) * n + j] = float(c);
        m(i, j) = -c;
      }
    p.ours.push_back(std::move(cost));
    p.peer.push_back(std::move(m));
  }
  return p;
}

void Ours(benchmark::State& state, bool product) {
  const int n = int(state.range(0));
  const Problems& p = Make(n, product);
  Yr::Lap::ThreadInit(127, 127);
  std::vector<float> work(size_t(n) * n);
  char result[127];
  size_t k = 0, failures = 0;
  for (auto _ : state) {
    const std::vector<float>& cost = p.ours[k++ % p.ours.size()];
    std::memcpy(work.data(), cost.data(), cost.size() * sizeof(float));
    const float total = Yr::Lap::Hungarian(result, work.data(), char(n), char(n), 0);
    failures += total == Yr::gConst.floatMin;
    benchmark::DoNotOptimize(total);
  }
  Yr::Lap::ThreadDone();
  state.counters["failures"] = double(failures);
}

void Peer(benchmark::State& state, bool product) {
  const int n = int(state.range(0));
  const Problems& p = Make(n, product);
  size_t k = 0;
  for (auto _ : state) {
    std::vector<long> assignment = dlib::max_cost_assignment(p.peer[k++ % p.peer.size()]);
    benchmark::DoNotOptimize(assignment.data());
  }
}

void RandomOurs(benchmark::State& state) { Ours(state, false); }
void RandomPeer(benchmark::State& state) { Peer(state, false); }
void ProductOurs(benchmark::State& state) { Ours(state, true); }
void ProductPeer(benchmark::State& state) { Peer(state, true); }

}  // namespace

BENCHMARK(RandomOurs)->Name("Hungarian random/ours")->Arg(16)->Arg(64)->Arg(127)->Unit(benchmark::kMicrosecond);
BENCHMARK(RandomPeer)->Name("Hungarian random/peer:dlib")->Arg(16)->Arg(64)->Arg(127)->Unit(benchmark::kMicrosecond);
BENCHMARK(ProductOurs)->Name("Hungarian product/ours")->Arg(16)->Arg(64)->Arg(127)->Unit(benchmark::kMicrosecond);
BENCHMARK(ProductPeer)->Name("Hungarian product/peer:dlib")->Arg(16)->Arg(64)->Arg(127)->Unit(benchmark::kMicrosecond);

YR_BENCH_MAIN()
