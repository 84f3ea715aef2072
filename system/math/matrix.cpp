#include "system/math/matrix.h"

#include <cmath>

#include "system/math/math_const.h"
#include "system/math/quaternion.h"

namespace Yr {

const float Matrix4::identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
const float Matrix43::identity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};

namespace {

constexpr int kRowFloats = 4;
constexpr int kMatrix4Floats = static_cast<int>(sizeof(Matrix4) / sizeof(float));
constexpr int kMatrix43Floats = static_cast<int>(sizeof(Matrix43) / sizeof(float));

template <int a, int b, int c, int d>
__m128 Shuffle(__m128 x, __m128 y) {
  return _mm_shuffle_ps(x, y, _MM_SHUFFLE(d, c, b, a));  // lanes: x[a], x[b], y[c], y[d]
}

__m128 Abs(__m128 v) { return _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF))); }

// Sum of the four lanes, always in the same order.
float SumLanes(__m128 v) {
  const __m128 pairs = _mm_add_ps(v, _mm_movehl_ps(v, v));
  return _mm_cvtss_f32(_mm_add_ss(pairs, Shuffle<1, 1, 1, 1>(pairs, pairs)));
}

// The adjugate, the determinant and its scale, from the twelve 2×2 minors of rows 0–1 (sₖ)
// and rows 2–3 (cₖ), by column pair k: 01, 02, 03, 12, 13, 23.
struct Cofactors {
  __m128 rows[4];  // the adjugate
  float det;
  // The same expansion over the magnitudes of all 24 products of the determinant: the scale
  // the determinant is made of. Rounding leaves a determinant of dependent rows at a few
  // float epsilons of this figure, while rows that are merely small (a transform scaled to
  // centimetres) keep a determinant of the same order. The translation column of an affine
  // matrix never enters, so a far translation does not make a matrix "singular".
  float scale;
};

