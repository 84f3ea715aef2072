#include "system/math/bounds.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

#include "tests/math/math_test_util.h"

namespace {

using Yr::AABB;
using Yr::Point;
using Yr::Sphere;
using Yr::Vec3;
using Yr::Vec4;
using YrMathTest::ExpectNear;

TEST(AABBTest, CornersFollowTheFixedOrder) {
  const AABB box(Vec3(-1, -2, -3), Vec3(4, 5, 6));
  // x, y, z of each corner: 'M' max, 'm' min.
  const char* order[8] = {"MMM", "mMM", "MMm", "mMm", "MmM", "mmM", "Mmm", "mmm"};
  Vec3 corners[8];
  Vec4 corners4[8];
  box.Build8Verts(corners);
  box.Build8Verts(corners4);
  for (int i = 0; i < 8; ++i) {
    for (int axis = 0; axis < 3; ++axis) {
      const float want = order[i][axis] == 'M' ? box.max[axis] : box.min[axis];
      EXPECT_EQ(corners[i][axis], want) << "corner " << i << " axis " << axis;
      EXPECT_EQ(corners4[i][axis], want) << "corner " << i << " axis " << axis;
    }
    EXPECT_EQ(corners4[i].w, 1.0f);
  }
  EXPECT_STREQ(AABB::GetRTTI(), "AABB");
}

TEST(AABBTest, ContainmentIsHalfOpenAndSharedFacesDoNotCollide) {
  const AABB box(Vec3(0, 0, 0), Vec3(1, 2, 3));
  struct Case {
    Vec3 p;
    bool inside, insideGrown;
  } cases[] = {
      {{0.5f, 1, 1}, true, true},     {{0, 0, 0}, true, true},     // min corner counts
      {{1, 1, 1}, false, true},       {{0.5f, 2, 1}, false, true},  // a max face does not
      {{0.5f, 1, 3}, false, true},    {{-0.05f, 1, 1}, false, true},
      {{1.1f, 1, 1}, false, false},   {{0.5f, -0.2f, 1}, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(box.IsPointInside(c.p), c.inside) << c.p.x << "," << c.p.y << "," << c.p.z;
    EXPECT_EQ(box.IsInside(c.p, 0.1f), c.insideGrown) << c.p.x << "," << c.p.y << "," << c.p.z;
  }
  struct Pair {
    AABB other;
    bool collides;
  } pairs[] = {
      {AABB(Vec3(1, 0, 0), Vec3(2, 2, 3)), false},         // shares the x = 1 face
      {AABB(Vec3(0, 2, 0), Vec3(1, 4, 3)), false},         // shares the y = 2 face
      {AABB(Vec3(0.99f, 1.99f, 2.99f), Vec3(5, 5, 5)), true},
      {AABB(Vec3(0.2f, 0.2f, 0.2f), Vec3(0.3f, 0.3f, 0.3f)), true},  // inside
      {AABB(Vec3(-3, -3, -3), Vec3(-1, 5, 5)), false},
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(box.TestCollision(p.other), p.collides);
    EXPECT_EQ(p.other.TestCollision(box), p.collides);
  }
  AABB combined = box;
  combined.Combine(AABB(Vec3(-1, 1, 1), Vec3(0.5f, 7, 2)));
  EXPECT_EQ(combined.min, Vec3(-1, 0, 0));
  EXPECT_EQ(combined.max, Vec3(1, 7, 3));
  const Sphere outside = AABB(Vec3(0, 0, 0), Vec3(2, 4, 6)).GetOutsideSphere();
  EXPECT_EQ(outside.center, Vec3(1, 2, 3));
  EXPECT_NEAR(outside.radius, 3 * std::sqrt(3.0f), 1e-5f) << "largest half-size times √3";
  EXPECT_EQ(box.GetExtents(), Vec3(0.5f, 1, 1.5f));
}

TEST(AABBTest, BoxFromPointsIsTheTightestOne) {
  const AABB none(nullptr, 0);
  EXPECT_EQ(none.min, Vec3(0, 0, 0));
  EXPECT_EQ(none.max, Vec3(0, 0, 0));
  YrMathTest::Random random(31);
  for (int round = 0; round < 50; ++round) {
    std::vector<Vec3> pts(1 + random.Next() % 40);
    for (Vec3& p : pts) p = random.InBox(100);
    AABB box;
    box.Set(pts.data(), static_cast<int>(pts.size()));
    for (int axis = 0; axis < 3; ++axis) {
      bool minHit = false, maxHit = false;
      for (const Vec3& p : pts) {
        EXPECT_LE(box.min[axis], p[axis]);
        EXPECT_GE(box.max[axis], p[axis]);
        minHit |= p[axis] == box.min[axis];
        maxHit |= p[axis] == box.max[axis];
      }
      EXPECT_TRUE(minHit && maxHit) << "each face touches a point";
    }
  }
}

TEST(AABBTest, CastRayFindsTheEntryOfTheSegment) {
  const AABB box(Vec3(0, 0, 0), Vec3(2, 2, 2));
  struct Case {
    const char* what;
    Vec3 start, end;
    float e;
    bool hit;
    float t;
  } cases[] = {
      {"starts inside", {1, 1, 1}, {5, 1, 1}, 0, true, 0},
      {"starts inside, not moving", {1, 1, 1}, {1, 1, 1}, 0, true, 0},
      {"enters through x = 0", {-2, 1, 1}, {2, 1, 1}, 0, true, 0.5f},
      {"enters through x = 2 backwards", {6, 1, 1}, {0, 1, 1}, 0, true, 4.0f / 6.0f},
      {"ends short of the box", {-4, 1, 1}, {-1, 1, 1}, 0, false, 0},
      {"moves away", {-1, 1, 1}, {-3, 1, 1}, 0, false, 0},
      {"parallel outside the y slab", {-2, 3, 1}, {4, 3, 1}, 0, false, 0},
      {"parallel inside the slabs", {-2, 1, 1}, {4, 1, 1}, 0, true, 1.0f / 3.0f},
      {"just outside, within e", {-0.05f, 1, 1}, {-3, 1, 1}, 0.1f, true, 0},
      {"grown box entered", {-1.1f, 1, 1}, {0.9f, 1, 1}, 0.1f, true, 0.5f},
      {"passes beside", {-2, -1, 1}, {4, 0, 1}, 0, false, 0},
      {"grazes an edge", {-2, -1, 1}, {4, 0.5f, 1}, 0, true, 2.0f / 3.0f},
      {"diagonal into a corner", {-1, -1, -1}, {1, 1, 1}, 0, true, 0.5f},
  };
  for (const Case& c : cases) {
    float t = -7;
    EXPECT_EQ(box.CastRay(c.start, c.end, t, c.e), c.hit) << c.what;
    if (c.hit) {
      EXPECT_NEAR(t, c.t, 1e-6f) << c.what;
    }
  }
}

TEST(AABBTest, CastRayAgreesWithSamplingTheSegment) {
  YrMathTest::Random random(32);
  const AABB box(Vec3(-1, -2, -0.5f), Vec3(3, 1, 2));
  constexpr int kSamples = 400;
  for (int round = 0; round < 2000; ++round) {
    const Vec3 start = random.InBox(6), end = random.InBox(6);
    float firstInside = -1;
    for (int i = 0; i <= kSamples; ++i) {
      const float s = float(i) / kSamples;
      if (box.IsInside(start + (end - start) * s, 0)) {
        firstInside = s;
        break;
      }
    }
    float t = -1;
    const bool hit = box.CastRay(start, end, t, 0);
    if (firstInside >= 0) {
      ASSERT_TRUE(hit) << "a sample inside the box was missed, round " << round;
      EXPECT_LE(t, firstInside + 1e-5f);
      EXPECT_GE(t, firstInside - 1.0f / kSamples - 1e-5f);
    }
    if (hit) {
      EXPECT_TRUE(box.IsInside(start + (end - start) * t, 1e-3f)) << "t is on the box, round " << round;
    }
  }
}

TEST(SphereTest, MergeEnclosesBothAndKeepsTheLargerWhenNested) {
  const Sphere big(Vec3(0, 0, 0), 5), small(Vec3(1, 1, 0), 1), sameCentre(Vec3(0, 0, 0), 2);
  struct Case {
    Sphere a, b, want;
  } cases[] = {
      {big, small, big}, {small, big, big}, {big, sameCentre, big}, {sameCentre, big, big},
      {Sphere(Vec3(0, 0, 0), 1), Sphere(Vec3(4, 0, 0), 1), Sphere(Vec3(2, 0, 0), 3)},
      {Sphere(Vec3(0, 0, 0), 1), Sphere(Vec3(0, 4, 0), 3), Sphere(Vec3(0, 3, 0), 4)},
  };
  for (const Case& c : cases) {
    const Sphere m = c.a.Merge(c.b);
    ExpectNear(m.center, c.want.center, 1e-6f);
    EXPECT_FLOAT_EQ(m.radius, c.want.radius);
  }
  YrMathTest::Random random(33);
  for (int i = 0; i < 500; ++i) {
    const Sphere a(random.InBox(10), random.Uniform(0, 5)), b(random.InBox(10), random.Uniform(0, 5));
    const Sphere m = a.Merge(b);
    for (const Sphere& s : {a, b})
      EXPECT_LE((s.center - m.center).Length() + s.radius, m.radius * (1 + 1e-5f) + 1e-5f);
    EXPECT_TRUE(m.IntersectsWith(a) && m.IntersectsWith(b));
  }
  EXPECT_TRUE(Sphere(Vec3(0, 0, 0), 1).IntersectsWith(Sphere(Vec3(3, 0, 0), 2))) << "touching";
  EXPECT_FALSE(Sphere(Vec3(0, 0, 0), 1).IntersectsWith(Sphere(Vec3(3.01f, 0, 0), 2)));
}

TEST(SphereTest, BoundingSphereEnclosesEveryPoint) {
  Sphere s;
  const Vec3 one(3, -2, 7);
  s.CalculateBoundingSphere(1, &one);
  EXPECT_EQ(s.center, one);
  EXPECT_EQ(s.radius, 0.0f);
  const Vec3 two[] = {{1, 1, 1}, {1, 5, 4}};
  s.CalculateBoundingSphere(2, two);
  ExpectNear(s.center, Vec3(1, 3, 2.5f), 1e-6f);
  EXPECT_FLOAT_EQ(s.radius, 2.5f);
  s.CalculateBoundingSphere(0, nullptr);
  EXPECT_EQ(s.center, Vec3(0, 0, 0));
  EXPECT_EQ(s.radius, 0.0f);
  YrMathTest::Random random(34);
  for (int round = 0; round < 100; ++round) {
    std::vector<Vec3> pts(1 + random.Next() % 300);
    const Vec3 offset = random.InBox(1000);
    for (Vec3& p : pts) p = offset + random.InBox(random.Uniform(0.1f, 50));
    s.CalculateBoundingSphere(static_cast<unsigned>(pts.size()), pts.data());
    float farthest = 0;
    for (const Vec3& p : pts) farthest = std::fmax(farthest, (p - s.center).Length());
    EXPECT_LE(farthest, s.radius * (1 + 1e-5f) + 1e-3f) << "round " << round;
    // A single pass is near the smallest: never more than the box's outside sphere.
    const AABB box(pts.data(), static_cast<int>(pts.size()));
    EXPECT_LE(s.radius, (box.max - box.min).Length() * 0.5f * 1.2f + 1e-3f);
  }
}

TEST(SphereTest, InscribedBoxPointsAndTransform) {
  const Sphere s(Vec3(1, 2, 3), 2);
  Vec3 pts[8];
  s.GenerateAABBPoints(pts);
  const float h = 2 * 0.8660254f;
  for (int i = 0; i < 8; ++i)
    ExpectNear(pts[i], Vec3(1 + (i & 4 ? h : -h), 2 + (i & 2 ? h : -h), 3 + (i & 1 ? h : -h)), 1e-6f);
  Yr::Matrix43 move;
  move.MakeScale(Vec3(1, 1, 1));
  move(0, 3) = 10;
  const Sphere moved = s.TransformNoScale(move);
  EXPECT_EQ(moved.center, Vec3(11, 2, 3));
  EXPECT_EQ(moved.radius, 2.0f);
}

TEST(PointTest, DistanceIsExactForFarApartPoints) {
  struct Case {
    Point a, b;
    double distance;
  } cases[] = {
      {{0, 0}, {3, 4}, 5},
      {{-3, 7}, {-3, 7}, 0},
      {{INT32_MIN, 0}, {INT32_MAX, 0}, 4294967295.0},
      {{INT32_MIN, INT32_MIN}, {INT32_MAX, INT32_MAX}, 4294967295.0 * std::sqrt(2.0)},
      {{50000, 0}, {-50000, 0}, 100000},  // the square alone overflows 32 bits
  };
  for (const Case& c : cases) EXPECT_NEAR(c.a.Distance(c.b), c.distance, c.distance * 1e-7 + 1e-6);
}

}  // namespace
