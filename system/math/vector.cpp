#include "system/math/vector.h"

#include "system/math/math_const.h"

namespace Yr {

float Vec3::Angle(const Vec3& o) const {
  const float dot = Dot(*this * (1.0f / Length()), o * (1.0f / o.Length()));
  return std::acos(Detail::ClampUnit(dot));
}

float Vec3::Angle() const {
  const float angle = std::acos(Detail::ClampUnit(x / Length()));
  return y < 0.0f ? -angle : angle;
}

float Vec3::DistToLine(const Vec3& a, const Vec3& b) const {
  const Vec3 ab = b - a;
  return Cross(a - *this, ab).Length() / ab.Length();
}

Vec3 Vec3::NearestPointOnLine(const Vec3& a, const Vec3& b, float& t) const {
  const Vec3 ab = b - a;
  t = Dot(*this - a, ab) / ab.LengthSquared();
  return a + ab * t;
}

Vec2 Rotate(const Vec2& v, float a) {
  const float c = std::cos(a), s = std::sin(a);
  return {v.x * c - v.y * s, v.y * c + v.x * s};
}

Vec3 RotateX(const Vec3& v, float a) {
  const float c = std::cos(a), s = std::sin(a);
  return {v.x, v.y * c - v.z * s, v.z * c + v.y * s};
}

Vec3 RotateZ(const Vec3& v, float a) {
  const float c = std::cos(a), s = std::sin(a);
  return {v.x * c - v.y * s, v.y * c + v.x * s, v.z};
}

Vec3 Vec3BaryCentric(const Vec3& a, const Vec3& b, const Vec3& c, float f, float g) {
  return a * (1.0f - f - g) + b * f + c * g;
}

Vec3 Vec3CatmullRom(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3, float s) {
  const float s2 = s * s, s3 = s2 * s;
  return (p1 * 2.0f + (p2 - p0) * s + (p0 * 2.0f - p1 * 5.0f + p2 * 4.0f - p3) * s2 +
          (p1 * 3.0f - p0 - p2 * 3.0f + p3) * s3) *
         0.5f;
}

Vec3 Vec3Hermite(const Vec3& p1, const Vec3& t1, const Vec3& p2, const Vec3& t2, float s) {
  const float s2 = s * s, s3 = s2 * s;
  return p1 * (2.0f * s3 - 3.0f * s2 + 1.0f) + t1 * (s3 - 2.0f * s2 + s) + p2 * ((3.0f - 2.0f * s) * s2) +
         t2 * (s3 - s2);
}

}  // namespace Yr
