#include "system/math/vector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "system/math/math_const.h"
#include "tests/math/math_test_util.h"

namespace {

using Yr::Vec2;
using Yr::Vec3;
using Yr::Vec4;
using YrMathTest::ExpectNear;

constexpr float kPi = 3.14159265358979f;

TEST(ConstantsTest, FifteenFieldsInOrder) {
  const float expected[] = {0.0f,       1.0f,       -1.0f,        1e-6f,   1e-12f,
                            0.005f,     3.14159274f, 6.28318548f, 1.57079637f, 2.0f,
                            57.2957764f, 0.0174532924f, 1000.0f, 3.40282347e38f, 1.17549435e-38f};
  static_assert(sizeof(expected) == sizeof(Yr::Constants));
  const float* fields = &Yr::gConst.zero;
  for (size_t i = 0; i < sizeof(expected) / sizeof(float); ++i) EXPECT_EQ(fields[i], expected[i]) << "field " << i;
  EXPECT_EQ(Yr::gConst.floatMax, std::numeric_limits<float>::max());
  EXPECT_EQ(Yr::gConst.floatMin, std::numeric_limits<float>::min());
  EXPECT_EQ(Yr::gConst.pi, std::numbers::pi_v<float>);
}

TEST(VectorTest, AnglesAreClampedAndSigned) {
  struct Case {
    Vec3 a, b;
    float angle;
  } cases[] = {
      {{1, 0, 0}, {3, 0, 0}, 0.0f},
      {{1, 0, 0}, {-2, 0, 0}, kPi},
      {{1, 0, 0}, {0, 5, 0}, kPi / 2},
      // Rounding of the normalised dot product lands beyond ±1 for these.
      {{0.1f, 0.2f, 0.3f}, {0.1f, 0.2f, 0.3f}, 0.0f},
      {{0.7f, 0.3f, 0.9f}, {-0.7f, -0.3f, -0.9f}, kPi},
      {{1e-3f, 7e-3f, 3e-3f}, {2e-3f, 14e-3f, 6e-3f}, 0.0f},
  };
  for (const Case& c : cases) {
    const float angle = c.a.Angle(c.b);
    EXPECT_FALSE(std::isnan(angle));
    EXPECT_NEAR(angle, c.angle, 1e-3f) << c.a.x << "," << c.a.y << "," << c.a.z;
  }
  struct Signed {
    Vec3 v;
    float angle;
  } signedCases[] = {
      {{0, -1, 0}, -kPi / 2}, {{-1, 0, 0}, kPi},         {{1, 0, 0}, 0.0f},
      {{1, 1, 0}, kPi / 4},   {{1, -1, 0}, -kPi / 4},    {{0, 0, 1}, kPi / 2},  // z counts in the length
      {{3, 0, 4}, std::acos(0.6f)},
  };
  for (const Signed& c : signedCases) EXPECT_NEAR(c.v.Angle(), c.angle, 1e-6f) << c.v.x << "," << c.v.y;
  // A zero vector has no direction: the clamp turns its NaN cosine into angle 0.
  EXPECT_EQ(Vec3(0, 0, 0).Angle(Vec3(1, 0, 0)), 0.0f);
  EXPECT_EQ(Vec3(0, 0, 0).Angle(), 0.0f);
}

TEST(VectorTest, RotationsFollowTheRightHand) {
  const float a = kPi / 2;
  struct Case {
    Vec3 got, want;
  } cases[] = {
      {Yr::RotateX({0, 1, 0}, a), {0, 0, 1}},
      {Yr::RotateX({0, 0, 1}, a), {0, -1, 0}},
      {Yr::RotateX({5, 0, 0}, a), {5, 0, 0}},
      {Yr::RotateZ({1, 0, 0}, a), {0, 1, 0}},
      {Yr::RotateZ({0, 1, 7}, a), {-1, 0, 7}},
      {Yr::RotateZ({1, 0, 0}, -a), {0, -1, 0}},
  };
  for (const Case& c : cases) ExpectNear(c.got, c.want, 1e-6f);
  const Vec2 r = Yr::Rotate({1, 0}, a);
  EXPECT_NEAR(r.x, 0.0f, 1e-6f);
  EXPECT_NEAR(r.y, 1.0f, 1e-6f);
  EXPECT_NEAR(Yr::Rotate({3, 4}, 1.234f).Length(), 5.0f, 1e-5f);
}

TEST(VectorTest, LinesGiveDistanceAndUnclampedParameter) {
  const Vec3 a(1, 1, 0), b(3, 1, 0);
  struct Case {
    Vec3 p;
    float t, dist;
    Vec3 nearest;
  } cases[] = {
      {{2, 4, 0}, 0.5f, 3.0f, {2, 1, 0}},
      {{-1, 1, 2}, -1.0f, 2.0f, {-1, 1, 0}},  // before a
      {{7, 0, 0}, 3.0f, 1.0f, {7, 1, 0}},     // beyond b
      {{1, 1, 0}, 0.0f, 0.0f, {1, 1, 0}},
  };
  for (const Case& c : cases) {
    float t = -99;
    const Vec3 n = c.p.NearestPointOnLine(a, b, t);
    EXPECT_FLOAT_EQ(t, c.t);
    ExpectNear(n, c.nearest, 1e-6f);
    EXPECT_NEAR(c.p.DistToLine(a, b), c.dist, 1e-6f);
  }
}

TEST(VectorTest, CurvesPassThroughTheirEndPoints) {
  YrMathTest::Random random(7);
  for (int i = 0; i < 200; ++i) {
    const Vec3 p0 = random.InBox(10), p1 = random.InBox(10), p2 = random.InBox(10), p3 = random.InBox(10);
    ExpectNear(Yr::Vec3CatmullRom(p0, p1, p2, p3, 0), p1, 1e-5f, "catmull-rom s=0");
    ExpectNear(Yr::Vec3CatmullRom(p0, p1, p2, p3, 1), p2, 1e-4f, "catmull-rom s=1");
    ExpectNear(Yr::Vec3Hermite(p0, p1, p2, p3, 0), p0, 1e-5f, "hermite s=0");
    ExpectNear(Yr::Vec3Hermite(p0, p1, p2, p3, 1), p2, 1e-5f, "hermite s=1");
    // Hermite leaves with its first tangent: a central difference at s = 0.
    const float h = 1e-2f;
    const Vec3 slope = (Yr::Vec3Hermite(p0, p1, p2, p3, h) - Yr::Vec3Hermite(p0, p1, p2, p3, -h)) / (2 * h);
    ExpectNear(slope, p1, 2e-2f, "hermite tangent");
    // Catmull-Rom's tangent at p1 is (p2 − p0)/2.
    const Vec3 crSlope =
        (Yr::Vec3CatmullRom(p0, p1, p2, p3, h) - Yr::Vec3CatmullRom(p0, p1, p2, p3, -h)) / (2 * h);
    ExpectNear(crSlope, (p2 - p0) * 0.5f, 2e-2f, "catmull-rom tangent");
    ExpectNear(Yr::Vec3BaryCentric(p0, p1, p2, 0, 0), p0, 1e-6f, "barycentric a");
    ExpectNear(Yr::Vec3BaryCentric(p0, p1, p2, 1, 0), p1, 1e-6f, "barycentric b");
    ExpectNear(Yr::Vec3BaryCentric(p0, p1, p2, 0, 1), p2, 1e-6f, "barycentric c");
  }
}

TEST(VectorTest, Vec4IsAlignedAndVec3DropsW) {
  Vec4 v[3];
  for (const Vec4& e : v) EXPECT_EQ(reinterpret_cast<uintptr_t>(&e) % 16, 0u);
  EXPECT_EQ(Vec4(1, 2, 3, 4) * 2.0f - Vec4(1, 1, 1, 1), Vec4(1, 3, 5, 7));
  EXPECT_EQ(Vec3(Vec4(1, 2, 3, 8)), Vec3(1, 2, 3)) << "no division by w";
}

}  // namespace
