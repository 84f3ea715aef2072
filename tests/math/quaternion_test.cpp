#include "system/math/quaternion.h"

#include <gtest/gtest.h>

#include <cmath>

#include "system/math/math_const.h"
#include "system/math/matrix.h"
#include "tests/math/math_test_util.h"

namespace {

using Yr::Matrix4;
using Yr::Matrix43;
using Yr::Quaternion;
using Yr::Vec3;
using Yr::Vec4;
using YrMathTest::ExpectNear;

constexpr float kPi = 3.14159265358979f;

void ExpectNear(const Quaternion& a, const Quaternion& b, float tolerance, const char* what = "") {
  EXPECT_NEAR(a.x, b.x, tolerance) << what;
  EXPECT_NEAR(a.y, b.y, tolerance) << what;
  EXPECT_NEAR(a.z, b.z, tolerance) << what;
  EXPECT_NEAR(a.w, b.w, tolerance) << what;
}

// q and −q are the same rotation.
void ExpectSameRotation(const Quaternion& a, const Quaternion& b, float tolerance, const char* what = "") {
  ExpectNear(Yr::Dot(a, b) < 0 ? -a : a, b, tolerance, what);
}

bool HasNaN(const Quaternion& q) {
  return std::isnan(q.x) || std::isnan(q.y) || std::isnan(q.z) || std::isnan(q.w);
}

Vec3 Rotate(const Quaternion& q, const Vec3& v) { return Matrix43().MakeRotation(q).TransformVec(v); }

// The rotation angle of a unit quaternion, in [0, π].
float AngleOf(const Quaternion& q) { return 2.0f * std::atan2(q.Vector().Length(), std::fabs(q.w)); }

TEST(QuaternionTest, ConstructorsBuildTheStatedRotations) {
  YrMathTest::Random random(1);
  for (int i = 0; i < 200; ++i) {
    const float a = random.Uniform(-kPi, kPi), b = random.Uniform(-kPi, kPi), c = random.Uniform(-kPi, kPi);
    const Quaternion qx(Vec3(1, 0, 0), a), qy(Vec3(0, 1, 0), b), qz(Vec3(0, 0, 1), c);
    ExpectNear(Quaternion(a, b, c), qz * qy * qx, 1e-6f, "Euler: X, then Y, then Z");
    const Vec3 v = random.InBox(5);
    ExpectNear(Rotate(qz, v), Yr::RotateZ(v, c), 1e-4f, "axis-angle about Z");
    ExpectNear(Rotate(qx, v), Yr::RotateX(v, a), 1e-4f, "axis-angle about X");
    // (p·q) rotates by q first.
    ExpectNear(Rotate(qz * qx, v), Rotate(qz, Rotate(qx, v)), 1e-4f, "product order");
  }
  EXPECT_EQ(Quaternion(Vec3(1, 2, 3), 2.0f, 5.0f), Quaternion(2, 4, 6, 5));
  const Quaternion unnormalisedAxis(Vec3(0, 0, 2), kPi);
  EXPECT_NEAR(unnormalisedAxis.z, 2.0f, 1e-6f) << "the axis is not normalised";
  EXPECT_EQ(Quaternion(0, 0, 0, 0).Length(), 1.0f);
  EXPECT_EQ(Quaternion(0, 0, 0, 0).LengthSquared(), 0.0f);
  ExpectNear(Quaternion(0, 3, 0, 4).Normalise(), Quaternion(0, 0.6f, 0, 0.8f), 1e-7f);
}

TEST(QuaternionTest, ScaleRotationAndZAngleStayFinite) {
  Quaternion identity(0, 0, 0, 1);
  identity.ScaleRotation(3.0f);
  EXPECT_EQ(identity, Quaternion(0, 0, 0, 1));
  Quaternion y90(Vec3(0, 1, 0), kPi / 2);
  y90.ScaleRotation(0.5f);
  ExpectNear(y90, Quaternion(Vec3(0, 1, 0), kPi / 4), 1e-6f, "90° about Y halved");
  YrMathTest::Random random(2);
  for (int i = 0; i < 200; ++i) {
    const Vec3 axis = random.UnitVector();
    const float angle = random.Uniform(0.1f, 3.0f), k = random.Uniform(-1.5f, 1.5f);
    Quaternion q(axis, angle);
    q.ScaleRotation(k);
    ExpectSameRotation(q, Quaternion(axis, angle * k), 2e-4f, "angle scaled, axis kept");
  }
  // Clamped domains: a w just past ±1, a quaternion without a vector part, a NaN.
  const Quaternion clampCases[] = {{0, 0, 0, 1.0000001f}, {0, 0, 0, -1.0000001f}, {0, 0, 0, 0.5f},
                                   {0, 0, 0, 2.0f},       {0, 0, 0, std::nanf("")}};
  for (Quaternion q : clampCases) {
    EXPECT_FALSE(std::isnan(q.ZAxisOnlyRot()));
    q.ScaleRotation(0.5f);
    EXPECT_FALSE(HasNaN(q)) << q.x << " " << q.y << " " << q.z << " " << q.w;
  }
  struct ZCase {
    Quaternion q;
    float angle;
  } zCases[] = {
      {Quaternion(Vec3(0, 0, 1), -kPi / 6), -kPi / 6},
      {Quaternion(Vec3(0, 0, 1), 2.0f), 2.0f},
      {Quaternion(0.5f, 0.5f, 1e-6f, 0.7f), 0.0f},
      {Quaternion(0, 0, -1e-6f, 0.0f), 0.0f},
      {Quaternion(0, 0, 0.01f, 1.0000001f), 0.0f},
  };
  for (const ZCase& c : zCases) EXPECT_NEAR(c.q.ZAxisOnlyRot(), c.angle, 2e-6f);
}

TEST(QuaternionTest, LnInvertsExp) {
  EXPECT_EQ(Quaternion(0, 0, 0, 7).Exp(), Quaternion(0, 0, 0, 1));
  EXPECT_EQ(Quaternion(0, 0, 0, 1).Ln(), Quaternion(0, 0, 0, 0));
  EXPECT_EQ(Quaternion(0, 0, 0, 0).Ln(), Quaternion(0, 0, 0, 0));
  ExpectNear(Quaternion(0, 0, 0, -1).Ln().Exp(), Quaternion(0, 0, 0, -1), 1e-6f, "half turn");
  // A 90° turn about Z: ln is (0, 0, π/4, 0).
  ExpectNear(Quaternion(Vec3(0, 0, 1), kPi / 2).Ln(), Quaternion(0, 0, kPi / 4, 0), 1e-6f);
  YrMathTest::Random random(3);
  for (int i = 0; i < 500; ++i) {
    // Vector parts of length below π: exp is one to one there.
    const Vec3 v = random.UnitVector() * random.Uniform(0.0f, 3.1f);
    const Quaternion e = Quaternion(v, 1.0f, 0.0f).Exp();
    EXPECT_NEAR(e.LengthSquared(), 1.0f, 1e-5f);
    ExpectNear(e.Ln(), Quaternion(v, 1.0f, 0.0f), 2e-4f, "ln(exp(v)) = v");
    const Quaternion q = random.UnitQuaternion();
    ExpectNear(q.Ln().Exp(), q, 1e-5f, "exp(ln(q)) = q");
    // Other lengths keep the direction's angle and carry ln|q| as w.
    const float length = random.Uniform(0.1f, 10.0f);
    const Quaternion scaled = q * length;
    const Quaternion l = scaled.Ln();
    ExpectNear(l.Exp(), q, 2e-5f, "exp(ln(s·q)) = q");
    EXPECT_NEAR(l.w, std::fabs(length - 1.0f) < 1e-5f ? 0.0f : std::log(length), 1e-5f);
    EXPECT_FALSE(HasNaN((q * 1e-20f).Ln()));
  }
}

TEST(QuaternionTest, MatrixToQuatRoundTripsInBothBranches) {
  // 180° about X: trace −1, the diagonal branch with i = 0.
  const Matrix4 flipX(1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1);
  ExpectSameRotation(Yr::MatrixToQuat(flipX), Quaternion(1, 0, 0, 0), 0, "flip X");
  ExpectSameRotation(Yr::MatrixToQuat(flipX, 1.0f), Quaternion(1, 0, 0, 0), 0, "flip X, threshold");
  // Half turns about Y and Z pick i = 1 and i = 2.
  ExpectSameRotation(Yr::MatrixToQuat(Matrix4(Matrix43().MakeRotation(Quaternion(0, 1, 0, 0)))),
                     Quaternion(0, 1, 0, 0), 1e-7f, "flip Y");
  ExpectSameRotation(Yr::MatrixToQuat(Matrix4(Matrix43().MakeRotation(Quaternion(0, 0, 1, 0)))),
                     Quaternion(0, 0, 1, 0), 1e-7f, "flip Z");
  YrMathTest::Random random(4);
  for (int i = 0; i < 1000; ++i) {
    const Quaternion q = random.UnitQuaternion();
    const Matrix4 m(Matrix43().MakeRotation(q));
    ExpectSameRotation(Yr::MatrixToQuat(m), q, 1e-5f, "plain");
    // Threshold above the largest trace forces the diagonal branch; below the smallest, the trace one.
    ExpectSameRotation(Yr::MatrixToQuat(m, 5.0f), q, 1e-5f, "diagonal branch");
    ExpectSameRotation(Yr::MatrixToQuat(m, 1.0f), q, 1e-5f, "design threshold");
    if (m(0, 0) + m(1, 1) + m(2, 2) + 1 > 0.1f) ExpectSameRotation(Yr::MatrixToQuat(m, 0.0f), q, 1e-4f, "trace");
    EXPECT_NEAR(Yr::MatrixToQuat(m, 5.0f).LengthSquared(), 1.0f, 1e-6f);
  }
}

TEST(QuaternionTest, SlerpTakesTheShorterArcAtConstantSpeed) {
  YrMathTest::Random random(5);
  for (int i = 0; i < 500; ++i) {
    const Quaternion q1 = random.UnitQuaternion(), q2 = random.UnitQuaternion();
    const Quaternion nearer = Yr::Dot(q1, q2) < 0 ? -q2 : q2;
    EXPECT_EQ(Yr::QuaternionSlerp(q1, q2, 0), q1);
    ExpectNear(Yr::QuaternionSlerp(q1, q2, 1), nearer, 1e-5f, "t = 1 is the nearer sign of q2");
    const float t = random.Uniform(0, 1);
    const Quaternion mid = Yr::QuaternionSlerp(q1, q2, t);
    EXPECT_NEAR(mid.Length(), 1.0f, 1e-5f) << "slerp keeps unit length";
    const float total = AngleOf(q1.Conjugate() * nearer);
    EXPECT_NEAR(AngleOf(q1.Conjugate() * mid), t * total, 2e-3f) << "constant speed";
    // q2 = −q1 is the same rotation: nothing to interpolate.
    ExpectNear(Yr::QuaternionSlerp(q1, -q1, t), q1, 1e-6f, "antipodal");
  }
  // Nearly parallel inputs use the plain linear weights.
  const Quaternion a(Vec3(0, 0, 1), 0.0f), b(Vec3(0, 0, 1), 0.05f);
  ASSERT_GE(Yr::Dot(a, b), 0.999f);
  const Quaternion linear = a * 0.7f + b * 0.3f;
  EXPECT_EQ(Yr::QuaternionSlerp(a, b, 0.3f), linear);
  // Barycentric corners and the f + g = 0 guard.
  const Quaternion q1 = random.UnitQuaternion(), q2 = random.UnitQuaternion(), q3 = random.UnitQuaternion();
  EXPECT_EQ(Yr::QuaternionBaryCentric(q1, q2, q3, 0, 0), q1);
  ExpectSameRotation(Yr::QuaternionBaryCentric(q1, q2, q3, 1, 0), q2, 1e-5f, "f = 1");
  ExpectSameRotation(Yr::QuaternionBaryCentric(q1, q2, q3, 0, 1), q3, 1e-5f, "g = 1");
}

// Derivative at an end of a curve, second order: (3f(e) − 4f(e ∓ h) + f(e ∓ 2h)) / ±2h.
template <typename F>
Quaternion EndSlope(F curve, float end, float h) {
  const Quaternion f0 = curve(end), f1 = curve(end - h), f2 = curve(end - 2 * h);
  return (f0 * 3.0f - f1 * 4.0f + f2) * (1.0f / (2.0f * h));
}

TEST(QuaternionTest, SquadPassesThroughItsKeysWithAContinuousTangent) {
  YrMathTest::Random random(6);
  int plainSlerpKinks = 0;
  constexpr int kPaths = 200;
  for (int path = 0; path < kPaths; ++path) {
    // Five keys, each a turn of up to about 70° from the last, some stored as −q.
    Quaternion keys[5];
    keys[0] = random.UnitQuaternion();
    for (int k = 1; k < 5; ++k) {
      keys[k] = keys[k - 1] * Quaternion(random.UnitVector(), random.Uniform(0.2f, 1.2f));
      if (random.Next() % 3 == 0) keys[k] = -keys[k];
    }
    Quaternion a1, b1, c1, a2, b2, c2;
    Yr::QuaternionSquadSetup(a1, b1, c1, keys[0], keys[1], keys[2], keys[3]);
    Yr::QuaternionSquadSetup(a2, b2, c2, keys[1], keys[2], keys[3], keys[4]);
    auto first = [&](float t) { return Yr::QuaternionSquad(keys[1], a1, b1, c1, t); };
    auto second = [&](float t) { return Yr::QuaternionSquad(keys[2], a2, b2, c2, t); };
    ExpectNear(first(0), keys[1], 1e-6f, "starts at q1");
    ExpectSameRotation(first(1), keys[2], 1e-5f, "ends at q2");
    ExpectSameRotation(second(0), keys[2], 1e-6f, "next starts at q2");
    EXPECT_NEAR(first(0.37f).Length(), 1.0f, 1e-3f);

    // The slopes leaving and entering the joint, the second curve's sign matched to the first.
    const float h = 1e-2f;
    const float sign = Yr::Dot(first(1), second(0)) < 0 ? -1.0f : 1.0f;
    const Quaternion left = EndSlope(first, 1.0f, h);
    const Quaternion right = EndSlope(second, 0.0f, -h) * sign;
    const float scale = std::fmax(1.0f, left.Length());
    ExpectNear(left * (1 / scale), right * (1 / scale), 5e-3f, "tangent continuous at the joint");

    // Plain slerp chains (inner points on the keys themselves) kink at almost every joint:
    // the check above is one a wrong setup would fail.
    auto plain1 = [&](float t) { return Yr::QuaternionSlerp(keys[1], keys[2], t); };
    auto plain2 = [&](float t) { return Yr::QuaternionSlerp(keys[2], keys[3], t); };
    const float plainSign = Yr::Dot(plain1(1), plain2(0)) < 0 ? -1.0f : 1.0f;
    if ((EndSlope(plain1, 1.0f, h) - EndSlope(plain2, 0.0f, -h) * plainSign).Length() > 5e-2f) ++plainSlerpKinks;
  }
  EXPECT_GT(plainSlerpKinks, kPaths * 9 / 10);
}

}  // namespace
