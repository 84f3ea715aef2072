// Plane: n·p + d = 0 with n = (a, b, c), and its intersections with planes, rays and spheres.
//
//   Yr::Plane ground(Yr::Vec3(0, 0, 0), Yr::Vec3(1, 0, 0), Yr::Vec3(0, 0, -1));  // y = 0, front +Y
//   float height = ground.DistanceTo(p);
//   Yr::Vec3 hit;
//   if (ground.Intersect(Yr::Ray(eye, dir), hit)) ...
//
// A point is in front of the plane when n·p + d > 0. The library's own constructors make n
// unit length, so n·p + d is then the signed distance. Plain value type.
#pragma once

#include <cstdint>

#include "system/math/bounds.h"
#include "system/math/matrix.h"
#include "system/math/vector.h"
#include "system/platform/export.h"

namespace Yr {

struct YR_API Plane {
  float a, b, c, d;

  Plane() = default;
  constexpr Plane(float av, float bv, float cv, float dv) : a(av), b(bv), c(cv), d(dv) {}
  // Through three points; counter-clockwise seen from the front. Collinear points are unguarded.
  Plane(const Vec3& p0, const Vec3& p1, const Vec3& p2);

  Vec3 Normal() const { return {a, b, c}; }

  // (a, b, c, d) multiplied by m: component i is row i of m dotted with it. To move the plane
  // with a point transform T pass the inverse transpose of T.
  Plane Transform(const Matrix4& m) const;
  // −1 behind, +1 in front, 0 exactly on the plane (no tolerance).
  int WhichSide(const Vec3& p) const;
  float DistanceTo(const Vec3& p) const { return a * p.x + b * p.y + c * p.z + d; }
  Vec3 MirrorPoint(const Vec3& p) const { return p - Normal() * (2.0f * DistanceTo(p)); }

  // The line both planes hold: origin its point nearest the coordinate origin, direction
  // n₁ × n₂ (not normalised). False, line untouched, for parallel planes.
  bool Intersect(const Plane& o, Ray& line) const;
  // Where the ray's full line crosses the plane (behind its origin too). False, hit
  // untouched, when the ray runs parallel.
  bool Intersect(const Ray& r, Vec3& hit) const;
  // The circle where the plane cuts the sphere. centre is always set to the sphere's centre
  // projected onto the plane; false with radius 0 when the plane misses or only touches.
  bool Intersect(const Sphere& s, Vec3& centre, float& radius) const;
};

static_assert(sizeof(Plane) == 4 * sizeof(float), "a, b, c, d");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Plane) == 16, "32-bit plane layout");
#endif

}  // namespace Yr
