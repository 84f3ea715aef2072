// Point-in-polygon, convex splitting and outline simplification on large outlines; each
// reports ns_per_vertex. No library a user would pick instead offers these operations on
// the same grid-snapped outlines, so they run without a peer and print no ratio.
//
// IsInside/N: a convex N-gon, the query points cycling through 64 points of its bounding box.
// SplitConvex/N: the same N-gon cut through its middle on alternating axes, grid 256.
// Optimize/N: a circle of N vertices, each pushed off the circle by up to 0.1 % of the
// radius, simplified with a tolerance of 0.2 % (most vertices go; every removal rescans).
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "bench/report.h"
#include "system/math/polygon2d.h"

namespace {

std::vector<Yr::Vec2> Circle(int n, float jitter) {
  std::mt19937 random(n);
  std::uniform_real_distribution<float> noise(-jitter, jitter);
  std::vector<Yr::Vec2> v;
  for (int i = 0; i < n; ++i) {
    const float a = -6.2831853f * float(i) / float(n);  // clockwise
    const float r = 100.0f * (1.0f + noise(random));
    v.emplace_back(r * std::cos(a), r * std::sin(a));
  }
  return v;
}

void PerVertex(benchmark::State& state, int n) {
  state.counters["ns_per_vertex"] =
      benchmark::Counter(double(n) * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void IsInside(benchmark::State& state) {
  const int n = int(state.range(0));
  const std::vector<Yr::Vec2> v = Circle(n, 0.0f);
  const Yr::SPolygon2D polygon(v.data(), unsigned(n));
  std::vector<Yr::Vec2> points;
  std::mt19937 random(5);
  std::uniform_real_distribution<float> coordinate(-110, 110);
  for (int i = 0; i < 64; ++i) points.emplace_back(coordinate(random), coordinate(random));
  size_t k = 0;
  for (auto _ : state) benchmark::DoNotOptimize(polygon.IsInside(points[k++ % points.size()]));
  PerVertex(state, n);
}

void SplitConvex(benchmark::State& state) {
  const int n = int(state.range(0));
  Yr::DPolygon2D polygon;
  const std::vector<Yr::Vec2> v = Circle(n, 0.0f);
  polygon.Copy(v.data(), n);
  Yr::DPolygon2D below, above;
  unsigned axis = 0;
  for (auto _ : state) {
    polygon.SplitConvex(axis ^= 1, 0.3f, below, above, 256);
    benchmark::DoNotOptimize(below.GetVertices());
  }
  PerVertex(state, n);
}

void Optimize(benchmark::State& state) {
  const int n = int(state.range(0));
  const std::vector<Yr::Vec2> v = Circle(n, 0.001f);
  Yr::DPolygon2D polygon;
  unsigned left = 0;
  for (auto _ : state) {
    polygon.Copy(v.data(), n);
    polygon.Optimize(0.2f, 0.2f, false);
    left = polygon.GetNumVerts();
  }
  state.counters["vertices_left"] = double(left);
  PerVertex(state, n);
}

}  // namespace

BENCHMARK(IsInside)->Name("IsInside/ours")->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(SplitConvex)->Name("SplitConvex/ours")->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(Optimize)->Name("Optimize/ours")->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

YR_BENCH_MAIN()