Cofactors CofactorsOf(const Matrix4& m) {
  const __m128 r0 = m.Row(0), r1 = m.Row(1), r2 = m.Row(2), r3 = m.Row(3);
  // Minor (i, j) of two rows p, q is p[i]·q[j] − p[j]·q[i]; the products are kept apart for the scale.
  const __m128 sLoA = _mm_mul_ps(Shuffle<0, 0, 0, 1>(r0, r0), Shuffle<1, 2, 3, 2>(r1, r1));
  const __m128 sLoB = _mm_mul_ps(Shuffle<1, 2, 3, 2>(r0, r0), Shuffle<0, 0, 0, 1>(r1, r1));
  const __m128 cLoA = _mm_mul_ps(Shuffle<0, 0, 0, 1>(r2, r2), Shuffle<1, 2, 3, 2>(r3, r3));
  const __m128 cLoB = _mm_mul_ps(Shuffle<1, 2, 3, 2>(r2, r2), Shuffle<0, 0, 0, 1>(r3, r3));
  // s4, s5, c4, c5 (pairs 13 and 23 of both row pairs).
  const __m128 hiA = _mm_mul_ps(Shuffle<1, 2, 1, 2>(r0, r2), Shuffle<3, 3, 3, 3>(r1, r3));
  const __m128 hiB = _mm_mul_ps(Shuffle<3, 3, 3, 3>(r0, r2), Shuffle<1, 2, 1, 2>(r1, r3));
  const __m128 sLo = _mm_sub_ps(sLoA, sLoB);  // s0 s1 s2 s3
  const __m128 cLo = _mm_sub_ps(cLoA, cLoB);  // c0 c1 c2 c3
  const __m128 hi = _mm_sub_ps(hiA, hiB);     // s4 s5 c4 c5

  // det = s0·c5 − s1·c4 + s2·c3 + s3·c2 − s4·c1 + s5·c0: each minor times its complement.
  const __m128 sign = _mm_set_ps(1.0f, 1.0f, -1.0f, 1.0f);
  const __m128 complementLo = Shuffle<3, 2, 3, 2>(hi, cLo);             // c5 c4 c3 c2
  const __m128 sHi = Shuffle<0, 1, 0, 1>(hi, hi);                       // s4 s5 s4 s5
  const __m128 complementHi = Shuffle<1, 0, 1, 0>(cLo, cLo);            // c1 c0 c1 c0
  const __m128 lowHalf = _mm_castsi128_ps(_mm_set_epi32(0, 0, -1, -1));
  const __m128 hiSign = _mm_set_ps(0.0f, 0.0f, 1.0f, -1.0f);
  const __m128 terms = _mm_add_ps(_mm_mul_ps(_mm_mul_ps(sLo, complementLo), sign),
                                  _mm_mul_ps(_mm_mul_ps(sHi, complementHi), hiSign));
  // The scale: |p[i]·q[j]| + |p[j]·q[i]| in place of each minor, every product positive.
  const __m128 sLoAbs = _mm_add_ps(Abs(sLoA), Abs(sLoB));
  const __m128 cLoAbs = _mm_add_ps(Abs(cLoA), Abs(cLoB));
  const __m128 hiAbs = _mm_add_ps(Abs(hiA), Abs(hiB));
  const __m128 scaleTerms =
      _mm_add_ps(_mm_mul_ps(sLoAbs, Shuffle<3, 2, 3, 2>(hiAbs, cLoAbs)),
                 _mm_and_ps(_mm_mul_ps(Shuffle<0, 1, 0, 1>(hiAbs, hiAbs), Shuffle<1, 0, 1, 0>(cLoAbs, cLoAbs)), lowHalf));

  // Adjugate rows. With Cₖ = column k of m in row order 1, 0, 3, 2, Vₖ = (cₖ, cₖ, sₖ, sₖ) and
  // P = (+, −, +, −): row 0 = P·(C1·V5 − C2·V4 + C3·V3), row 1 = −P·(C0·V5 − C2·V2 + C3·V1),
  // row 2 = P·(C0·V4 − C1·V2 + C3·V0), row 3 = −P·(C0·V3 − C1·V1 + C2·V0).
  __m128 k0 = r0, k1 = r1, k2 = r2, k3 = r3;
  _MM_TRANSPOSE4_PS(k0, k1, k2, k3);
  const __m128 col0 = Shuffle<1, 0, 3, 2>(k0, k0), col1 = Shuffle<1, 0, 3, 2>(k1, k1);
  const __m128 col2 = Shuffle<1, 0, 3, 2>(k2, k2), col3 = Shuffle<1, 0, 3, 2>(k3, k3);
  const __m128 v0 = Shuffle<0, 0, 0, 0>(cLo, sLo), v1 = Shuffle<1, 1, 1, 1>(cLo, sLo);
  const __m128 v2 = Shuffle<2, 2, 2, 2>(cLo, sLo), v3 = Shuffle<3, 3, 3, 3>(cLo, sLo);
  const __m128 v4 = Shuffle<2, 2, 0, 0>(hi, hi), v5 = Shuffle<3, 3, 1, 1>(hi, hi);
  const __m128 p = _mm_set_ps(-1.0f, 1.0f, -1.0f, 1.0f);
  const __m128 minusP = _mm_set_ps(1.0f, -1.0f, 1.0f, -1.0f);
  auto row = [](__m128 sgn, __m128 a, __m128 va, __m128 b, __m128 vb, __m128 c, __m128 vc) {
    return _mm_mul_ps(sgn, _mm_add_ps(_mm_sub_ps(_mm_mul_ps(a, va), _mm_mul_ps(b, vb)), _mm_mul_ps(c, vc)));
  };
  Cofactors out;
  out.rows[0] = row(p, col1, v5, col2, v4, col3, v3);
  out.rows[1] = row(minusP, col0, v5, col2, v2, col3, v1);
  out.rows[2] = row(p, col0, v4, col1, v2, col3, v0);
  out.rows[3] = row(minusP, col0, v3, col1, v1, col2, v0);
  out.det = SumLanes(terms);
  out.scale = SumLanes(scaleTerms);
  return out;
}

