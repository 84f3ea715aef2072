// The same matrices built by glm on randomised inputs. glm stores columns: element (r, c)
// of ours is g[c][r] of glm's.
#include <gtest/gtest.h>

#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/quaternion.hpp>

#include "system/math/matrix.h"
#include "system/math/quaternion.h"
#include "tests/math/math_test_util.h"

namespace {

using Yr::Matrix4;
using Yr::Vec3;

glm::mat4 ToGlm(const Matrix4& m) {
  glm::mat4 g;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) g[c][r] = m(r, c);
  return g;
}

glm::vec3 ToGlm(const Vec3& v) { return {v.x, v.y, v.z}; }

// Largest difference relative to the larger element of the two matrices.
float RelativeDifference(const Matrix4& ours, const glm::mat4& peer) {
  float worst = 0, largest = 1;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      worst = std::fmax(worst, std::fabs(ours(r, c) - peer[c][r]));
      largest = std::fmax(largest, std::fabs(peer[c][r]));
    }
  return worst / largest;
}

TEST(GlmCrossTest, ViewProjectionsInverseAndDeterminantAgree) {
  YrMathTest::Random random(21);
  for (int i = 0; i < 300; ++i) {
    const Vec3 eye = random.InBox(100), target = random.InBox(100), up = random.UnitVector();
    Matrix4 view;
    view.MakeViewRH(eye, target, up);
    EXPECT_LT(RelativeDifference(view, glm::lookAtRH(ToGlm(eye), ToGlm(target), ToGlm(up))), 1e-5f) << "look-at";

    const float fov = random.Uniform(0.2f, 2.5f), aspect = random.Uniform(0.5f, 3.0f);
    const float zn = random.Uniform(0.01f, 10.0f), zf = zn + random.Uniform(1.0f, 1000.0f);
    Matrix4 proj;
    proj.MakePerspectiveRH(fov, aspect, zn, zf);
    EXPECT_LT(RelativeDifference(proj, glm::perspectiveRH_ZO(fov, aspect, zn, zf)), 1e-5f) << "perspective";

    const float l = random.Uniform(-50, 0), r = l + random.Uniform(1, 50);
    const float b = random.Uniform(-50, 0), t = b + random.Uniform(1, 50);
    proj.MakeOrthoRH(l, r, b, t, zn, zf);
    EXPECT_LT(RelativeDifference(proj, glm::orthoRH_ZO(l, r, b, t, zn, zf)), 1e-5f) << "ortho RH";
    proj.MakeOrthoLH(l, r, b, t, zn, zf);
    EXPECT_LT(RelativeDifference(proj, glm::orthoLH_ZO(l, r, b, t, zn, zf)), 1e-5f) << "ortho LH";

    const Matrix4 m = random.Matrix(3);
    const float det = glm::determinant(ToGlm(m));
    EXPECT_NEAR(m.Determinant(), det, 1e-4f * (1 + std::fabs(det)));
    if (std::fabs(det) > 0.1f) {
      EXPECT_LT(RelativeDifference(m.Inverse(), glm::inverse(ToGlm(m))), 1e-4f) << det;
    }
    const Matrix4 product = m * view;
    EXPECT_LT(RelativeDifference(product, ToGlm(m) * ToGlm(view)), 1e-5f) << "product";
  }
}

TEST(GlmCrossTest, QuaternionMatricesAndSlerpAgree) {
  YrMathTest::Random random(22);
  for (int i = 0; i < 500; ++i) {
    const Yr::Quaternion q1 = random.UnitQuaternion(), q2 = random.UnitQuaternion();
    const glm::quat g1(q1.w, q1.x, q1.y, q1.z), g2(q2.w, q2.x, q2.y, q2.z);  // glm takes w first
    const Matrix4 ours(Yr::Matrix43().MakeRotation(q1));
    EXPECT_LT(RelativeDifference(ours, glm::mat4(glm::mat3_cast(g1))), 1e-6f) << "quaternion to matrix";

    const float t = random.Uniform(0, 1);
    const Yr::Quaternion mine = Yr::QuaternionSlerp(q1, q2, t);
    const glm::quat peer = glm::slerp(g1, g2, t);
    EXPECT_NEAR(mine.x, peer.x, 1e-5f);
    EXPECT_NEAR(mine.y, peer.y, 1e-5f);
    EXPECT_NEAR(mine.z, peer.z, 1e-5f);
    EXPECT_NEAR(mine.w, peer.w, 1e-5f);
    const Yr::Quaternion product = q1 * q2;
    const glm::quat gp = g1 * g2;
    EXPECT_NEAR(product.x, gp.x, 1e-6f);
    EXPECT_NEAR(product.w, gp.w, 1e-6f);
  }
}

}  // namespace
