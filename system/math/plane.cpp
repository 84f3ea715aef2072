#include "system/math/plane.h"

#include <cmath>

#include "system/math/math_const.h"

namespace Yr {

Plane::Plane(const Vec3& p0, const Vec3& p1, const Vec3& p2) {
  const Vec3 n = Cross(p1 - p0, p2 - p0).Normalised();
  *this = Plane(n.x, n.y, n.z, -Dot(n, p0));
}

Plane Plane::Transform(const Matrix4& m) const {
  const Vec4 v = m.Transform(Vec4(a, b, c, d));
  return {v.x, v.y, v.z, v.w};
}

int Plane::WhichSide(const Vec3& p) const {
  const float s = DistanceTo(p);
  return s < 0.0f ? -1 : (s > 0.0f ? 1 : 0);
}

bool Plane::Intersect(const Plane& o, Ray& line) const {
  const Vec3 n1 = Normal(), n2 = o.Normal();
  const float g = Dot(n1, n2);
  if (std::fabs(g) >= 1.0f - gConst.epsilon) return false;
  const float k = 1.0f / (1.0f - g * g);
  const float c1 = (o.d * g - d) * k;
  const float c2 = (d * g - o.d) * k;
  line.origin = n1 * c1 + n2 * c2;
  line.direction = Cross(n1, n2);
  return true;
}

bool Plane::Intersect(const Ray& r, Vec3& hit) const {
  const float g = Dot(Normal(), r.direction);
  if (std::fabs(g) <= gConst.epsilon) return false;
  const float s = -DistanceTo(r.origin) / g;
  hit = r.origin + r.direction * s;
  return true;
}

bool Plane::Intersect(const Sphere& s, Vec3& centre, float& radius) const {
  const float g = DistanceTo(s.center);
  centre = s.center - Normal() * g;
  if (s.radius <= std::fabs(g)) {
    radius = 0.0f;
    return false;
  }
  radius = std::sqrt(s.radius * s.radius - g * g);
  return true;
}

}  // namespace Yr
