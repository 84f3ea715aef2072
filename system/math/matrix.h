// Matrix4 and Matrix43: the row-major 4×4 matrix and the affine 3×4 matrix.
//
//   Yr::Matrix4 view, proj;
//   view.MakeViewRH(eye, target, up);
//   proj.MakePerspectiveRH(fovY, aspect, zNear, zFar);   // clip depth in [0, 1]
//   Yr::Matrix4 viewProj = proj * view;                   // view applies first
//   Yr::Vec3 p = Yr::Matrix43(view).TransformPoint(worldPoint);
//
// Points are column vectors: p' = M·(x, y, z, 1); element (r, c) is m[4·r + c] (Matrix43:
// the same, three rows, the row (0, 0, 0, 1) implied). A·B applies B first. Every row is one
// 16-byte-aligned SSE register and products are row operations on those registers. The
// four-at-once functions of Matrix43 build or multiply four matrices in one 4-wide pass, for
// skinning and animation blending. Default construction leaves a matrix uninitialised.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "system/math/vector.h"
#include "system/platform/export.h"

namespace Yr {

struct Matrix43;
struct Quaternion;

namespace Detail {

// Element i of a row in all four lanes. pshufd copies while it shuffles, where shufps
// would need a register move first.
template <int i>
inline __m128 Broadcast(__m128 a) {
  return _mm_castsi128_ps(_mm_shuffle_epi32(_mm_castps_si128(a), _MM_SHUFFLE(i, i, i, i)));
}

// One row of a product: the four elements of a row broadcast, each times one row of the
// right-hand matrix, accumulated left to right.
inline __m128 RowTimes(__m128 a, __m128 b0, __m128 b1, __m128 b2, __m128 b3) {
  __m128 r = _mm_mul_ps(Broadcast<0>(a), b0);
  r = _mm_add_ps(r, _mm_mul_ps(Broadcast<1>(a), b1));
  r = _mm_add_ps(r, _mm_mul_ps(Broadcast<2>(a), b2));
  return _mm_add_ps(r, _mm_mul_ps(Broadcast<3>(a), b3));
}

// The same for an affine right-hand side: its implied fourth row (0, 0, 0, 1) adds the
// left row's last element to the translation lane only.
inline __m128 AffineRowTimes(__m128 a, __m128 b0, __m128 b1, __m128 b2) {
  __m128 r = _mm_mul_ps(Broadcast<0>(a), b0);
  r = _mm_add_ps(r, _mm_mul_ps(Broadcast<1>(a), b1));
  r = _mm_add_ps(r, _mm_mul_ps(Broadcast<2>(a), b2));
  const __m128 wOnly = _mm_castsi128_ps(_mm_set_epi32(-1, 0, 0, 0));
  return _mm_add_ps(r, _mm_and_ps(a, wOnly));
}

}  // namespace Detail

struct YR_API Matrix4 {
  alignas(16) float m[16];

  static const float identity[16];

  Matrix4() = default;
  constexpr Matrix4(float m00, float m01, float m02, float m03, float m10, float m11, float m12, float m13,
                    float m20, float m21, float m22, float m23, float m30, float m31, float m32, float m33)
      : m{m00, m01, m02, m03, m10, m11, m12, m13, m20, m21, m22, m23, m30, m31, m32, m33} {}
  // Rows 0–2 copied, row 3 = (0, 0, 0, 1).
  explicit Matrix4(const Matrix43& a);

  float& operator()(int r, int c) { return m[4 * r + c]; }
  float operator()(int r, int c) const { return m[4 * r + c]; }
  __m128 Row(int r) const { return _mm_load_ps(m + 4 * r); }
  void SetRow(int r, __m128 v) { _mm_store_ps(m + 4 * r, v); }

  Matrix4& Identity();

  Matrix4 operator*(const Matrix4& b) const {
    Matrix4 out;
    const __m128 b0 = b.Row(0), b1 = b.Row(1), b2 = b.Row(2), b3 = b.Row(3);
    for (int r = 0; r < 4; ++r) out.SetRow(r, Detail::RowTimes(Row(r), b0, b1, b2, b3));
    return out;
  }
  Matrix4& operator*=(float s);
  // Every element times the one reciprocal 1/s.
  Matrix4& operator/=(float s);
  bool operator==(const Matrix4& o) const;
  bool operator!=(const Matrix4& o) const { return !(*this == o); }

  // Rows 0–2 dotted with (x, y, z, 0).
  Vec3 TransformVec(const Vec3& v) const {
    return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[4] * v.x + m[5] * v.y + m[6] * v.z,
            m[8] * v.x + m[9] * v.y + m[10] * v.z};
  }
  // Rows 0–2 dotted with (x, y, z, 1): row 3 is ignored, there is no division by w.
  Vec3 TransformPoint(const Vec3& p) const {
    return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
            m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
  }
  // The full product M·v, bottom row included (clip coordinates of a projection).
  Vec4 Transform(const Vec4& v) const;

  Matrix4 Transpose() const;
  // The adjugate: the transpose of the matrix of cofactors.
  Matrix4 Adjoint() const;
  // Expanded as the sum of products of the complementary 2×2 minors of rows 0–1 and 2–3.
  float Determinant() const;
  // The inverse, or the all-zero matrix when the rows are (nearly) dependent. Singularity is
  // judged against the matrix's own scale, so a scaled-down transform still inverts.
  Matrix4 Inverse() const;

