// Matrix products and inverses, the four-at-once affine functions, point transforms, box
// culling and bounding spheres, against glm (column-major, default configuration) doing the
// same work on the same data. Sizes 1k, 10k, 100k (1M for point transforms); "worst" rows
// use inputs that take the longest road through our code.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include <glm/glm.hpp>
#include <glm/gtc/quaternion.hpp>

#include "bench/report.h"
#include "system/math/bounds.h"
#include "system/math/frustum.h"
#include "system/math/matrix.h"
#include "system/math/quaternion.h"

namespace {

using Yr::Matrix4;
using Yr::Matrix43;
using Yr::Quaternion;
using Yr::Vec3;
using Yr::Vec4;

float Uniform(std::mt19937& random, float lo, float hi) {
  return std::uniform_real_distribution<float>(lo, hi)(random);
}

Quaternion RandomRotation(std::mt19937& random) {
  Quaternion q(Uniform(random, -1, 1), Uniform(random, -1, 1), Uniform(random, -1, 1), Uniform(random, -1, 1));
  return q.Normalise();
}

// n random affine matrices, ours and the same ones for glm.
struct Affines {
  std::vector<Matrix43> ours43;
  std::vector<Matrix4> ours;
  std::vector<glm::mat4> peer;
  std::vector<Quaternion> rotations;
  std::vector<Vec4> translations;
  std::vector<glm::quat> peerRotations;
  std::vector<glm::vec3> peerTranslations;
};

Affines MakeAffines(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  Affines a;
  for (size_t i = 0; i < n; ++i) {
    const Quaternion q = RandomRotation(random);
    const Vec4 t(Uniform(random, -50, 50), Uniform(random, -50, 50), Uniform(random, -50, 50), 1);
    Matrix43 m;
    m.MakeRotation(q, t);
    a.ours43.push_back(m);
    a.ours.push_back(Matrix4(m));
    glm::mat4 g(1.0f);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) g[c][r] = m(r, c);
    a.peer.push_back(g);
    a.rotations.push_back(q);
    a.translations.push_back(t);
    a.peerRotations.push_back(glm::quat(q.w, q.x, q.y, q.z));
    a.peerTranslations.push_back(glm::vec3(t.x, t.y, t.z));
  }
  return a;
}

// ---- Matrix4 product and inverse ----

void ProductOurs(benchmark::State& state) {
  const size_t n = state.range(0);
  const Affines a = MakeAffines(n, 1), b = MakeAffines(n, 2);
  std::vector<Matrix4> out(n);
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) out[i] = a.ours[i] * b.ours[i];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

void ProductPeer(benchmark::State& state) {
  const size_t n = state.range(0);
  const Affines a = MakeAffines(n, 1), b = MakeAffines(n, 2);
  std::vector<glm::mat4> out(n);
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) out[i] = a.peer[i] * b.peer[i];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

void InverseOurs(benchmark::State& state) {
  const size_t n = state.range(0);
  const Affines a = MakeAffines(n, 3);
  std::vector<Matrix4> out(n);
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) out[i] = a.ours[i].Inverse();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