void ScaleRows(float* m, int rows, float s) {
  const __m128 k = _mm_set1_ps(s);
  for (int r = 0; r < rows; ++r) _mm_store_ps(m + kRowFloats * r, _mm_mul_ps(_mm_load_ps(m + kRowFloats * r), k));
}

bool SameFloats(const float* a, const float* b, int n) {
  for (int i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// The lanes of a 4-wide register as a number type, so the rotation block is written once
// and computed with the very same operations for one quaternion (float) and for four at a
// time (Lanes): the four-at-once results then equal the single ones bit for bit.
struct Lanes {
  __m128 v;
  Lanes() = default;
  Lanes(__m128 value) : v(value) {}
  explicit Lanes(float value) : v(_mm_set1_ps(value)) {}
  friend Lanes operator+(Lanes a, Lanes b) { return _mm_add_ps(a.v, b.v); }
  friend Lanes operator-(Lanes a, Lanes b) { return _mm_sub_ps(a.v, b.v); }
  friend Lanes operator*(Lanes a, Lanes b) { return _mm_mul_ps(a.v, b.v); }
};

// Rotation block of (x, y, z, w), row-major into r[9].
template <typename T>
void RotationBlock(T x, T y, T z, T w, T* r) {
  const T one(1.0f), two(2.0f);
  const T xx = x * x, yy = y * y, zz = z * z;
  const T xy = x * y, xz = x * z, yz = y * z;
  const T wx = w * x, wy = w * y, wz = w * z;
  r[0] = one - two * (yy + zz);
  r[1] = two * (xy - wz);
  r[2] = two * (xz + wy);
  r[3] = two * (xy + wz);
  r[4] = one - two * (xx + zz);
  r[5] = two * (yz - wx);
  r[6] = two * (xz - wy);
  r[7] = two * (yz + wx);
  r[8] = one - two * (xx + yy);
}

// Four quaternions (or four Vec4) in array-of-structures order turned into one register per
// component: lanes[0] holds the four x, lanes[1] the four y, and so on.
void ToLanes(const float* a, __m128* lanes) {
  __m128 r0 = _mm_load_ps(a), r1 = _mm_load_ps(a + 4), r2 = _mm_load_ps(a + 8), r3 = _mm_load_ps(a + 12);
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
  lanes[0] = r0;
  lanes[1] = r1;
  lanes[2] = r2;
  lanes[3] = r3;
}

// The rotation rows of four matrices at once: rows[3·i + r] is row r of matrix i, its
// translation lane taken from t[i].
void RotationRows4(const Quaternion* q, const Vec4* t, __m128* rows) {
  __m128 qc[4], tc[4];
  ToLanes(&q[0].x, qc);
  ToLanes(&t[0].x, tc);
  Lanes r[9];
  RotationBlock<Lanes>(qc[0], qc[1], qc[2], qc[3], r);
  for (int row = 0; row < 3; ++row) {
    __m128 e0 = r[3 * row].v, e1 = r[3 * row + 1].v, e2 = r[3 * row + 2].v, e3 = tc[row];
    _MM_TRANSPOSE4_PS(e0, e1, e2, e3);
    rows[row] = e0;
    rows[3 + row] = e1;
    rows[6 + row] = e2;
    rows[9 + row] = e3;
  }
}

}  // namespace

// ---- Matrix4 ----

Matrix4::Matrix4(const Matrix43& a) {
  for (int r = 0; r < 3; ++r) SetRow(r, a.Row(r));
  SetRow(3, _mm_set_ps(1.0f, 0.0f, 0.0f, 0.0f));
}

Matrix4& Matrix4::Identity() {
  for (int i = 0; i < kMatrix4Floats; ++i) m[i] = identity[i];
  return *this;
}

Matrix4& Matrix4::operator*=(float s) {
  ScaleRows(m, 4, s);
  return *this;
}

Matrix4& Matrix4::operator/=(float s) { return *this *= 1.0f / s; }

bool Matrix4::operator==(const Matrix4& o) const { return SameFloats(m, o.m, kMatrix4Floats); }

Vec4 Matrix4::Transform(const Vec4& v) const {
  return Vec4(Dot(Vec4(Row(0)), v), Dot(Vec4(Row(1)), v), Dot(Vec4(Row(2)), v), Dot(Vec4(Row(3)), v));
}

Matrix4 Matrix4::Transpose() const {
  __m128 r0 = Row(0), r1 = Row(1), r2 = Row(2), r3 = Row(3);
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
  Matrix4 out;
  out.SetRow(0, r0);
  out.SetRow(1, r1);
  out.SetRow(2, r2);
  out.SetRow(3, r3);
  return out;
}

Matrix4 Matrix4::Adjoint() const {
  const Cofactors k = CofactorsOf(*this);
  Matrix4 out;
  for (int r = 0; r < 4; ++r) out.SetRow(r, k.rows[r]);
  return out;
}

float Matrix4::Determinant() const { return CofactorsOf(*this).det; }

Matrix4 Matrix4::Inverse() const {
  const Cofactors k = CofactorsOf(*this);
  Matrix4 out;
  if (std::fabs(k.det) <= gConst.epsilon * k.scale) {
    for (int r = 0; r < 4; ++r) out.SetRow(r, _mm_setzero_ps());
    return out;
  }
  const __m128 inverseDet = _mm_set1_ps(1.0f / k.det);
  for (int r = 0; r < 4; ++r) out.SetRow(r, _mm_mul_ps(k.rows[r], inverseDet));
  return out;
}

Matrix4& Matrix4::MakeDiagonal(float a, float b, float c) {
  *this = Matrix4(a, 0, 0, 0, 0, b, 0, 0, 0, 0, c, 0, 0, 0, 0, 1);
  return *this;
}

Matrix4& Matrix4::MakeReflection(const Vec3& n, const Vec3& p) {
  const float d = 2.0f * Dot(n, p);
  *this = Matrix4(1.0f - 2.0f * n.x * n.x, -2.0f * n.x * n.y, -2.0f * n.x * n.z, d * n.x,  //
                  -2.0f * n.x * n.y, 1.0f - 2.0f * n.y * n.y, -2.0f * n.y * n.z, d * n.y,  //
                  -2.0f * n.x * n.z, -2.0f * n.y * n.z, 1.0f - 2.0f * n.z * n.z, d * n.z,  //
                  0, 0, 0, 1);
  return *this;
}

Matrix4& Matrix4::MakeViewRH(const Vec3& eye, const Vec3& target, const Vec3& up) {
  const Vec3 zAxis = (eye - target).Normalised();
  const Vec3 xAxis = Cross(up, zAxis).Normalised();
  const Vec3 yAxis = Cross(zAxis, xAxis);
  *this = Matrix4(xAxis.x, xAxis.y, xAxis.z, -Dot(xAxis, eye),  //
                  yAxis.x, yAxis.y, yAxis.z, -Dot(yAxis, eye),  //
                  zAxis.x, zAxis.y, zAxis.z, -Dot(zAxis, eye),  //
                  0, 0, 0, 1);
  return *this;
}

Matrix4& Matrix4::MakePerspectiveRH(float fovY, float aspect, float zn, float zf) {
  const float c = 1.0f / std::tan(fovY * 0.5f);
  *this = Matrix4(c / aspect, 0, 0, 0,                          //
                  0, c, 0, 0,                                   //
                  0, 0, zf / (zn - zf), zn * zf / (zn - zf),    //
                  0, 0, -1, 0);
  return *this;
}

Matrix4& Matrix4::MakePerspectiveWithConvergenceRH(float fovY, float aspect, float zn, float zf, float e,
                                                   float f) {
  const float t = std::tan(fovY * 0.5f);
  const float h = t * aspect;
  const float left = h * (2.0f * e - 1.0f);
  const float right = h * (2.0f * f + 1.0f);
  *this = Matrix4(2.0f / (right - left), 0, (right + left) / (right - left), 0,  //
                  0, 1.0f / t, 0, 0,                                            //
                  0, 0, zf / (zn - zf), zn * zf / (zn - zf),                    //
                  0, 0, -1, 0);
  return *this;
}

Matrix4& Matrix4::MakeOrthoRH(float l, float r, float b, float t, float zn, float zf) {
  *this = Matrix4(2.0f / (r - l), 0, 0, (l + r) / (l - r),  //
                  0, 2.0f / (t - b), 0, (b + t) / (b - t),  //
                  0, 0, 1.0f / (zn - zf), zn / (zn - zf),   //
                  0, 0, 0, 1);
  return *this;
}

Matrix4& Matrix4::MakeOrthoLH(float l, float r, float b, float t, float zn, float zf) {
  MakeOrthoRH(l, r, b, t, zn, zf);
  (*this)(2, 2) = 1.0f / (zf - zn);
  return *this;
}

// ---- Matrix43 ----

Matrix43::Matrix43(const Matrix4& a) {
  for (int r = 0; r < 3; ++r) SetRow(r, a.Row(r));
}

Matrix43& Matrix43::Identity() {
  for (int i = 0; i < kMatrix43Floats; ++i) m[i] = identity[i];
  return *this;
}

Matrix43& Matrix43::operator*=(float s) {
  ScaleRows(m, 3, s);
  return *this;
}

Matrix43& Matrix43::operator/=(float s) { return *this *= 1.0f / s; }

bool Matrix43::operator==(const Matrix43& o) const { return SameFloats(m, o.m, kMatrix43Floats); }

Matrix43& Matrix43::MulDiagonal(const Vec4& d) {
  const __m128 k = d.Simd();
  for (int r = 0; r < 3; ++r) SetRow(r, _mm_mul_ps(Row(r), k));
  return *this;
}

void Matrix43::TransposeMul(Matrix43& out, const Matrix4& a, const Matrix43& b) {
  // Row i of the result takes column i of a as its left row.
  __m128 c0 = a.Row(0), c1 = a.Row(1), c2 = a.Row(2), c3 = a.Row(3);
  _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
  const __m128 b0 = b.Row(0), b1 = b.Row(1), b2 = b.Row(2);
  out.SetRow(0, Detail::AffineRowTimes(c0, b0, b1, b2));
  out.SetRow(1, Detail::AffineRowTimes(c1, b0, b1, b2));
  out.SetRow(2, Detail::AffineRowTimes(c2, b0, b1, b2));
}

Matrix43& Matrix43::MakeRotation(const Quaternion& q) { return MakeRotation(q, Vec4(0, 0, 0, 0)); }

Matrix43& Matrix43::MakeRotation(const Quaternion& q, const Vec4& t) {
  float r[9];
  RotationBlock<float>(q.x, q.y, q.z, q.w, r);
  *this = Matrix43(r[0], r[1], r[2], t.x, r[3], r[4], r[5], t.y, r[6], r[7], r[8], t.z);
  return *this;
}

Matrix43& Matrix43::MakeScale(const Vec3& s) {
  *this = Matrix43(s.x, 0, 0, 0, 0, s.y, 0, 0, 0, 0, s.z, 0);
  return *this;
}

void Matrix43::Make4Rotation(Matrix43* out, const Quaternion* q, const Vec4* t) {
  __m128 rows[12];
  RotationRows4(q, t, rows);
  for (int i = 0; i < 4; ++i)
    for (int r = 0; r < 3; ++r) out[i].SetRow(r, rows[3 * i + r]);
}

void Matrix43::Multiply4(Matrix43* m, const Matrix43* b) {
  // One matrix after the other: the four products are independent, so the processor
  // overlaps them anyway, and six live rows fit the registers without spilling.
  for (int i = 0; i < 4; ++i) m[i] *= b[i];
}

void Matrix43::Make4RotationMultiply4(Matrix43* out, const Quaternion* q, const Vec4* t, const Matrix43* b) {
  __m128 rows[12];
  RotationRows4(q, t, rows);
  for (int i = 0; i < 4; ++i) {
    const __m128 b0 = b[i].Row(0), b1 = b[i].Row(1), b2 = b[i].Row(2);
    for (int r = 0; r < 3; ++r) out[i].SetRow(r, Detail::AffineRowTimes(rows[3 * i + r], b0, b1, b2));
  }
}

}  // namespace Yr
