#include "system/math/quaternion.h"

#include <cmath>

#include "system/math/math_const.h"
#include "system/math/matrix.h"

namespace Yr {

namespace {

// Below this sine of the half angle a rotation has no axis worth keeping.
constexpr float kScaleRotationMinSine = 0.001f;
// Slerp falls back to linear weights when 1 − cos θ is this small.
constexpr float kSlerpLinearThreshold = 0.001f;
// Squared lengths in (kUnitLow, kUnitHigh] count as unit for Ln.
constexpr float kUnitLow = 0.99999f;
constexpr float kUnitHigh = 1.0001f;

// Successor of each axis in the cyclic order X → Y → Z → X.
constexpr int kNextAxis[3] = {1, 2, 0};

float& Component(Quaternion& q, int axis) { return (&q.x)[axis]; }

int LargestDiagonal(const Matrix4& m) {
  int i = 0;
  if (m(1, 1) > m(0, 0)) i = 1;
  if (m(2, 2) > m(i, i)) i = 2;
  return i;
}

// Logarithm of the relative rotation taken along the shorter arc, so the control points
// of a path do not depend on which of q and −q the caller's keys hold.
Quaternion ShortLn(const Quaternion& q) { return (q.w < 0.0f ? -q : q).Ln(); }

// The squad inner point at q given its neighbours: q·exp(−(ln(q⁻¹·next) + ln(q⁻¹·prev))/4).
Quaternion InnerPoint(const Quaternion& prev, const Quaternion& q, const Quaternion& next) {
  const Quaternion inverse = q.Conjugate();
  const Vec3 sum = ShortLn(inverse * next).Vector() + ShortLn(inverse * prev).Vector();
  return q * Quaternion(sum, -0.25f, 0.0f).Exp();
}

Quaternion NearerSign(const Quaternion& reference, const Quaternion& q) {
  return (reference - q).LengthSquared() > (reference + q).LengthSquared() ? -q : q;
}

}  // namespace

Quaternion::Quaternion(const Vec3& axis, float angle) {
  const float s = std::sin(angle * 0.5f);
  *this = Quaternion(axis.x * s, axis.y * s, axis.z * s, std::cos(angle * 0.5f));
}

Quaternion::Quaternion(float a, float b, float c) {
  const float sa = std::sin(a * 0.5f), ca = std::cos(a * 0.5f);
  const float sb = std::sin(b * 0.5f), cb = std::cos(b * 0.5f);
  const float sc = std::sin(c * 0.5f), cc = std::cos(c * 0.5f);
  x = cc * cb * sa - sc * sb * ca;
  y = cc * sb * ca + sc * cb * sa;
  z = sc * cb * ca - cc * sb * sa;
  w = cc * cb * ca + sc * sb * sa;
}

Quaternion& Quaternion::Normalise() {
  const float k = 1.0f / std::sqrt(LengthSquared());
  return *this = *this * k;
}

float Quaternion::Length() const {
  const float n = LengthSquared();
  return n == 0.0f ? 1.0f : std::sqrt(n);
}

Quaternion& Quaternion::ScaleRotation(float k) {
  w = Detail::ClampUnit(w);
  const float angle = 2.0f * std::acos(w);
  const float s = std::sin(angle * 0.5f);
  if (!(s > kScaleRotationMinSine)) return *this;
  const Vec3 axis = Vector() * (1.0f / s);
  // A non-unit quaternion can pass the sine test with no vector part at all.
  const float length = axis.Length();
  if (!(length > 0.0f)) return *this;
  const float half = angle * k * 0.5f;
  *this = Quaternion(axis, std::sin(half) / length, std::cos(half));
  return *this;
}

float Quaternion::ZAxisOnlyRot() const {
  if (std::fabs(z) <= gConst.epsilon) return 0.0f;
  const float angle = 2.0f * std::acos(Detail::ClampUnit(w));
  return z >= 0.0f ? angle : -angle;
}

Quaternion Quaternion::Exp() const {
  const float theta = Vector().Length();
  if (theta == 0.0f) return {0.0f, 0.0f, 0.0f, 1.0f};
  return Quaternion(Vector(), std::sin(theta) / theta, std::cos(theta));
}

Quaternion Quaternion::Ln() const {
  const float n = LengthSquared();
  const float r = Vector().Length();
  const float scalar = (n > kUnitLow && n <= kUnitHigh) || n == 0.0f ? 0.0f : 0.5f * std::log(n);
  if (r == 0.0f) {
    // No axis: the identity's direction has angle 0; −1 is a half turn about any axis, X here.
    return {w < 0.0f ? gConst.pi : 0.0f, 0.0f, 0.0f, scalar};
  }
  // The angle is independent of the length, so every non-zero quaternion gets the angle of
  // its direction. (x/r)·θ keeps a tiny r from overflowing θ/r.
  const float theta = std::atan2(r, w);
  return {x / r * theta, y / r * theta, z / r * theta, scalar};
}

Quaternion MatrixToQuat(const Matrix4& m) {
  const float tr1 = m(0, 0) + m(1, 1) + m(2, 2) + 1.0f;
  if (tr1 > 1.0f) {
    const float root = std::sqrt(tr1);
    const float s = 2.0f * root;
    return {(m(2, 1) - m(1, 2)) / s, (m(0, 2) - m(2, 0)) / s, (m(1, 0) - m(0, 1)) / s, root / 2.0f};
  }
  const int i = LargestDiagonal(m), j = kNextAxis[i], k = kNextAxis[j];
  const float s = 2.0f * std::sqrt(m(i, i) - m(j, j) - m(k, k) + 1.0f);
  Quaternion q;
  Component(q, i) = s / 4.0f;
  Component(q, j) = (m(i, j) + m(j, i)) / s;
  Component(q, k) = (m(i, k) + m(k, i)) / s;
  q.w = (m(k, j) - m(j, k)) / s;
  return q;
}

Quaternion MatrixToQuat(const Matrix4& m, float threshold) {
  const float tr1 = m(0, 0) + m(1, 1) + m(2, 2) + 1.0f;
  Quaternion q;
  if (tr1 > threshold) {
    const float h = 0.5f / std::sqrt(tr1);
    q = Quaternion((m(2, 1) - m(1, 2)) * h, (m(0, 2) - m(2, 0)) * h, (m(1, 0) - m(0, 1)) * h, 0.25f / h);
  } else {
    const int i = LargestDiagonal(m), j = kNextAxis[i], k = kNextAxis[j];
    const float r = std::sqrt(m(i, i) - (m(k, k) + m(j, j)) + 1.0f);
    const float h = r == 0.0f ? 0.0f : 0.5f / r;
    Component(q, i) = r * 0.5f;
    Component(q, j) = (m(j, i) + m(i, j)) * h;
    Component(q, k) = (m(k, i) + m(i, k)) * h;
    q.w = (m(k, j) - m(j, k)) * h;
  }
  return q * (1.0f / std::sqrt(q.LengthSquared()));
}

Quaternion QuaternionSlerp(const Quaternion& q1, const Quaternion& q2, float t) {
  float c = Dot(q1, q2);
  float sign = 1.0f;
  if (c < 0.0f) {
    c = -c;
    sign = -1.0f;
  }
  float k1 = 1.0f - t, k2 = t;
  if (1.0f - c > kSlerpLinearThreshold) {
    const float theta = std::acos(c);
    // Divided, not multiplied by a reciprocal: t = 0 then gives q1 exactly.
    const float s = std::sin(theta);
    k1 = std::sin((1.0f - t) * theta) / s;
    k2 = std::sin(t * theta) / s;
  }
  return q1 * k1 + q2 * (sign * k2);
}

Quaternion QuaternionBaryCentric(const Quaternion& q1, const Quaternion& q2, const Quaternion& q3, float f,
                                 float g) {
  const float s = f + g;
  // Both weights zero is q1 itself; g/s would be NaN.
  if (s == 0.0f) return q1;
  return QuaternionSlerp(QuaternionSlerp(q1, q2, s), QuaternionSlerp(q1, q3, s), g / s);
}

Quaternion QuaternionSquad(const Quaternion& q1, const Quaternion& a, const Quaternion& b, const Quaternion& q2,
                           float t) {
  return QuaternionSlerp(QuaternionSlerp(q1, q2, t), QuaternionSlerp(a, b, t), 2.0f * t * (1.0f - t));
}

void QuaternionSquadSetup(Quaternion& aOut, Quaternion& bOut, Quaternion& cOut, const Quaternion& q0,
                          const Quaternion& q1, const Quaternion& q2, const Quaternion& q3) {
  const Quaternion q0s = NearerSign(q1, q0);
  const Quaternion q2s = NearerSign(q1, q2);
  const Quaternion q3s = NearerSign(q2, q3);
  aOut = InnerPoint(q0s, q1, q2s);
  bOut = InnerPoint(q1, q2s, q3s);
  cOut = q2s;
}

}  // namespace Yr