  // diag(a, b, c, 1).
  Matrix4& MakeDiagonal(float a, float b, float c);
  // Reflection in the plane through p with unit normal n (n is not normalised here).
  Matrix4& MakeReflection(const Vec3& n, const Vec3& p);
  // Right-handed look-at: the camera looks down its −Z axis.
  Matrix4& MakeViewRH(const Vec3& eye, const Vec3& target, const Vec3& up);
  // The projections map the near plane to depth 0 and the far plane to depth 1.
  Matrix4& MakePerspectiveRH(float fovY, float aspect, float zn, float zf);
  // e and f shift the left and the right edge of the window towards +x by 2e and 2f times
  // its half-width at unit depth; e = f = 0 is MakePerspectiveRH.
  Matrix4& MakePerspectiveWithConvergenceRH(float fovY, float aspect, float zn, float zf, float e, float f);
  Matrix4& MakeOrthoRH(float l, float r, float b, float t, float zn, float zf);
  Matrix4& MakeOrthoLH(float l, float r, float b, float t, float zn, float zf);
};

struct YR_API Matrix43 {
  alignas(16) float m[12];

  static const float identity[12];

  Matrix43() = default;
  constexpr Matrix43(float m00, float m01, float m02, float m03, float m10, float m11, float m12, float m13,
                     float m20, float m21, float m22, float m23)
      : m{m00, m01, m02, m03, m10, m11, m12, m13, m20, m21, m22, m23} {}
  // Rows 0–2 of a; its row 3 is dropped.
  explicit Matrix43(const Matrix4& a);

  float& operator()(int r, int c) { return m[4 * r + c]; }
  float operator()(int r, int c) const { return m[4 * r + c]; }
  __m128 Row(int r) const { return _mm_load_ps(m + 4 * r); }
  void SetRow(int r, __m128 v) { _mm_store_ps(m + 4 * r, v); }

  Matrix43& Identity();
  Matrix43& operator*=(float s);
  Matrix43& operator/=(float s);
  bool operator==(const Matrix43& o) const;
  bool operator!=(const Matrix43& o) const { return !(*this == o); }

  // this := this·b, both taken with the implied row (0, 0, 0, 1).
  Matrix43& operator*=(const Matrix43& b) {
    const __m128 b0 = b.Row(0), b1 = b.Row(1), b2 = b.Row(2);
    const __m128 a0 = Row(0), a1 = Row(1), a2 = Row(2);
    SetRow(0, Detail::AffineRowTimes(a0, b0, b1, b2));
    SetRow(1, Detail::AffineRowTimes(a1, b0, b1, b2));
    SetRow(2, Detail::AffineRowTimes(a2, b0, b1, b2));
    return *this;
  }
  Matrix43 operator*(const Matrix43& b) const {
    Matrix43 out(*this);
    return out *= b;
  }

  Vec3 TransformPoint(const Vec3& p) const {
    return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
            m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
  }
  Vec3 operator*(const Vec3& p) const { return TransformPoint(p); }
  Vec3 TransformVec(const Vec3& v) const {
    return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[4] * v.x + m[5] * v.y + m[6] * v.z,
            m[8] * v.x + m[9] * v.y + m[10] * v.z};
  }
  Vec3 TransformVecAdd(const Vec3& v, const Vec3& a) const { return TransformVec(v) + a; }

  // this := this·diag(d.x, d.y, d.z, d.w): column c scaled by d[c], d.w scaling the translation.
  Matrix43& MulDiagonal(const Vec4& d);

  // out = rows 0–2 of aᵀ·b̂, b̂ being b with the row (0, 0, 0, 1) appended.
  static void TransposeMul(Matrix43& out, const Matrix4& a, const Matrix43& b);

  // Rotation block of q (taken as unit length), translation 0 or (t.x, t.y, t.z).
  Matrix43& MakeRotation(const Quaternion& q);
  Matrix43& MakeRotation(const Quaternion& q, const Vec4& t);
  Matrix43& MakeScale(const Vec3& s);

  // Each takes exactly four consecutive, 16-byte-aligned elements per argument and gives the
  // results of four single calls: out[i] = MakeRotation(q[i], t[i]); m[i] := m[i]·b[i];
  // out[i] = R(q[i], t[i])·b[i], the rotation on the left.
  static void Make4Rotation(Matrix43* out, const Quaternion* q, const Vec4* t);
  static void Multiply4(Matrix43* m, const Matrix43* b);
  static void Make4RotationMultiply4(Matrix43* out, const Quaternion* q, const Vec4* t, const Matrix43* b);
};

static_assert(sizeof(Matrix4) == 16 * sizeof(float) && alignof(Matrix4) == 16, "four aligned SSE rows");
static_assert(sizeof(Matrix43) == 12 * sizeof(float) && alignof(Matrix43) == 16, "three aligned SSE rows");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Matrix4) == 64 && sizeof(Matrix43) == 48 && alignof(Matrix43) == 16, "32-bit matrix layouts");
#endif

}  // namespace Yr