void InversePeer(benchmark::State& state) {
  const size_t n = state.range(0);
  const Affines a = MakeAffines(n, 3);
  std::vector<glm::mat4> out(n);
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) out[i] = glm::inverse(a.peer[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

// ---- Four at once ----

void Multiply4Ours(benchmark::State& state) {
  const size_t n = state.range(0);
  const Affines a = MakeAffines(n, 4), b = MakeAffines(n, 5);
  // Chained in place: the rotations stay rotations and the translations grow slowly.
  std::vector<Matrix43> work = a.ours43;
  for (auto _ : state) {
    for (size_t i = 0; i + 4 <= n; i += 4) Matrix43::Multiply4(&work[i], &b.ours43[i]);
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  }
}

void Multiply4Peer(benchmark::State& state) {
  const size_t n = state.range(0);
  const Affines a = MakeAffines(n, 4), b = MakeAffines(n, 5);
  std::vector<glm::mat4> work = a.peer;
  for (auto _ : state) {
    for (size_t i = 0; i + 4 <= n; i += 4)
      for (size_t k = i; k < i + 4; ++k) work[k] = work[k] * b.peer[k];
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  }
}

void RotationMultiply4Ours(benchmark::State& state) {
  const size_t n = state.range(0);
  const Affines a = MakeAffines(n, 6), b = MakeAffines(n, 7);
  std::vector<Matrix43> out(n);
  for (auto _ : state) {
    for (size_t i = 0; i + 4 <= n; i += 4)
      Matrix43::Make4RotationMultiply4(&out[i], &a.rotations[i], &a.translations[i], &b.ours43[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

void RotationMultiply4Peer(benchmark::State& state) {
  const size_t n = state.range(0);
  const Affines a = MakeAffines(n, 6), b = MakeAffines(n, 7);
  std::vector<glm::mat4> out(n);
  for (auto _ : state) {
    for (size_t i = 0; i + 4 <= n; i += 4)
      for (size_t k = i; k < i + 4; ++k) {
        glm::mat4 r = glm::mat4_cast(a.peerRotations[k]);
        r[3] = glm::vec4(a.peerTranslations[k], 1.0f);
        out[k] = r * b.peer[k];
      }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

// ---- Points ----

std::vector<Vec3> RandomPoints(size_t n, uint32_t seed, float extent) {
  std::mt19937 random(seed);
  std::vector<Vec3> pts(n);
  for (Vec3& p : pts) p = Vec3(Uniform(random, -extent, extent), Uniform(random, -extent, extent),
                               Uniform(random, -extent, extent));
  return pts;
}

void TransformPointOurs(benchmark::State& state) {
  const size_t n = state.range(0);
  const Matrix4 m = MakeAffines(1, 8).ours[0];
  const std::vector<Vec3> in = RandomPoints(n, 9, 100);
  std::vector<Vec3> out(n);
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) out[i] = m.TransformPoint(in[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

void TransformPointPeer(benchmark::State& state) {
  const size_t n = state.range(0);
  const glm::mat4 m = MakeAffines(1, 8).peer[0];
  const std::vector<Vec3> ours = RandomPoints(n, 9, 100);
  std::vector<glm::vec3> in(n), out(n);
  for (size_t i = 0; i < n; ++i) in[i] = glm::vec3(ours[i].x, ours[i].y, ours[i].z);
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) out[i] = glm::vec3(m * glm::vec4(in[i], 1.0f));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

// ---- Frustum culling ----

struct Culling {
  Yr::Frustum frustum;
  std::vector<Yr::AABB> boxes;
  glm::vec4 planes[6];
  std::vector<glm::vec3> mins, maxs;
};

// Random boxes around the camera, about a fifth of them visible; the worst case puts every
// box inside the view, so all six planes are tested for each.
Culling MakeCulling(size_t n, bool allVisible) {
  Culling c;
  Matrix4 proj, view;
  proj.MakePerspectiveRH(1.0f, 16.0f / 9.0f, 0.5f, 500.0f);
  view.MakeViewRH(Vec3(0, 0, 0), Vec3(0, 0, -1), Vec3(0, 1, 0));
  c.frustum.Set(proj, view);
  for (int i = 0; i < 6; ++i) {
    const Yr::Plane& p = c.frustum.GetPlane(i);
    c.planes[i] = glm::vec4(p.a, p.b, p.c, p.d);
  }
  std::mt19937 random(10);
  for (size_t i = 0; i < n; ++i) {
    const Vec3 centre = allVisible ? Vec3(Uniform(random, -5, 5), Uniform(random, -5, 5), Uniform(random, -100, -20))
                                   : Vec3(Uniform(random, -300, 300), Uniform(random, -300, 300),
                                          Uniform(random, -400, 100));
    const Vec3 h(Uniform(random, 0.5f, 3), Uniform(random, 0.5f, 3), Uniform(random, 0.5f, 3));
    c.boxes.push_back(Yr::AABB(centre - h, centre + h));
    c.mins.push_back(glm::vec3(centre.x - h.x, centre.y - h.y, centre.z - h.z));
    c.maxs.push_back(glm::vec3(centre.x + h.x, centre.y + h.y, centre.z + h.z));
  }
  return c;
}

void CullOurs(benchmark::State& state, bool allVisible) {
  const Culling c = MakeCulling(state.range(0), allVisible);
  for (auto _ : state) {
    size_t visible = 0;
    for (const Yr::AABB& b : c.boxes) visible += c.frustum.IsVisible(b);
    benchmark::DoNotOptimize(visible);
  }
}

// The same test written with glm: the box corner furthest along each plane's normal.
void CullPeer(benchmark::State& state, bool allVisible) {
  const Culling c = MakeCulling(state.range(0), allVisible);
  for (auto _ : state) {
    size_t visible = 0;
    for (size_t i = 0; i < c.mins.size(); ++i) {
      bool in = true;
      for (const glm::vec4& p : c.planes) {
        const glm::vec3 corner = glm::mix(c.mins[i], c.maxs[i], glm::greaterThan(glm::vec3(p), glm::vec3(0.0f)));
        if (glm::dot(glm::vec3(p), corner) + p.w <= 0.0f) {
          in = false;
          break;
        }
      }
      visible += in;
    }
    benchmark::DoNotOptimize(visible);
  }
}

// ---- Bounding spheres ----

// Random points in a cube, or (worst case) a spiral running outwards, so the sphere grows at
// almost every point.
std::vector<Vec3> SpherePoints(size_t n, bool spiral) {
  if (!spiral) return RandomPoints(n, 11, 50);
  std::vector<Vec3> pts(n);
  for (size_t i = 0; i < n; ++i) {
    const float r = 1.0f + 0.01f * float(i), a = 0.7f * float(i);
    pts[i] = Vec3(r * std::cos(a), r * std::sin(a), 0.001f * float(i));
  }
  return pts;
}

void SphereOurs(benchmark::State& state, bool spiral) {
  const std::vector<Vec3> pts = SpherePoints(state.range(0), spiral);
  Yr::Sphere s;
  for (auto _ : state) {
    s.CalculateBoundingSphere(static_cast<unsigned>(pts.size()), pts.data());
    benchmark::DoNotOptimize(s);
  }
}

// The same single pass written with glm: extreme pair, then growing to each outside point.
void SpherePeer(benchmark::State& state, bool spiral) {
  const std::vector<Vec3> ours = SpherePoints(state.range(0), spiral);
  std::vector<glm::vec3> pts(ours.size());
  for (size_t i = 0; i < ours.size(); ++i) pts[i] = glm::vec3(ours[i].x, ours[i].y, ours[i].z);
  for (auto _ : state) {
    size_t lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    for (size_t i = 1; i < pts.size(); ++i)
      for (int axis = 0; axis < 3; ++axis) {
        if (pts[i][axis] < pts[lo[axis]][axis]) lo[axis] = i;
        if (pts[i][axis] > pts[hi[axis]][axis]) hi[axis] = i;
      }
    int widest = 0;
    float widest2 = glm::dot(pts[hi[0]] - pts[lo[0]], pts[hi[0]] - pts[lo[0]]);
    for (int axis = 1; axis < 3; ++axis) {
      const glm::vec3 d = pts[hi[axis]] - pts[lo[axis]];
      if (glm::dot(d, d) > widest2) {
        widest = axis;
        widest2 = glm::dot(d, d);
      }
    }
    glm::vec3 c = (pts[hi[widest]] + pts[lo[widest]]) * 0.5f;
    float r = glm::length(pts[hi[widest]] - c), r2 = r * r;
    for (const glm::vec3& p : pts) {
      const glm::vec3 d = p - c;
      const float d2 = glm::dot(d, d);
      if (d2 > r2) {
        const float dist = std::sqrt(d2), newR = (dist + r) * 0.5f;
        c = (c * newR + p * (dist - newR)) / dist;
        r = newR;
        r2 = newR * newR;
      }
    }
    benchmark::DoNotOptimize(c);
    benchmark::DoNotOptimize(r);
  }
}

void Sizes(benchmark::internal::Benchmark* b) { b->Arg(1000)->Arg(10000)->Arg(100000); }
void PointSizes(benchmark::internal::Benchmark* b) { b->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000); }

BENCHMARK(ProductOurs)->Name("Matrix4 product/ours")->Apply(Sizes);
BENCHMARK(ProductPeer)->Name("Matrix4 product/peer:glm")->Apply(Sizes);
BENCHMARK(InverseOurs)->Name("Matrix4 Inverse/ours")->Apply(Sizes);
BENCHMARK(InversePeer)->Name("Matrix4 Inverse/peer:glm")->Apply(Sizes);
BENCHMARK(Multiply4Ours)->Name("Matrix43 Multiply4/ours")->Apply(Sizes);
BENCHMARK(Multiply4Peer)->Name("Matrix43 Multiply4/peer:glm x4")->Apply(Sizes);
BENCHMARK(RotationMultiply4Ours)->Name("Make4RotationMultiply4/ours")->Apply(Sizes);
BENCHMARK(RotationMultiply4Peer)->Name("Make4RotationMultiply4/peer:glm x4")->Apply(Sizes);
BENCHMARK(TransformPointOurs)->Name("TransformPoint/ours")->Apply(PointSizes);
BENCHMARK(TransformPointPeer)->Name("TransformPoint/peer:glm")->Apply(PointSizes);
BENCHMARK_CAPTURE(CullOurs, mixed, false)->Name("IsVisible(AABB) mixed/ours")->Apply(Sizes);
BENCHMARK_CAPTURE(CullPeer, mixed, false)->Name("IsVisible(AABB) mixed/peer:glm")->Apply(Sizes);
BENCHMARK_CAPTURE(CullOurs, worst, true)->Name("IsVisible(AABB) worst/ours")->Apply(Sizes);
BENCHMARK_CAPTURE(CullPeer, worst, true)->Name("IsVisible(AABB) worst/peer:glm")->Apply(Sizes);
BENCHMARK_CAPTURE(SphereOurs, cube, false)->Name("CalculateBoundingSphere/ours")->Apply(Sizes);
BENCHMARK_CAPTURE(SpherePeer, cube, false)->Name("CalculateBoundingSphere/peer:glm")->Apply(Sizes);
BENCHMARK_CAPTURE(SphereOurs, spiral, true)->Name("CalculateBoundingSphere worst/ours")->Apply(Sizes);
BENCHMARK_CAPTURE(SpherePeer, spiral, true)->Name("CalculateBoundingSphere worst/peer:glm")->Apply(Sizes);

}  // namespace

YR_BENCH_MAIN()
