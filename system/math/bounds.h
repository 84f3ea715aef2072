// Bounding volumes: the axis-aligned box (AABB), the sphere, the ray and the integer 2D
// point, the values visibility and intersection queries test against each other.
//
//   Yr::AABB box(points, count);                      // tightest box around the points
//   float t;
//   if (box.CastRay(from, to, t, 0.01f)) hit = from + (to - from) * t;
//   Yr::Sphere s;
//   s.CalculateBoundingSphere(count, points);         // one pass, close to the smallest
//
// Boxes are half-open: a point on a max face is outside, one on a min face inside; boxes
// that share only a face do not collide. Plain value types without allocation or state; a
// default-constructed box or sphere is uninitialised.
#pragma once

#include <cstdint>

#include "system/math/matrix.h"
#include "system/math/vector.h"
#include "system/platform/export.h"

namespace Yr {

struct YR_API Sphere {
  alignas(16) Vec3 center;
  float radius;

  Sphere() = default;
  constexpr Sphere(const Vec3& c, float r) : center(c), radius(r) {}

  // The centre moved as a point by m; the radius unchanged.
  Sphere TransformNoScale(const Matrix43& m) const { return {m.TransformPoint(center), radius}; }
  // Touching spheres intersect.
  bool IntersectsWith(const Sphere& o) const;
  // The smallest sphere enclosing both.
  Sphere Merge(const Sphere& o) const;
  // Eight points centre ± radius·√3/2 per axis: point i takes + on X for bit 2 of i, on Y for
  // bit 1, on Z for bit 0. They are the corners of the box inscribed in the sphere.
  void GenerateAABBPoints(Vec3* out) const;
  // Encloses the points in one pass (extreme pair first, then growing to each point outside).
  // No points give the sphere of radius 0 at the origin.
  void CalculateBoundingSphere(unsigned count, const Vec3* pts);
};

struct YR_API Ray {
  Vec3 origin;
  Vec3 direction;  // need not be unit length

  Ray() = default;
  constexpr Ray(const Vec3& o, const Vec3& d) : origin(o), direction(d) {}
};

struct YR_API Point {
  int32_t x, y;

  Point() = default;
  constexpr Point(int32_t xv, int32_t yv) : x(xv), y(yv) {}
  bool operator==(const Point& o) const { return x == o.x && y == o.y; }
  float Distance(const Point& o) const;
};

class YR_API AABB {
 public:
  Vec3 min;
  Vec3 max;

  AABB() = default;
  AABB(const Vec3& minCorner, const Vec3& maxCorner) : min(minCorner), max(maxCorner) {}
  // The tightest box around n points; no points give the box at the origin.
  AABB(const Vec3* const pts, int n) { CalcExtents(pts, n); }
  AABB& operator=(const AABB&) = default;

  void Set(const Vec3& minCorner, const Vec3& maxCorner) {
    min = minCorner;
    max = maxCorner;
  }
  void Set(const Vec3* const pts, int n) { CalcExtents(pts, n); }
  void Zero() { min = max = Vec3(0, 0, 0); }
  const Vec3& GetMin() const { return min; }
  const Vec3& GetMax() const { return max; }
  void SetMin(const Vec3& v) { min = v; }
  void SetMax(const Vec3& v) { max = v; }

  // Half the size.
  Vec3 GetExtents() const { return (max - min) * 0.5f; }
  Vec3 GetCenter() const { return (min + max) * 0.5f; }
  // Centred, radius √3 times the largest half-size: encloses the box's cube.
  Sphere GetOutsideSphere() const;
  // The eight corners: corner i takes min on X when bit 0 of i is set, on Y when bit 2 is
  // set, on Z when bit 1 is set, max otherwise (0 is max, max, max; 7 is min, min, min).
  // The Vec4 form sets w = 1.
  void Build8Verts(Vec3* const out) const;
  void Build8Verts(Vec4* const out) const;

  // min ≤ p < max on every axis.
  bool IsPointInside(const Vec3& p) const;
  // min − e ≤ p < max + e on every axis.
  bool IsInside(const Vec3& p, float e) const;
  // Overlap with positive volume; shared faces do not collide.
  bool TestCollision(const AABB& o) const;
  AABB& Combine(const AABB& o);
  // The segment start → end against the box grown by e on every side. On a hit t is the
  // entry as a fraction of the segment, 0 when start lies inside.
  bool CastRay(const Vec3& start, const Vec3& end, float& t, float e) const;

  static const char* GetRTTI() { return "AABB"; }

 protected:
  void CalcExtents(const Vec3* pts, int n);
};

static_assert(sizeof(AABB) == 2 * sizeof(Vec3), "min then max");
static_assert(sizeof(Sphere) == 4 * sizeof(float) && alignof(Sphere) == 16, "one aligned 4-wide vector");
static_assert(sizeof(Ray) == 2 * sizeof(Vec3) && sizeof(Point) == 2 * sizeof(int32_t));
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(AABB) == 24 && sizeof(Sphere) == 16 && alignof(Sphere) == 16 && sizeof(Ray) == 24,
              "32-bit bounds layouts");
#endif

}  // namespace Yr
