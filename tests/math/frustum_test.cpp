#include "system/math/frustum.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/math/math_test_util.h"

namespace {

using Yr::AABB;
using Yr::Frustum;
using Yr::Matrix4;
using Yr::Plane;
using Yr::Sphere;
using Yr::Vec3;

// A camera at (0, 0, 10) looking at the origin, 90° vertical field, square, depth 1 to 100.
Frustum Camera() {
  Matrix4 proj, view;
  proj.MakePerspectiveRH(3.14159265f / 2, 1.0f, 1.0f, 100.0f);
  view.MakeViewRH(Vec3(0, 0, 10), Vec3(0, 0, 0), Vec3(0, 1, 0));
  Frustum f;
  f.Set(proj, view);
  return f;
}

TEST(FrustumTest, SetBuildsSixUnitPlanesFacingInwards) {
  const Frustum f = Camera();
  ASSERT_EQ(f.GetNumPlanes(), 6);
  struct Expected {
    Vec3 normal;
    float d;
  } planes[] = {
      {{0, 0, -1}, 9},                                   // near: z = 9
      {{std::sqrt(0.5f), 0, -std::sqrt(0.5f)}, 10 * std::sqrt(0.5f)},   // left
      {{-std::sqrt(0.5f), 0, -std::sqrt(0.5f)}, 10 * std::sqrt(0.5f)},  // right
      {{0, 0, 1}, 90},                                   // far: z = −90
      {{0, std::sqrt(0.5f), -std::sqrt(0.5f)}, 10 * std::sqrt(0.5f)},   // bottom
      {{0, -std::sqrt(0.5f), -std::sqrt(0.5f)}, 10 * std::sqrt(0.5f)},  // top
  };
  for (int i = 0; i < 6; ++i) {
    const Plane& p = f.GetPlane(i);
    YrMathTest::ExpectNear(p.Normal(), planes[i].normal, 1e-5f, "normal");
    EXPECT_NEAR(p.d, planes[i].d, 1e-3f) << "plane " << i;
    EXPECT_EQ(f.GetFlags(i), (p.a > 0 ? 4 : 0) + (p.b > 0 ? 2 : 0) + (p.c > 0 ? 1 : 0)) << "plane " << i;
    EXPECT_GT(p.DistanceTo(Vec3(0, 0, 0)), 0.0f) << "the origin is inside, plane " << i;
  }
  EXPECT_EQ(f.GetFlags(Frustum::kFar), 1);
  EXPECT_EQ(f.GetFlags(Frustum::kLeft), 4);
}

TEST(FrustumTest, VisibilityOfSpheresAndBoxes) {
  const Frustum f = Camera();
  struct Case {
    const char* what;
    Sphere s;
    bool visible, fully;
  } cases[] = {
      {"middle of the view", Sphere(Vec3(0, 0, -20), 1), true, true},
      {"behind the camera", Sphere(Vec3(0, 0, 15), 2), false, false},
      {"around the camera", Sphere(Vec3(0, 0, 12), 3), true, false},
      {"beyond the far plane", Sphere(Vec3(0, 0, -95), 2), false, false},
      {"crossing the left plane", Sphere(Vec3(-30, 0, -20), 2), true, false},
      {"left of the view", Sphere(Vec3(-50, 0, -20), 2), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(f.IsVisible(c.s), c.visible) << c.what;
    EXPECT_EQ(f.IsFullyVisible(c.s), c.fully) << c.what;
    const AABB box(c.s.center - Vec3(1, 1, 1) * c.s.radius, c.s.center + Vec3(1, 1, 1) * c.s.radius);
    if (!c.visible) {
      EXPECT_FALSE(f.IsVisible(box)) << c.what;
    }
    if (c.fully) {
      EXPECT_TRUE(f.IsVisible(box)) << c.what;
    }
  }
  // A box whose furthest corner lies exactly on a plane is culled; a hair inside it is not.
  const Plane x0(1, 0, 0, 0);
  Frustum half;
  half.SetPlanes(&x0, 1);
  EXPECT_FALSE(half.IsVisible(AABB(Vec3(-2, 0, 0), Vec3(0, 1, 1))));
  EXPECT_TRUE(half.IsVisible(AABB(Vec3(-2, 0, 0), Vec3(1e-6f, 1, 1))));
  EXPECT_FALSE(half.IsVisible(Sphere(Vec3(-2, 0, 0), 1.5f)));
  EXPECT_TRUE(half.IsVisible(Sphere(Vec3(-2, 0, 0), 2.0f)));
  // No planes: everything is seen.
  const Frustum none;
  EXPECT_TRUE(none.IsVisible(Sphere(Vec3(1e9f, 0, 0), 0)));
  EXPECT_TRUE(none.IsFullyVisible(Sphere(Vec3(0, 0, 0), 1e9f)));
  EXPECT_TRUE(none.IsVisible(AABB(Vec3(5, 5, 5), Vec3(6, 6, 6))));
  Plane many[Frustum::kMaxPlanes + 3];
  for (Plane& p : many) p = x0;
  half.SetPlanes(many, Frustum::kMaxPlanes + 3);
  EXPECT_EQ(half.GetNumPlanes(), +Frustum::kMaxPlanes);
}

TEST(FrustumTest, CulledBoxesLieWhollyBehindAPlane) {
  const Frustum f = Camera();
  YrMathTest::Random random(51);
  int culled = 0;
  for (int i = 0; i < 3000; ++i) {
    const Vec3 c = random.InBox(120), h(random.Uniform(0, 10), random.Uniform(0, 10), random.Uniform(0, 10));
    const AABB box(c - h, c + h);
    Vec3 corners[8];
    box.Build8Verts(corners);
    bool behindOne = false;
    for (int p = 0; p < f.GetNumPlanes(); ++p) {
      bool allBehind = true;
      for (const Vec3& v : corners) allBehind &= f.GetPlane(p).DistanceTo(v) <= 0;
      behindOne |= allBehind;
    }
    EXPECT_EQ(f.IsVisible(box), !behindOne) << "box at " << c.x << "," << c.y << "," << c.z;
    culled += behindOne;
    const Sphere s(c, h.x);
    bool sphereBehind = false;
    for (int p = 0; p < f.GetNumPlanes(); ++p) sphereBehind |= f.GetPlane(p).DistanceTo(c) < -h.x;
    EXPECT_EQ(f.IsVisible(s), !sphereBehind);
  }
  EXPECT_GT(culled, 1000) << "the sample exercises culling";
}

}  // namespace
