// Vec2, Vec3, Vec4: the plain vector value types of the math library.
//
//   Yr::Vec3 a(1, 2, 3), b(0, 1, 0);
//   float angle = a.Angle(b);             // radians, in [0, pi]
//   Yr::Vec3 n = Yr::Cross(a, b).Normalised();
//   Yr::Vec3 p = Yr::Vec3CatmullRom(p0, p1, p2, p3, 0.5f);
//
// Vec2 and Vec3 are packed floats (arrays of Vec3 have a 12-byte stride). Vec4 is 16-byte
// aligned and its arithmetic runs on one SSE register. No allocation, no state; every type
// is safe to use from any thread. Constructors without arguments leave the value
// uninitialised, as arrays of vectors are filled right after they are made.
#pragma once

#include <emmintrin.h>

#include <cmath>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

struct Vec4;

struct YR_API Vec2 {
  float x, y;

  Vec2() = default;
  constexpr Vec2(float xv, float yv) : x(xv), y(yv) {}

  Vec2 operator+(const Vec2& o) const { return {x + o.x, y + o.y}; }
  Vec2 operator-(const Vec2& o) const { return {x - o.x, y - o.y}; }
  Vec2 operator-() const { return {-x, -y}; }
  Vec2 operator*(float s) const { return {x * s, y * s}; }
  Vec2 operator/(float s) const { return {x / s, y / s}; }
  Vec2& operator+=(const Vec2& o) { x += o.x; y += o.y; return *this; }
  Vec2& operator-=(const Vec2& o) { x -= o.x; y -= o.y; return *this; }
  Vec2& operator*=(float s) { x *= s; y *= s; return *this; }
  bool operator==(const Vec2& o) const { return x == o.x && y == o.y; }
  bool operator!=(const Vec2& o) const { return !(*this == o); }

  float LengthSquared() const { return x * x + y * y; }
  float Length() const { return std::sqrt(LengthSquared()); }
};

struct YR_API Vec3 {
  float x, y, z;

  Vec3() = default;
  constexpr Vec3(float xv, float yv, float zv) : x(xv), y(yv), z(zv) {}
  // Copies x, y, z; w is dropped, not divided by.
  explicit Vec3(const Vec4& v);

  float& operator[](int i) { return (&x)[i]; }
  float operator[](int i) const { return (&x)[i]; }

  Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
  Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
  Vec3 operator-() const { return {-x, -y, -z}; }
  Vec3 operator*(float s) const { return {x * s, y * s, z * s}; }
  Vec3 operator/(float s) const { return {x / s, y / s, z / s}; }
  Vec3& operator+=(const Vec3& o) { x += o.x; y += o.y; z += o.z; return *this; }
  Vec3& operator-=(const Vec3& o) { x -= o.x; y -= o.y; z -= o.z; return *this; }
  Vec3& operator*=(float s) { x *= s; y *= s; z *= s; return *this; }
  Vec3& operator/=(float s) { return *this *= 1.0f / s; }
  bool operator==(const Vec3& o) const { return x == o.x && y == o.y && z == o.z; }
  bool operator!=(const Vec3& o) const { return !(*this == o); }

  float LengthSquared() const { return x * x + y * y + z * z; }
  float Length() const { return std::sqrt(LengthSquared()); }
  // Scales to unit length by the reciprocal of the length; a zero vector is not guarded.
  Vec3& Normalise() { return *this *= 1.0f / Length(); }
  Vec3 Normalised() const { return *this * (1.0f / Length()); }

  // Unsigned angle between the two directions, in [0, pi].
  float Angle(const Vec3& o) const;
  // Signed angle from +X: acos(x / |v|), negative when y < 0. |v| is the full 3D length.
  float Angle() const;
  // Distance of this point from the infinite line through a and b.
  float DistToLine(const Vec3& a, const Vec3& b) const;
  // Nearest point of the infinite line through a and b; t is its unclamped parameter.
  Vec3 NearestPointOnLine(const Vec3& a, const Vec3& b, float& t) const;
};

struct YR_API Vec4 {
  alignas(16) float x;
  float y, z, w;

