// Segment2D contact, intersection and distance; Rect against brute-force cell sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include "system/math/rect.h"
#include "system/math/segment2d.h"
#include "tests/math/math_test_util.h"

namespace {

using Yr::Rect;
using Yr::Segment2D;
using Yr::Vec2;

TEST(Segment2DTest, ContactOfKnownPairs) {
  const struct {
    const char* name;
    Segment2D a, b;
    int contact;
  } cases[] = {
      {"crossing diagonals", {{0, 0}, {1, 1}}, {{0, 1}, {1, 0}}, 1},
      {"meeting at an end point", {{0, 0}, {1, 1}}, {{1, 1}, {2, 0}}, -1},
      {"end point on the other's middle", {{0, 0}, {2, 0}}, {{1, 0}, {1, 5}}, -1},
      {"parallel apart", {{0, 0}, {1, 0}}, {{0, 1}, {1, 1}}, 0},
      {"apart, lines crossing", {{0, 0}, {1, 0}}, {{2, -1}, {2, 1}}, 0},
      {"collinear apart before", {{0, 0}, {1, 0}}, {{-3, 0}, {-2, 0}}, 0},
      {"collinear apart beyond", {{0, 0}, {1, 0}}, {{2, 0}, {3, 0}}, 0},
      {"collinear inside", {{0, 0}, {4, 0}}, {{1, 0}, {2, 0}}, -1},
      {"collinear end to end", {{0, 0}, {1, 0}}, {{1, 0}, {2, 0}}, -1},
      {"collinear through the start", {{0, 0}, {4, 0}}, {{-1, 0}, {2, 0}}, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a.Intersects(c.b, 1e-6f), c.contact) << c.name;
    EXPECT_EQ(c.a.GetDistanceSquared(c.b) == 0.0f, c.contact != 0) << c.name;
  }
}

TEST(Segment2DTest, IntersectionParametersAgreeWithContact) {
  float s = 0, t = 0;
  EXPECT_FALSE(Segment2D({0, 0}, {1, 0}).GetIntersection(Segment2D({0, 1}, {5, 1}), s, t));
  ASSERT_TRUE(Segment2D({0, 0}, {4, 0}).GetIntersection(Segment2D({1, -1}, {1, 1}), s, t));
  EXPECT_FLOAT_EQ(s, 0.25f);
  EXPECT_FLOAT_EQ(t, 0.5f);
  ASSERT_TRUE(Segment2D({0, 0}, {1, 0}).GetIntersection(Segment2D({3, -1}, {3, 1}), s, t));
  EXPECT_FLOAT_EQ(s, 3.0f);  // not limited to the segments

  YrMathTest::Random random(5);
  for (int i = 0; i < 5000; ++i) {
    const Segment2D a({random.Uniform(-5, 5), random.Uniform(-5, 5)}, {random.Uniform(-5, 5), random.Uniform(-5, 5)});
    const Segment2D b({random.Uniform(-5, 5), random.Uniform(-5, 5)}, {random.Uniform(-5, 5), random.Uniform(-5, 5)});
    if (!a.GetIntersection(b, s, t)) continue;
    const Vec2 pa = a.start + (a.end - a.start) * s, pb = b.start + (b.end - b.start) * t;
    EXPECT_LT((pa - pb).Length(), 1e-3f * (1 + std::fabs(s) + std::fabs(t)));
    const bool clearlyOn = s > 0.01f && s < 0.99f && t > 0.01f && t < 0.99f;
    const bool clearlyOff = s < -0.01f || s > 1.01f || t < -0.01f || t > 1.01f;
    if (clearlyOn) {
      EXPECT_EQ(a.Intersects(b, 1e-6f), 1) << i;
    }
    if (clearlyOff) {
      EXPECT_EQ(a.Intersects(b, 1e-6f), 0) << i;
    }
  }
}

// Squared distance from p to the segment by the clamped projection, in double.
double ReferenceDistanceSq(const Segment2D& g, const Vec2& p) {
  const double dx = g.end.x - g.start.x, dy = g.end.y - g.start.y;
  const double l2 = dx * dx + dy * dy;
  double u = l2 > 0 ? ((p.x - g.start.x) * dx + (p.y - g.start.y) * dy) / l2 : 0;
  u = std::clamp(u, 0.0, 1.0);
  const double ex = g.start.x + u * dx - p.x, ey = g.start.y + u * dy - p.y;
  return ex * ex + ey * ey;
}

TEST(Segment2DTest, DistancesMatchTheClampedProjection) {
  EXPECT_FLOAT_EQ(Segment2D({1, 1}, {1, 1}).GetDistanceSquared(Vec2(4, 5)), 25.0f);  // no length
  EXPECT_FLOAT_EQ(Segment2D({0, 0}, {2, 0}).GetDistanceSquared(Vec2(1, 3)), 9.0f);
  EXPECT_FLOAT_EQ(Segment2D({0, 0}, {2, 0}).GetDistanceSquared(Vec2(-3, 4)), 25.0f);
  EXPECT_FLOAT_EQ(Segment2D({0, 0}, {2, 0}).GetDistanceSquared(Vec2(5, -4)), 25.0f);

  YrMathTest::Random random(6);
  for (int i = 0; i < 3000; ++i) {
    const Segment2D a({random.Uniform(-5, 5), random.Uniform(-5, 5)}, {random.Uniform(-5, 5), random.Uniform(-5, 5)});
    const Vec2 p(random.Uniform(-8, 8), random.Uniform(-8, 8));
    const double expected = ReferenceDistanceSq(a, p);
    EXPECT_NEAR(a.GetDistanceSquared(p), expected, 1e-4 * (1 + expected)) << i;

    // Between segments: the least distance over points sampled along both bounds ours from
    // above, and sampling finely enough bounds it from below.
    const Segment2D b({random.Uniform(-5, 5), random.Uniform(-5, 5)}, {random.Uniform(-5, 5), random.Uniform(-5, 5)});
    double sampled = 1e30;
    constexpr int kSteps = 400;
    for (int k = 0; k <= kSteps; ++k) {
      const float u = float(k) / kSteps;
      sampled = std::min(sampled, ReferenceDistanceSq(b, a.start + (a.end - a.start) * u));
      sampled = std::min(sampled, ReferenceDistanceSq(a, b.start + (b.end - b.start) * u));
    }
    const float ours = a.GetDistanceSquared(b);
    EXPECT_LE(ours, sampled + 1e-4) << i;
    const double step = std::max((a.end - a.start).Length(), (b.end - b.start).Length()) / kSteps;
    EXPECT_GE(std::sqrt(double(ours)), std::sqrt(sampled) - step) << i;
  }
}

TEST(RectTest, KnownOverlapsClipsCombinesAndNormals) {
  EXPECT_FALSE((Rect{0, 0, 10, 10}.IsOverlap({10, 0, 5, 5})));
  EXPECT_TRUE((Rect{0, 0, 10, 10}.IsOverlap({9, 9, 5, 5})));
  EXPECT_FALSE((Rect{5, 0, 0, 10}.IsOverlap({0, 0, 10, 10})));  // no columns at all

  const auto same = [](const Rect& a, const Rect& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
  };
  Rect r{0, 0, 10, 10};
  EXPECT_TRUE(same(r.Clip({20, 2, 5, 5}), {0, 2, 0, 5}));
  r = {0, 0, 10, 10};
  EXPECT_TRUE(same(r.Clip({4, 20, 2, 2}), {4, 0, 2, 0}));
  r = {0, 0, 10, 10};
  EXPECT_TRUE(same(r.Clip({10, 0, 5, 5}), {10, 0, 0, 5}));  // touching: zero width, x kept
  r = {0, 0, 10, 10};
  EXPECT_TRUE(same(r.Combine({20, -5, 2, 2}), {0, -5, 22, 15}));
  r = {3, 3, 0, 4};
  EXPECT_TRUE(same(r.Combine({7, 0, 2, -1}), {7, 3, 2, 4}));  // each axis on its own
  r = {5, 6, -3, -4};
  EXPECT_TRUE(same(r.Normalize(), {2, 2, 3, 4}));
  r = {INT32_MAX - 5, 0, 100, 1};  // last columns beyond 32 bits
  EXPECT_TRUE(same(r.Clip({INT32_MAX - 3, 0, 100, 1}), {INT32_MAX - 3, 0, 98, 1}));
}

using Cells = std::set<std::pair<int, int>>;

Cells CellsOf(const Rect& r) {
  Cells cells;
  for (int x = r.x; x < r.x + r.width; ++x)
    for (int y = r.y; y < r.y + r.height; ++y) cells.insert({x, y});
  return cells;
}

TEST(RectTest, OperationsAgreeWithCellSets) {
  YrMathTest::Random random(7);
  for (int i = 0; i < 4000; ++i) {
    const auto any = [&] {
      return Rect{int(random.Next() % 12) - 6, int(random.Next() % 12) - 6, int(random.Next() % 9) - 2,
                  int(random.Next() % 9) - 2};
    };
    const Rect a = any(), b = any();
    const Cells ca = CellsOf(a), cb = CellsOf(b);
    Cells common;
    std::set_intersection(ca.begin(), ca.end(), cb.begin(), cb.end(), std::inserter(common, common.end()));
    EXPECT_EQ(a.IsOverlap(b), !common.empty()) << i;
    EXPECT_EQ(b.IsOverlap(a), !common.empty()) << i;
    Rect clipped = a;
    clipped.Clip(b);
    EXPECT_EQ(CellsOf(clipped), common) << i;
    EXPECT_GE(clipped.width, 0);
    EXPECT_GE(clipped.height, 0);

    if (a.width > 0 && a.height > 0 && b.width > 0 && b.height > 0) {
      Rect both = a;
      both.Combine(b);
      const Cells cu = CellsOf(both);
      EXPECT_TRUE(std::includes(cu.begin(), cu.end(), ca.begin(), ca.end())) << i;
      EXPECT_TRUE(std::includes(cu.begin(), cu.end(), cb.begin(), cb.end())) << i;
      EXPECT_EQ(both.x, std::min(a.x, b.x));
      EXPECT_EQ(both.x + both.width, std::max(a.x + a.width, b.x + b.width));
    }
    Rect flipped{a.x + a.width, a.y + a.height, -a.width, -a.height};
    if (a.width >= 0 && a.height >= 0) {
      EXPECT_EQ(CellsOf(flipped.Normalize()), ca) << i;
    }
  }
}

}  // namespace
