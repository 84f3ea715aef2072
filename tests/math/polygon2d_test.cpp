// SPolygon2D and DPolygon2D: known answers, ownership of the vertex arrays, and properties of
// splitting and simplification on random outlines.
#include "system/math/polygon2d.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "system/math/segment2d.h"
#include "tests/math/math_test_util.h"
#include "tests/memory/memory_test_helpers.h"

namespace {

using Yr::DPolygon2D;
using Yr::SPolygon2D;
using Yr::Vec2;
using Verts = std::vector<Vec2>;

const Verts kSquare = {{0, 0}, {0, 1}, {1, 1}, {1, 0}};  // clockwise with Y up

Verts VertsOf(const SPolygon2D& p) {
  return p.GetVertices() ? Verts(p.GetVertices(), p.GetVertices() + p.GetNumVerts()) : Verts();
}

// A convex outline, clockwise with Y up: points on a circle at sorted random angles that
// are never closer than a few degrees, so every corner turns clearly.
Verts RandomConvex(YrMathTest::Random& random, unsigned n, float radius, unsigned grid) {
  std::vector<float> angles;
  while (angles.size() < n) {
    const float a = random.Uniform(0.0f, 6.2831853f);
    bool apart = true;
    for (float b : angles) {
      const float d = std::fabs(a - b);
      apart = apart && std::min(d, 6.2831853f - d) > 0.1f;
    }
    if (apart) angles.push_back(a);
  }
  std::sort(angles.rbegin(), angles.rend());  // decreasing angle: clockwise
  const Vec2 centre(random.Uniform(-5, 5), random.Uniform(-5, 5));
  Verts v;
  for (float a : angles) {
    const Vec2 p = centre + Vec2(std::cos(a), std::sin(a)) * radius;
    v.emplace_back(std::round(p.x * grid) / grid, std::round(p.y * grid) / grid);
  }
  return v;
}

TEST(SPolygon2DTest, AreaOrientationAndConvexityOfKnownOutlines) {
  struct Case {
    const char* name;
    Verts v;
    float area;
    bool clockwise, convex;
  };
  const Case cases[] = {
      {"square clockwise", kSquare, 1.0f, true, true},
      {"square counter-clockwise", {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, -1.0f, false, true},
      {"collinear triangle", {{0, 0}, {1, 1}, {2, 2}}, 0.0f, false, false},
      {"proper triangle", {{0, 0}, {0, 2}, {3, 0}}, 3.0f, true, true},
      {"arrow", {{0, 0}, {1, 3}, {2, 0}, {1, 1}}, 2.0f, true, false},
      {"two points", {{0, 0}, {5, 5}}, 0.0f, false, false},
      {"square with a collinear mid-edge vertex", {{0, 0}, {0, 0.5f}, {0, 1}, {1, 1}, {1, 0}}, 1.0f, true, true},
  };
  for (const Case& c : cases) {
    const SPolygon2D p(c.v.data(), unsigned(c.v.size()));
    EXPECT_FLOAT_EQ(p.CalcArea(), c.area) << c.name;
    EXPECT_EQ(p.IsClockwise(), c.clockwise) << c.name;
    EXPECT_EQ(p.IsConvex(), c.convex) << c.name;
    EXPECT_EQ(SPolygon2D::IsConvex(c.v.data(), unsigned(c.v.size())), c.convex) << c.name;
  }
  const SPolygon2D empty;
  EXPECT_FALSE(empty.IsClockwise());
  EXPECT_FALSE(empty.IsConvex());
  EXPECT_EQ(empty.CalcArea(), 0.0f);

  EXPECT_EQ(SPolygon2D::CheckClockwise(Vec2(0, 1), Vec2(1, 0), 0.0f), 1);
  EXPECT_EQ(SPolygon2D::CheckClockwise(Vec2(1, 0), Vec2(0, 1), 0.0f), -1);
  EXPECT_EQ(SPolygon2D::CheckClockwise(Vec2(1, 0), Vec2(1, 0.001f), 0.01f), 0);
  EXPECT_EQ(SPolygon2D::CheckClockwise(Vec2(0, 0), Vec2(0, 1), Vec2(1, 1), 0.0f), 1);
  EXPECT_EQ(SPolygon2D::CheckClockwise(Vec2(0, 0), Vec2(1, 1), Vec2(2, 2), 1e-6f), 0);
}

TEST(SPolygon2DTest, InsideFollowsTheEvenOddRuleWithBottomRowsIn) {
  const SPolygon2D square(kSquare.data(), 4);
  const struct {
    Vec2 p;
    bool inside;
  } cases[] = {{{0.5f, 0.5f}, true}, {{0.5f, 1.5f}, false}, {{0.5f, 0.0f}, true}, {{0.5f, 1.0f}, false},
               {{-0.1f, 0.5f}, false}, {{1.1f, 0.5f}, false}, {{0.999f, 0.999f}, true}};
  for (const auto& c : cases) EXPECT_EQ(square.IsInside(c.p), c.inside) << c.p.x << "," << c.p.y;

  // A U shape: the notch between the arms is outside, each arm inside.
  const Verts u = {{0, 0}, {0, 3}, {1, 3}, {1, 1}, {2, 1}, {2, 3}, {3, 3}, {3, 0}};
  const SPolygon2D shape(u.data(), unsigned(u.size()));
  EXPECT_TRUE(shape.IsInside({0.5f, 2}));
  EXPECT_FALSE(shape.IsInside({1.5f, 2}));
  EXPECT_TRUE(shape.IsInside({2.5f, 2}));
  EXPECT_FALSE(SPolygon2D(kSquare.data(), 2).IsInside({0.1f, 0.1f}));

  // On convex outlines inside means behind every edge; points near an edge are left out.
  YrMathTest::Random random(1);
  for (int i = 0; i < 200; ++i) {
    const Verts v = RandomConvex(random, 3 + random.Next() % 20, 4.0f, 1024);
    const SPolygon2D p(v.data(), unsigned(v.size()));
    for (int k = 0; k < 20; ++k) {
      const Vec2 q(random.Uniform(-10, 10), random.Uniform(-10, 10));
      bool inside = true, near = false;
      for (size_t e = 0; e < v.size(); ++e) {
        const Vec2 a = v[e], b = v[(e + 1) % v.size()];
        const Vec2 ab = b - a, aq = q - a;
        const float c = (ab.x * aq.y - ab.y * aq.x) / ab.Length();
        near = near || std::fabs(c) < 1e-3f;
        inside = inside && c < 0;  // right of every edge of a clockwise outline
      }
      if (!near) {
        EXPECT_EQ(p.IsInside(q), inside) << "polygon " << i;
      }
    }
  }
}

TEST(SPolygon2DTest, BoundingBoxAndNearestSnapping) {
  Vec2 lo, hi;
  SPolygon2D().CalcAABB(lo, hi);
  EXPECT_EQ(lo, Vec2(0, 0));
  EXPECT_EQ(hi, Vec2(0, 0));
  const Verts v = {{1, -2}, {-3, 4}, {5, 0.5f}};
  SPolygon2D(v.data(), 3).CalcAABB(lo, hi);
  EXPECT_EQ(lo, Vec2(-3, -2));
  EXPECT_EQ(hi, Vec2(5, 4));

  const Verts raw = {{0.3f, 0.375f}, {-0.3f, -0.375f}, {1.1f, 2.0f}};
  SPolygon2D p;
  p.Copy(raw.data(), 3);
  p.SnapToGrid(4, 0);
  EXPECT_EQ(VertsOf(p), (Verts{{0.25f, 0.5f}, {-0.25f, -0.25f}, {1.0f, 2.0f}}));
}

TEST(SPolygon2DTest, BiasedSnappingRoundsTowardsOneSideOfTheChord) {
  // Vertex 1 sits beside the chord from vertex 0 up to vertex 2; the chord's direction (0, 1)
  // makes the X selector equal to bias. Near a chord end both selectors lean up instead.
  struct Case {
    Vec2 v1;
    int bias;
    Vec2 expected;
  };
  const Case cases[] = {
      {{0.3f, 5.0f}, 1, {1, 5}},  {{0.3f, 5.0f}, -1, {0, 5}}, {{0.7f, 5.0f}, 0, {1, 5}},
      {{-0.3f, 5.0f}, 1, {0, 5}}, {{0.3f, 0.5f}, 1, {1, 1}},  {{0.3f, 0.5f}, -1, {1, 1}},
      {{0.3f, 9.5f}, 1, {0, 9}},  {{3.0f, 5.0f}, 1, {3, 5}},  // on the grid already: stays
  };
  for (const Case& c : cases) {
    const Verts v = {{0, 0}, c.v1, {0, 10}, {-10, 5}};
    SPolygon2D p;
    p.Copy(v.data(), 4);
    p.SnapToGrid(1, c.bias);
    EXPECT_EQ(p.GetVertices()[1], c.expected) << c.v1.x << "," << c.v1.y << " bias " << c.bias;
    EXPECT_EQ(p.GetVertices()[3], Vec2(-10, 5));
  }

  // Every coordinate lands on the grid within one step, whatever the bias.
  YrMathTest::Random random(2);
  for (int i = 0; i < 200; ++i) {
    Verts v = RandomConvex(random, 3 + random.Next() % 12, 3.0f, 1 << 20);
    const Verts before = v;
    DPolygon2D p;
    p.Copy(v.data(), int(v.size()));
    const unsigned grid = 1u << (random.Next() % 6);
    p.SnapToGrid(grid, int(random.Next() % 3) - 1);
    for (size_t k = 0; k < v.size(); ++k) {
      const Vec2 s = p.GetVertices()[k];
      EXPECT_EQ(s.x * grid, std::round(s.x * grid));
      EXPECT_EQ(s.y * grid, std::round(s.y * grid));
      EXPECT_LE(std::fabs(s.x - before[k].x), 1.0f / grid);
      EXPECT_LE(std::fabs(s.y - before[k].y), 1.0f / grid);
    }
  }
}

TEST(SPolygon2DTest, ViewsAreNeverWrittenNorFreedAndOwnersFreeExactlyOnce) {
  YrTest::RecordingHook hook;
  Verts caller = {{0.3f, 0.3f}, {0.3f, 1.3f}, {1.3f, 1.3f}, {1.3f, 0.3f}, {0.8f, 0.3f}};
  const Verts original = caller;
  {
    YrTest::HookScope scope(&hook);
    SPolygon2D view(caller.data(), 5);
    SPolygon2D copy(view);
    EXPECT_NE(copy.GetVertices(), caller.data());
    const SPolygon2D& same = copy;
    copy = same;  // self-assignment keeps the vertices
    EXPECT_EQ(VertsOf(copy), original);
    copy.Copy(copy.GetVertices() + 1, 3);  // from its own array
    EXPECT_EQ(VertsOf(copy), Verts(original.begin() + 1, original.begin() + 4));
    copy.Set(copy.GetVertices(), 2);  // its own array handed back stays owned
    EXPECT_EQ(copy.GetNumVerts(), 2u);
    view.SnapToGrid(2, 0);  // the view becomes an owned, snapped copy
    EXPECT_EQ(view.GetVertices()[0], Vec2(0.5f, 0.5f));
    SPolygon2D other(view);
    other = SPolygon2D();
    EXPECT_EQ(other.GetVertices(), nullptr);
    view.Set(caller.data(), 5);
    view.Set(nullptr, 3);  // a null array leaves a view as it is
    EXPECT_EQ(view.GetVertices(), caller.data());

    DPolygon2D grow(false);
    grow.Set(caller.data(), 5);
    grow.ReverseWinding();
    EXPECT_EQ(grow.GetVertices()[0], original[4]);
    grow.AddVertices(grow.GetVertices(), grow.GetNumVerts());  // append its own vertices
    ASSERT_EQ(grow.GetNumVerts(), 10u);
    EXPECT_EQ(grow.GetVertices()[5], original[4]);
    grow.AddVertex(grow.GetVertices()[0]);
    grow.Shrink();
    grow.SnapToGrid(4, 1);
    DPolygon2D halves[2];
    grow.SplitConvexX(0.8f, halves[0], grow, 16);  // the output may be the source
    const DPolygon2D& alias = grow;
    grow = alias;
    halves[1] = halves[0];
    halves[0].Optimize(0.5f, 0.5f, false);
  }
  EXPECT_EQ(caller, original) << "a viewed array was written";
  std::map<void*, int> live;
  for (const auto& call : hook.calls) live[call.block] += 1;
  for (void* block : hook.frees) live[block] -= 1;
  for (const auto& [block, balance] : live) EXPECT_EQ(balance, 0) << "block " << block;
  EXPECT_EQ(std::count(hook.frees.begin(), hook.frees.end(), caller.data()), 0);
  EXPECT_GT(hook.calls.size(), 10u);
}

TEST(DPolygon2DTest, CapacityGrowsByHalfPlusOneAndReserveMoves) {
  DPolygon2D p;
  std::vector<unsigned> capacities;
  for (int i = 0; i < 12; ++i) {
    p.AddVertex(Vec2(float(i), 0));
    if (capacities.empty() || capacities.back() != p.GetCapacity()) capacities.push_back(p.GetCapacity());
  }
  EXPECT_EQ(capacities, (std::vector<unsigned>{1, 2, 4, 7, 11, 17}));
  for (int i = 0; i < 12; ++i) EXPECT_EQ(p.GetVertices()[i], Vec2(float(i), 0));

  DPolygon2D q;
  q.AddVertices(kSquare.data(), 4);
  EXPECT_EQ(q.GetCapacity(), 4u);
  q.AddVertices(kSquare.data(), 3);  // 4 + 2 + 3
  EXPECT_EQ(q.GetCapacity(), 9u);
  q.Shrink();
  EXPECT_EQ(q.GetCapacity(), 7u);
  q.Reserve(20);
  EXPECT_EQ(q.GetCapacity(), 20u);
  EXPECT_EQ(VertsOf(q), (Verts{kSquare[0], kSquare[1], kSquare[2], kSquare[3], kSquare[0], kSquare[1], kSquare[2]}));
  q.Reserve(2);  // below the count: keeps the first vertices
  EXPECT_EQ(VertsOf(q), (Verts{kSquare[0], kSquare[1]}));

  DPolygon2D r(q);
  EXPECT_EQ(r.GetCapacity(), 2u);
  r.Copy(kSquare.data(), 3);
  EXPECT_EQ(r.GetCapacity(), 3u);
  r.Clear();
  EXPECT_EQ(r.GetCapacity(), 0u);
  EXPECT_EQ(r.GetNumVerts(), 0u);
  r.ReverseWinding();
  EXPECT_EQ(r.GetVertices(), nullptr);
}

TEST(DPolygon2DTest, SplitOfTheUnitSquareGivesTwoRectangles) {
  const DPolygon2D square = [] {
    DPolygon2D p;
    p.Copy(kSquare.data(), 4);
    return p;
  }();
  DPolygon2D below, above;
  square.SplitConvexX(0.5f, below, above, 8);
  EXPECT_EQ(VertsOf(below), (Verts{{0.5f, 0}, {0, 0}, {0, 1}, {0.5f, 1}}));
  EXPECT_EQ(VertsOf(above), (Verts{{0.5f, 0}, {0.5f, 1}, {1, 1}, {1, 0}}));
  square.SplitConvexY(0.3f, below, above, 4);  // crossing height snapped to 0.25
  EXPECT_EQ(VertsOf(below), (Verts{{0, 0}, {0, 0.25f}, {1, 0.25f}, {1, 0}}));
  EXPECT_EQ(VertsOf(above), (Verts{{0, 0.25f}, {0, 1}, {1, 1}, {1, 0.25f}}));
  square.SplitConvexX(2.0f, below, above, 8);  // the line misses: all below
  EXPECT_EQ(VertsOf(below), kSquare);
  EXPECT_EQ(above.GetNumVerts(), 0u);
  DPolygon2D line;
  line.Copy(kSquare.data(), 2);
  line.SplitConvexX(0.5f, below, above, 8);
  EXPECT_EQ(below.GetNumVerts() + above.GetNumVerts(), 0u);
}

// Clockwise and convex except for corners within tolerance of the chord between their
// neighbours: a crossing point snapped to the grid may stand up to half a step off its edge,
// which can bend a neighbouring corner the other way by less than a step.
bool ConvexWithin(const SPolygon2D& p, float tolerance) {
  const Verts v = VertsOf(p);
  if (v.size() < 3 || !p.IsClockwise()) return false;
  for (size_t k = 0; k < v.size(); ++k) {
    const Vec2 a = v[(k + v.size() - 1) % v.size()], b = v[k], c = v[(k + 1) % v.size()];
    if (SPolygon2D::CheckClockwise(a, b, c, 0.0f) < 0 &&
        Yr::Segment2D(a, c).GetDistanceSquared(b) > tolerance * tolerance)
      return false;
  }
  return true;
}

TEST(DPolygon2DTest, SplitHalvesOfConvexOutlinesAreConvexAndKeepTheArea) {
  YrMathTest::Random random(3);
  constexpr unsigned kGrid = 256;
  int strict = 0;
  for (int i = 0; i < 1000; ++i) {
    const Verts v = RandomConvex(random, 3 + random.Next() % 30, random.Uniform(1, 20), kGrid);
    DPolygon2D p;
    p.Copy(v.data(), int(v.size()));
    Vec2 lo, hi;
    p.CalcAABB(lo, hi);
    const unsigned axis = random.Next() % 2;
    const float from = axis ? lo.y : lo.x, to = axis ? hi.y : hi.x;
    // Cuts run along grid lines, as the outlines' vertices lie on grid points: a vertex
    // between an off-grid cut and its snapped line would make a notch of less than a step.
    const float value = std::round((from + (to - from) * random.Uniform(0.05f, 0.95f)) * kGrid) / kGrid;
    DPolygon2D below, above;
    p.SplitConvex(axis, value, below, above, kGrid);
    ASSERT_GE(below.GetNumVerts(), 3u);
    ASSERT_GE(above.GetNumVerts(), 3u);
    EXPECT_TRUE(ConvexWithin(below, 1.0f / kGrid)) << i;
    EXPECT_TRUE(ConvexWithin(above, 1.0f / kGrid)) << i;
    strict += below.IsConvex() && above.IsConvex();
    const float diameter = (hi - lo).Length();
    EXPECT_NEAR(below.CalcArea() + above.CalcArea(), p.CalcArea(), 2 * diameter / kGrid + 1e-5f * p.CalcArea()) << i;
    for (const Vec2& q : VertsOf(below)) EXPECT_LE(axis ? q.y : q.x, value) << i;
    for (const Vec2& q : VertsOf(above)) EXPECT_GE(axis ? q.y : q.x, value) << i;
  }
  EXPECT_GT(strict, 980) << "splits whose halves are convex without any allowance";
}

// Optimize recomputed from scratch at every step: the live outline, every cost from the
// current neighbours, the same selection rules.
Verts OptimizeReference(const Verts& v, float tolA, float tolB, bool flip) {
  std::vector<size_t> live(v.size());
  for (size_t i = 0; i < v.size(); ++i) live[i] = i;
  if (v.size() < 4) return v;
  const float a2 = tolA * tolA, b2 = tolB * tolB;
  while (live.size() > 3) {
    const size_t m = live.size();
    long bestA = -1, bestB = -1;
    float costA = 0, costB = 0;
    for (size_t k = 0; k < m; ++k) {
      const Vec2 p = v[live[(k + m - 1) % m]], q = v[live[k]], n = v[live[(k + 1) % m]];
      const Vec2 d = n - p, e = q - p;
      const float l2 = d.LengthSquared();
      float cost;
      bool side;
      if (l2 < 1.0000001e-6f) {
        cost = 0;
        side = b2 < a2;
      } else {
        const float c = d.x * e.y - d.y * e.x;
        cost = c * c / l2;
        side = flip ? c < 0 : c > 0;
      }
      if (side && cost <= a2 && (bestA < 0 || cost <= costA)) bestA = long(k), costA = cost;
      if (!side && cost <= b2 && (bestB < 0 || cost <= costB)) bestB = long(k), costB = cost;
    }
    if (bestA < 0 && bestB < 0) break;
    const long pick = bestA < 0 || (bestB >= 0 && costB < costA) ? bestB : bestA;
    live.erase(live.begin() + pick);
  }
  Verts out;
  for (size_t i : live) out.push_back(v[i]);
  return out;
}

TEST(DPolygon2DTest, OptimizeRemovesNearChordVerticesAndNeverMovesSurvivors) {
  DPolygon2D p;
  const Verts withMid = {{0, 0}, {0, 1}, {0.5f, 1}, {1, 1}, {1, 0}};
  p.Copy(withMid.data(), 5);
  p.Optimize(0, 0, false);
  EXPECT_EQ(VertsOf(p), kSquare);
  p.Optimize(100, 100, true);  // huge tolerances stop at a triangle
  EXPECT_EQ(p.GetNumVerts(), 3u);
  EXPECT_EQ(p.GetCapacity(), 3u);

  YrMathTest::Random random(4);
  for (int i = 0; i < 600; ++i) {
    // A convex outline with jittered extra points on its edges, both sides of the chord.
    const Verts hull = RandomConvex(random, 3 + random.Next() % 10, 10.0f, 64);
    Verts v;
    for (size_t k = 0; k < hull.size(); ++k) {
      v.push_back(hull[k]);
      const unsigned extra = random.Next() % 4;
      for (unsigned e = 1; e <= extra; ++e) {
        const Vec2 a = hull[k], b = hull[(k + 1) % hull.size()];
        const Vec2 on = a + (b - a) * (float(e) / float(extra + 1));
        v.push_back(on + Vec2(random.Uniform(-0.2f, 0.2f), random.Uniform(-0.2f, 0.2f)));
      }
    }
    const float tolA = random.Uniform(0, 0.3f), tolB = random.Uniform(0, 0.3f);
    const bool flip = random.Next() % 2;
    DPolygon2D q;
    q.Copy(v.data(), int(v.size()));
    q.Optimize(tolA, tolB, flip);
    const Verts out = VertsOf(q);
    EXPECT_GE(out.size(), std::min<size_t>(3, v.size()));
    EXPECT_EQ(out, OptimizeReference(v, tolA, tolB, flip)) << "outline " << i;
    // Survivors are an in-order subsequence of the input, bit for bit.
    size_t at = 0;
    for (const Vec2& s : out) {
      while (at < v.size() && !(v[at] == s)) ++at;
      EXPECT_LT(at++, v.size()) << "outline " << i << " moved a vertex";
    }
  }
}

}  // namespace