  Vec4() = default;
  constexpr Vec4(float xv, float yv, float zv, float wv) : x(xv), y(yv), z(zv), w(wv) {}
  constexpr Vec4(const Vec3& v, float wv) : x(v.x), y(v.y), z(v.z), w(wv) {}
  explicit Vec4(__m128 v) { _mm_store_ps(&x, v); }

  __m128 Simd() const { return _mm_load_ps(&x); }

  float& operator[](int i) { return (&x)[i]; }
  float operator[](int i) const { return (&x)[i]; }

  Vec4 operator+(const Vec4& o) const { return Vec4(_mm_add_ps(Simd(), o.Simd())); }
  Vec4 operator-(const Vec4& o) const { return Vec4(_mm_sub_ps(Simd(), o.Simd())); }
  Vec4 operator-() const { return Vec4(_mm_sub_ps(_mm_setzero_ps(), Simd())); }
  Vec4 operator*(float s) const { return Vec4(_mm_mul_ps(Simd(), _mm_set1_ps(s))); }
  Vec4& operator+=(const Vec4& o) { return *this = *this + o; }
  Vec4& operator-=(const Vec4& o) { return *this = *this - o; }
  Vec4& operator*=(float s) { return *this = *this * s; }
  bool operator==(const Vec4& o) const { return _mm_movemask_ps(_mm_cmpeq_ps(Simd(), o.Simd())) == 0xF; }
  bool operator!=(const Vec4& o) const { return !(*this == o); }

  float LengthSquared() const { return x * x + y * y + z * z + w * w; }
  float Length() const { return std::sqrt(LengthSquared()); }
};

inline Vec3::Vec3(const Vec4& v) : x(v.x), y(v.y), z(v.z) {}

inline Vec2 operator*(float s, const Vec2& v) { return v * s; }
inline Vec3 operator*(float s, const Vec3& v) { return v * s; }
inline Vec4 operator*(float s, const Vec4& v) { return v * s; }

inline float Dot(const Vec2& a, const Vec2& b) { return a.x * b.x + a.y * b.y; }
inline float Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline float Dot(const Vec4& a, const Vec4& b) { return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w; }
inline Vec3 Cross(const Vec3& a, const Vec3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
// Componentwise extremes, as bounding boxes grow them.
inline Vec3 Min(const Vec3& a, const Vec3& b) {
  return {a.x < b.x ? a.x : b.x, a.y < b.y ? a.y : b.y, a.z < b.z ? a.z : b.z};
}
inline Vec3 Max(const Vec3& a, const Vec3& b) {
  return {a.x > b.x ? a.x : b.x, a.y > b.y ? a.y : b.y, a.z > b.z ? a.z : b.z};
}

// Counter-clockwise rotation by a radians.
YR_API Vec2 Rotate(const Vec2& v, float a);
// Rotations about the X and the Z axis by a radians (right-handed).
YR_API Vec3 RotateX(const Vec3& v, float a);
YR_API Vec3 RotateZ(const Vec3& v, float a);
// a·(1 − f − g) + b·f + c·g.
YR_API Vec3 Vec3BaryCentric(const Vec3& a, const Vec3& b, const Vec3& c, float f, float g);
// Catmull-Rom spline through p1 (s = 0) and p2 (s = 1), shaped by p0 and p3.
YR_API Vec3 Vec3CatmullRom(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3, float s);
// Hermite curve from p1 with tangent t1 to p2 with tangent t2.
YR_API Vec3 Vec3Hermite(const Vec3& p1, const Vec3& t1, const Vec3& p2, const Vec3& t2, float s);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Vec3) == 12 && sizeof(Vec4) == 16 && alignof(Vec4) == 16, "32-bit vector layouts");
#endif
static_assert(sizeof(Vec2) == 2 * sizeof(float), "Vec2 is two packed floats");
static_assert(sizeof(Vec3) == 3 * sizeof(float), "arrays of Vec3 have a 12-byte stride");
static_assert(sizeof(Vec4) == 4 * sizeof(float) && alignof(Vec4) == 16, "Vec4 is one aligned SSE register");

}  // namespace Yr
