#include "system/math/plane.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/math/math_test_util.h"

namespace {

using Yr::Matrix4;
using Yr::Plane;
using Yr::Ray;
using Yr::Sphere;
using Yr::Vec3;
using YrMathTest::ExpectNear;

TEST(PlaneTest, ThreePointsGiveAUnitNormalFacingTheCounterClockwiseSide) {
  const Plane ground(Vec3(0, 0, 0), Vec3(1, 0, 0), Vec3(0, 0, -1));
  ExpectNear(ground.Normal(), Vec3(0, 1, 0), 0);
  EXPECT_EQ(ground.d, 0.0f);
  YrMathTest::Random random(41);
  for (int i = 0; i < 300; ++i) {
    const Vec3 p0 = random.InBox(10), p1 = random.InBox(10), p2 = random.InBox(10);
    const Plane p(p0, p1, p2);
    EXPECT_NEAR(p.Normal().Length(), 1.0f, 1e-5f);
    for (const Vec3& v : {p0, p1, p2}) EXPECT_NEAR(p.DistanceTo(v), 0.0f, 1e-3f);
    const Vec3 front = (p0 + p1 + p2) * (1.0f / 3) + Yr::Cross(p1 - p0, p2 - p0);
    EXPECT_EQ(p.WhichSide(front), 1);
    // Mirroring flips the signed distance and keeps the foot point.
    const Vec3 q = random.InBox(10);
    EXPECT_NEAR(p.DistanceTo(p.MirrorPoint(q)), -p.DistanceTo(q), 1e-3f);
    ExpectNear(p.MirrorPoint(p.MirrorPoint(q)), q, 1e-3f);
  }
  // No tolerance on the side test.
  const Plane x1(1, 0, 0, -1);
  EXPECT_EQ(x1.WhichSide(Vec3(1, 5, 5)), 0);
  EXPECT_EQ(x1.WhichSide(Vec3(1 + 1.2e-7f, 5, 5)), 1);
  EXPECT_EQ(x1.WhichSide(Vec3(1 - 6e-8f, 5, 5)), -1);
}

TEST(PlaneTest, TwoPlanesMeetInALine) {
  Ray line(Vec3(9, 9, 9), Vec3(9, 9, 9));
  ASSERT_TRUE(Plane(1, 0, 0, -1).Intersect(Plane(0, 1, 0, -2), line));
  EXPECT_EQ(line.origin, Vec3(1, 2, 0));
  EXPECT_EQ(line.direction, Vec3(0, 0, 1));
  // Parallel and antiparallel planes leave the line alone.
  const Ray untouched = line;
  EXPECT_FALSE(Plane(0, 0, 1, 0).Intersect(Plane(0, 0, 1, -5), line));
  EXPECT_FALSE(Plane(0, 0, 1, 0).Intersect(Plane(0, 0, -1, 3), line));
  EXPECT_EQ(line.origin, untouched.origin);
  YrMathTest::Random random(42);
  for (int i = 0; i < 300; ++i) {
    const Plane a(random.InBox(5), random.InBox(5), random.InBox(5));
    const Plane b(random.InBox(5), random.InBox(5), random.InBox(5));
    if (std::fabs(Yr::Dot(a.Normal(), b.Normal())) > 0.99f) continue;
    ASSERT_TRUE(a.Intersect(b, line));
    EXPECT_NEAR(a.DistanceTo(line.origin), 0.0f, 1e-3f);
    EXPECT_NEAR(b.DistanceTo(line.origin), 0.0f, 1e-3f);
    EXPECT_NEAR(a.DistanceTo(line.origin + line.direction * 3), 0.0f, 1e-3f);
    EXPECT_NEAR(Yr::Dot(line.origin, line.direction), 0.0f, 1e-3f) << "nearest to the origin";
  }
}

TEST(PlaneTest, RaysAndSpheresCutThePlane) {
  const Plane y2(0, 1, 0, -2);
  struct RayCase {
    Ray ray;
    bool hit;
    Vec3 at;
  } rays[] = {
      {Ray(Vec3(0, 0, 0), Vec3(0, 1, 0)), true, {0, 2, 0}},
      {Ray(Vec3(1, 5, 1), Vec3(0, 1, 0)), true, {1, 2, 1}},  // behind the origin: a full line
      {Ray(Vec3(0, 0, 0), Vec3(1, 1, 0)), true, {2, 2, 0}},
      {Ray(Vec3(0, 0, 0), Vec3(1, 0, 0)), false, {7, 7, 7}},
      {Ray(Vec3(0, 0, 0), Vec3(1, 1e-7f, 0)), false, {7, 7, 7}},
  };
  for (const RayCase& c : rays) {
    Vec3 hit(7, 7, 7);
    EXPECT_EQ(y2.Intersect(c.ray, hit), c.hit);
    ExpectNear(hit, c.at, 1e-6f);
  }
  struct SphereCase {
    Sphere s;
    bool cuts;
    Vec3 centre;
    float radius;
  } spheres[] = {
      {Sphere(Vec3(1, 2, 3), 4), true, {1, 2, 3}, 4},
      {Sphere(Vec3(1, 5, 3), 5), true, {1, 2, 3}, 4},
      {Sphere(Vec3(1, -1, 3), 3), false, {1, 2, 3}, 0},  // touching only
      {Sphere(Vec3(1, 9, 3), 3), false, {1, 2, 3}, 0},
  };
  for (const SphereCase& c : spheres) {
    Vec3 centre;
    float radius = -1;
    EXPECT_EQ(y2.Intersect(c.s, centre, radius), c.cuts);
    ExpectNear(centre, c.centre, 1e-6f);
    EXPECT_FLOAT_EQ(radius, c.radius);
  }
}

TEST(PlaneTest, TransformByTheInverseTransposeMovesThePlaneWithItsPoints) {
  YrMathTest::Random random(43);
  for (int i = 0; i < 200; ++i) {
    const Vec3 p0 = random.InBox(5), p1 = random.InBox(5), p2 = random.InBox(5);
    const Plane plane(p0, p1, p2);
    Yr::Matrix43 t43;
    t43.MakeRotation(random.UnitQuaternion(), Yr::Vec4(random.InBox(20), 1));
    t43.MulDiagonal(Yr::Vec4(random.Uniform(0.5f, 2), random.Uniform(0.5f, 2), random.Uniform(0.5f, 2), 1));
    const Matrix4 t(t43);
    const Plane moved = plane.Transform(t.Inverse().Transpose());
    const float scale = moved.Normal().Length();
    for (const Vec3& p : {p0, p1, p2}) EXPECT_NEAR(moved.DistanceTo(t.TransformPoint(p)) / scale, 0.0f, 1e-3f);
  }
  // Component i is row i of the matrix dotted with (a, b, c, d).
  const Matrix4 m(1, 2, 3, 4, 0, 1, 0, 0, 0, 0, 2, 0, 1, 1, 1, 1);
  const Plane p = Plane(1, 2, 3, 4).Transform(m);
  EXPECT_EQ(p.a, 30.0f);
  EXPECT_EQ(p.b, 2.0f);
  EXPECT_EQ(p.c, 6.0f);
  EXPECT_EQ(p.d, 10.0f);
}

}  // namespace
