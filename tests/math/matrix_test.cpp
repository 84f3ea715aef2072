#include "system/math/matrix.h"

#include <gtest/gtest.h>

#include <cmath>

#include "system/math/math_const.h"
#include "system/math/quaternion.h"
#include "tests/math/math_test_util.h"

namespace {

using Yr::Matrix4;
using Yr::Matrix43;
using Yr::Quaternion;
using Yr::Vec3;
using Yr::Vec4;
using YrMathTest::ExpectNear;
using YrMathTest::Identity4;
using YrMathTest::MaxDifference;

Matrix4 Scale(float s) { return Matrix4().MakeDiagonal(s, s, s); }

// A random rigid transform with a uniform scale.
Matrix4 RandomAffine(YrMathTest::Random& random, float scale) {
  Matrix43 m;
  m.MakeRotation(random.UnitQuaternion(), Vec4(random.InBox(100), 1));
  m.MulDiagonal(Vec4(scale, scale, scale, 1));
  return Matrix4(m);
}

TEST(MatrixTest, InverseIsZeroOnlyForDependentRows) {
  struct Case {
    const char* what;
    Matrix4 m;
    bool singular;
  } cases[] = {
      {"identity", Identity4(), false},
      // A transform in centimetres: det 1e-6, rows independent.
      {"uniform scale 0.01", Scale(0.01f), false},
      {"uniform scale 0.011", Scale(0.011f), false},
      {"scale 1e-3 and far translation",
       Matrix4(1e-3f, 0, 0, 1e6f, 0, 1e-3f, 0, -1e6f, 0, 0, 1e-3f, 5e5f, 0, 0, 0, 1), false},
      {"zero matrix", Matrix4(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), true},
      {"zero row", Matrix4(1, 2, 3, 4, 0, 0, 0, 0, 5, 6, 7, 8, 0, 0, 0, 1), true},
      {"equal rows", Matrix4(1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 9, 0, 0, 0, 1), true},
      {"row 2 = row 0 + row 1", Matrix4(1, 2, 3, 4, 5, 7, 11, 13, 6, 9, 14, 17, 0, 0, 0, 1), true},
      {"flattened axis", Matrix4().MakeDiagonal(1, 1, 0), true},
      {"rank 3 with rounding", Matrix4(0.1f, 0.2f, 0.3f, 0, 0.3f, 0.6f, 0.9f, 0, 0.7f, 0.1f, 0.4f, 0, 0, 0, 0, 1),
       true},
  };
  for (const Case& c : cases) {
    const Matrix4 inv = c.m.Inverse();
    const bool zero = inv == Matrix4(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(zero, c.singular) << c.what;
    if (!c.singular) {
      EXPECT_LT(MaxDifference(inv * c.m, Identity4()), 1e-4f) << c.what;
    }
  }
  EXPECT_FLOAT_EQ(Scale(0.01f).Inverse()(0, 0), 100.0f);
}

TEST(MatrixTest, InverseAdjointAndDeterminantAgreeOnRandomMatrices) {
  YrMathTest::Random random(11);
  for (int i = 0; i < 500; ++i) {
    const float scale = std::pow(10.0f, random.Uniform(-3, 3));
    const Matrix4 affine = RandomAffine(random, scale);
    // M·M⁻¹: the inverse's translation grows as 1/scale, so M⁻¹·M would cancel large terms.
    EXPECT_LT(MaxDifference(affine * affine.Inverse(), Identity4()), 2e-4f) << "affine, scale " << scale;
    EXPECT_NEAR(affine.Determinant() / (scale * scale * scale), 1.0f, 1e-4f);

    const Matrix4 a = random.Matrix(2), b = random.Matrix(2);
    const float det = a.Determinant();
    EXPECT_NEAR((a * b).Determinant(), det * b.Determinant(), 1e-3f * (1 + std::fabs(det * b.Determinant())));
    EXPECT_NEAR(a.Transpose().Determinant(), det, 1e-4f * (1 + std::fabs(det)));
    // The adjugate times the matrix is det·I.
    Matrix4 scaledIdentity = Identity4();
    scaledIdentity *= det;
    EXPECT_LT(MaxDifference(a.Adjoint() * a, scaledIdentity), 1e-3f);
    if (std::fabs(det) > 0.05f) {
      EXPECT_LT(MaxDifference(a * a.Inverse(), Identity4()), 2e-3f) << "det " << det;
      Matrix4 adj = a.Adjoint();
      adj /= det;
      EXPECT_LT(MaxDifference(adj, a.Inverse()), 1e-4f * (1 + std::fabs(adj.m[0])));
    }
  }
}

TEST(MatrixTest, KnownDeterminantsAndOddPermutations) {
  struct Case {
    Matrix4 m;
    float det;
  } cases[] = {
      {Matrix4().MakeDiagonal(2, 3, 4), 24},
      {Matrix4(0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1), -1},  // one swap
      {Matrix4(0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0), -1},  // 4-cycle
      {Matrix4(0, 1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1), 1},   // 3-cycle
      {Matrix4(2, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 5, 0, 7, 0, 0), 210},
      {Matrix4(1, 2, 3, 4, 5, 6, 7, 8, 2, 6, 4, 8, 3, 1, 1, 2), 72},
  };
  for (const Case& c : cases) EXPECT_FLOAT_EQ(c.m.Determinant(), c.det);
}

TEST(MatrixTest, ProductsAndTransformsFollowTheColumnConvention) {
  YrMathTest::Random random(3);
  for (int i = 0; i < 100; ++i) {
    const Matrix4 a = RandomAffine(random, 1.5f), b = RandomAffine(random, 0.5f);
    const Vec3 p = random.InBox(10);
    ExpectNear((a * b).TransformPoint(p), a.TransformPoint(b.TransformPoint(p)), 1e-2f, "(A·B)p = A(Bp)");
    ExpectNear((a * b).TransformVec(p), a.TransformVec(b.TransformVec(p)), 1e-3f, "directions");
    // The affine product agrees with the full one.
    const Matrix43 a43(a), b43(b);
    EXPECT_LT(MaxDifference(Matrix4(a43 * b43), a * b), 1e-3f);
    ExpectNear(a43 * p, a.TransformPoint(p), 1e-6f, "Matrix43 point");
    ExpectNear(a43.TransformVecAdd(p, Vec3(1, 2, 3)), a.TransformVec(p) + Vec3(1, 2, 3), 1e-6f, "vec add");
    // TransposeMul is aᵀ·b̂ taken through Matrix4.
    Matrix43 tm;
    const Matrix4 full = random.Matrix(3);
    Matrix43::TransposeMul(tm, full, b43);
    EXPECT_LT(MaxDifference(tm, Matrix43(full.Transpose() * Matrix4(b43))), 1e-5f);
  }
  // Row 3 is never used by TransformPoint: no division by w.
  Matrix4 proj;
  proj.MakePerspectiveRH(1.0f, 1.0f, 1.0f, 100.0f);
  const Vec3 t = proj.TransformPoint(Vec3(1, 2, -10));
  EXPECT_FLOAT_EQ(t.x, proj(0, 0));
  EXPECT_FLOAT_EQ(t.y, 2 * proj(1, 1));
  EXPECT_FLOAT_EQ(t.z, -10 * proj(2, 2) + proj(2, 3));
  // Matrix4 from Matrix43 gets the bottom row (0, 0, 0, 1); the other way drops it.
  Matrix43 m43(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12);
  EXPECT_EQ(Matrix4(m43), Matrix4(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 1));
  EXPECT_EQ(Matrix43(Matrix4(m43)), m43);
  Matrix43 diag = m43;
  diag.MulDiagonal(Vec4(2, 3, 4, 5));
  EXPECT_EQ(diag, Matrix43(2, 6, 12, 20, 10, 18, 28, 40, 18, 30, 44, 60));
  diag /= 2.0f;
  EXPECT_EQ(diag, Matrix43(1, 3, 6, 10, 5, 9, 14, 20, 9, 15, 22, 30));
}

TEST(MatrixTest, ProjectionsMapNearToZeroAndFarToOne) {
  const float zn = 0.5f, zf = 200.0f;
  auto depth = [](const Matrix4& m, float z) {
    const Vec4 clip = m.Transform(Vec4(0.3f, -0.2f, z, 1));
    return clip.z / clip.w;
  };
  Matrix4 persp, conv, orthoRH, orthoLH;
  persp.MakePerspectiveRH(1.2f, 16.0f / 9.0f, zn, zf);
  conv.MakePerspectiveWithConvergenceRH(1.2f, 16.0f / 9.0f, zn, zf, 0, 0);
  orthoRH.MakeOrthoRH(-4, 6, -2, 3, zn, zf);
  orthoLH.MakeOrthoLH(-4, 6, -2, 3, zn, zf);
  EXPECT_NEAR(depth(persp, -zn), 0.0f, 1e-6f);
  EXPECT_NEAR(depth(persp, -zf), 1.0f, 1e-6f);
  EXPECT_LT(MaxDifference(persp, conv), 1e-6f) << "no convergence shift is the plain perspective";
  EXPECT_EQ(persp.Transform(Vec4(0, 0, -7, 1)).w, 7.0f) << "w holds −z";
  EXPECT_NEAR(depth(orthoRH, -zn), 0.0f, 1e-6f);
  EXPECT_NEAR(depth(orthoRH, -zf), 1.0f, 1e-6f);
  EXPECT_NEAR(depth(orthoLH, zn), 0.0f, 1e-6f);
  EXPECT_NEAR(depth(orthoLH, zf), 1.0f, 1e-6f);
  // The orthographic box's corners land on the clip cube's.
  const Vec4 corner = orthoRH.Transform(Vec4(-4, 3, -zn, 1));
  EXPECT_NEAR(corner.x, -1.0f, 1e-6f);
  EXPECT_NEAR(corner.y, 1.0f, 1e-6f);
  // With e = f the window slides sideways, keeping its width: a view-space point at the
  // shifted left edge lands on clip x = −1.
  const float t = std::tan(0.6f), aspect = 2.0f, e = 0.25f;
  Matrix4 shifted;
  shifted.MakePerspectiveWithConvergenceRH(1.2f, aspect, zn, zf, e, e);
  const float h = t * aspect;
  for (float edge : {-1.0f, 1.0f}) {
    const float xAtUnitDepth = h * edge + 2 * e * h;
    const Vec4 clip = shifted.Transform(Vec4(xAtUnitDepth * 3, 0, -3, 1));
    EXPECT_NEAR(clip.x / clip.w, edge, 1e-5f);
  }
  EXPECT_NEAR(shifted(0, 0), persp(0, 0) * (16.0f / 9.0f) / aspect, 1e-5f) << "same width";
}

TEST(MatrixTest, ViewAndReflectionPlacePointsWhereExpected) {
  YrMathTest::Random random(5);
  for (int i = 0; i < 100; ++i) {
    const Vec3 eye = random.InBox(50), target = random.InBox(50);
    Matrix4 view;
    view.MakeViewRH(eye, target, Vec3(0, 1, 0));
    ExpectNear(view.TransformPoint(eye), Vec3(0, 0, 0), 1e-4f, "eye at the origin");
    const Vec3 t = view.TransformPoint(target);
    ExpectNear(t, Vec3(0, 0, -(target - eye).Length()), 1e-3f, "target down −Z");
    EXPECT_NEAR(view.Determinant(), 1.0f, 1e-4f);

    const Vec3 n = random.UnitVector(), onPlane = random.InBox(10);
    Matrix4 mirror;
    mirror.MakeReflection(n, onPlane);
    ExpectNear(mirror.TransformPoint(onPlane), onPlane, 1e-4f, "plane point stays");
    const Vec3 p = random.InBox(10);
    ExpectNear(mirror.TransformPoint(mirror.TransformPoint(p)), p, 1e-3f, "twice is identity");
    ExpectNear(mirror.TransformPoint(p + n), mirror.TransformPoint(p) - n, 1e-3f, "normal flips");
    EXPECT_NEAR(mirror.Determinant(), -1.0f, 1e-4f);
  }
}

TEST(MatrixTest, RotationFromQuaternionMatchesTheTable) {
  // 90° about Z: x → y.
  const float s = std::sqrt(0.5f);
  Matrix43 m;
  m.MakeRotation(Quaternion(0, 0, s, s), Vec4(1, 2, 3, 99));
  ExpectNear(m.TransformVec(Vec3(1, 0, 0)), Vec3(0, 1, 0), 1e-6f);
  ExpectNear(m * Vec3(0, 0, 0), Vec3(1, 2, 3), 0, "translation, w ignored");
  YrMathTest::Random random(9);
  for (int i = 0; i < 200; ++i) {
    m.MakeRotation(random.UnitQuaternion());
    const Vec3 v = random.InBox(10);
    EXPECT_NEAR(m.TransformVec(v).Length(), v.Length(), 1e-4f) << "a rotation keeps lengths";
  }
}

TEST(MatrixTest, FourAtOnceEqualsFourSingleCalls) {
  YrMathTest::Random random(13);
  static constexpr int64_t kUlps = 4;
  auto expectUlps = [](const Matrix43& got, const Matrix43& want, const char* what) {
    for (int e = 0; e < 12; ++e)
      EXPECT_LE(YrMathTest::UlpDistance(got.m[e], want.m[e]), kUlps) << what << " element " << e;
  };
  for (int round = 0; round < 100; ++round) {
    Quaternion q[4];
    Vec4 t[4];
    Matrix43 b[4], out[4], product[4];
    for (int i = 0; i < 4; ++i) {
      q[i] = random.UnitQuaternion();
      t[i] = Vec4(random.InBox(20), random.Uniform(-1, 1));
      b[i] = Matrix43(RandomAffine(random, 2.0f));
      product[i] = Matrix43(RandomAffine(random, 0.5f));
    }
    Matrix43::Make4Rotation(out, q, t);
    for (int i = 0; i < 4; ++i) expectUlps(out[i], Matrix43().MakeRotation(q[i], t[i]), "Make4Rotation");

    Matrix43::Make4RotationMultiply4(out, q, t, b);
    for (int i = 0; i < 4; ++i) {
      Matrix43 single;
      single.MakeRotation(q[i], t[i]) *= b[i];
      expectUlps(out[i], single, "Make4RotationMultiply4");
    }

    Matrix43 in[4] = {product[0], product[1], product[2], product[3]};
    Matrix43::Multiply4(in, b);
    for (int i = 0; i < 4; ++i) expectUlps(in[i], product[i] * b[i], "Multiply4");
    // In place on the right-hand side too.
    Matrix43 self[4] = {b[0], b[1], b[2], b[3]};
    Matrix43::Multiply4(self, self);
    for (int i = 0; i < 4; ++i) expectUlps(self[i], b[i] * b[i], "Multiply4 aliased");
  }
}

}  // namespace
