// Quaternion: a rotation as (x, y, z, w), vector part first, 16-byte aligned, and the
// interpolators between rotations.
//
//   Yr::Quaternion q(Yr::Vec3(0, 0, 1), angle);          // about +Z, right-handed
//   Yr::Quaternion mid = Yr::QuaternionSlerp(q, other, 0.5f);
//   Yr::Matrix43 m;
//   m.MakeRotation(mid, Yr::Vec4(position, 1));
//
//   // A smooth path through keys k0, k1, k2, k3: the segment k1 → k2.
//   Yr::Quaternion a, b, c;
//   Yr::QuaternionSquadSetup(a, b, c, k0, k1, k2, k3);
//   Yr::Quaternion at = Yr::QuaternionSquad(k1, a, b, c, t);
//
// A rotation by θ about the unit axis u is (u·sin(θ/2), cos(θ/2)); the identity is
// (0, 0, 0, 1); q and −q are the same rotation. Products are Hamilton products: (p·q)
// rotates by q first. Value type, no state, any thread.
#pragma once

#include <cstdint>

#include "system/math/vector.h"
#include "system/platform/export.h"

namespace Yr {

struct Matrix4;

struct YR_API Quaternion {
  alignas(16) float x;
  float y, z, w;

  Quaternion() = default;
  constexpr Quaternion(float xv, float yv, float zv, float wv) : x(xv), y(yv), z(zv), w(wv) {}
  // (v·s, w): a plain componentwise set.
  constexpr Quaternion(const Vec3& v, float s, float wv) : x(v.x * s), y(v.y * s), z(v.z * s), w(wv) {}
  // Rotation by angle about axis: (axis·sin(angle/2), cos(angle/2)); the axis is taken as given.
  Quaternion(const Vec3& axis, float angle);
  // Euler angles: a about X first, then b about Y, then c about Z.
  Quaternion(float a, float b, float c);

  Vec3 Vector() const { return {x, y, z}; }

  Quaternion operator*(const Quaternion& q) const {
    return {w * q.x + q.w * x + (y * q.z - z * q.y), w * q.y + q.w * y + (z * q.x - x * q.z),
            w * q.z + q.w * z + (x * q.y - y * q.x), w * q.w - (x * q.x + y * q.y + z * q.z)};
  }
  Quaternion operator*(float s) const { return {x * s, y * s, z * s, w * s}; }
  Quaternion operator+(const Quaternion& q) const { return {x + q.x, y + q.y, z + q.z, w + q.w}; }
  Quaternion operator-(const Quaternion& q) const { return {x - q.x, y - q.y, z - q.z, w - q.w}; }
  Quaternion operator-() const { return {-x, -y, -z, -w}; }
  bool operator==(const Quaternion& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
  bool operator!=(const Quaternion& o) const { return !(*this == o); }

  // The inverse rotation of a unit quaternion.
  Quaternion Conjugate() const { return {-x, -y, -z, w}; }

  // Multiplies by 1/Length(); the zero quaternion is not guarded.
  Quaternion& Normalise();
  float LengthSquared() const { return x * x + y * y + z * z + w * w; }
  // 1, not 0, for the zero quaternion, so dividing by it never makes NaN.
  float Length() const;
  // Multiplies the rotation's angle by k about the same axis. Rotations too small to have a
  // usable axis, and quaternions without a vector part, keep their value (w clamped to ±1).
  Quaternion& ScaleRotation(float k);
  // Signed angle about Z of a quaternion taken to rotate about Z only; 0 when |z| ≤ epsilon.
  float ZAxisOnlyRot() const;
  // exp of the vector part (w ignored): (v̂·sin|v|, cos|v|).
  Quaternion Exp() const;
  // The logarithm, the inverse of Exp: for a unit quaternion (v̂·θ, 0) with θ the angle whose
  // sine and cosine are |v| and w. Other lengths give the vector part of their direction and
  // ln|q| as w; the zero quaternion gives zero.
  Quaternion Ln() const;
};

inline Quaternion operator*(float s, const Quaternion& q) { return q * s; }
inline float Dot(const Quaternion& a, const Quaternion& b) { return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w; }

// The rotation of the upper 3×3 block of m (not normalised).
YR_API Quaternion MatrixToQuat(const Matrix4& m);
// The same with a caller-chosen trace threshold between the two branches; normalised.
YR_API Quaternion MatrixToQuat(const Matrix4& m, float threshold);
// Spherical linear interpolation along the shorter arc; t = 0 gives q1.
YR_API Quaternion QuaternionSlerp(const Quaternion& q1, const Quaternion& q2, float t);
// Slerp(Slerp(q1, q2, f + g), Slerp(q1, q3, f + g), g/(f + g)); q1 when f + g is 0.
YR_API Quaternion QuaternionBaryCentric(const Quaternion& q1, const Quaternion& q2, const Quaternion& q3, float f,
                                        float g);
// Spherical quadrangle interpolation from q1 (t = 0) to q2 (t = 1) with inner points a, b.
YR_API Quaternion QuaternionSquad(const Quaternion& q1, const Quaternion& a, const Quaternion& b,
                                  const Quaternion& q2, float t);
// Inner points aOut, bOut and end cOut of the segment q1 → q2 of a path through q0 … q3, for
// QuaternionSquad(q1, aOut, bOut, cOut, t). Consecutive segments set up this way meet with the
// same tangent.
YR_API void QuaternionSquadSetup(Quaternion& aOut, Quaternion& bOut, Quaternion& cOut, const Quaternion& q0,
                                 const Quaternion& q1, const Quaternion& q2, const Quaternion& q3);

static_assert(sizeof(Quaternion) == 4 * sizeof(float) && alignof(Quaternion) == 16, "one aligned SSE register");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Quaternion) == 16 && alignof(Quaternion) == 16, "32-bit quaternion layout");
#endif

}  // namespace Yr
