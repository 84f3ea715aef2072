#include "system/math/bounds.h"

#include <cmath>

namespace Yr {

namespace {

constexpr float kSqrt3 = 1.7320508f;
constexpr float kHalfSqrt3 = 0.8660254f;
// CastRay: directions shorter than this along an axis count as parallel to its faces.
constexpr float kParallel = 1e-6f;
constexpr float kFar = 1e20f;
// Merge: centres closer than this count as the same centre.
constexpr float kSameCentre = 1e-4f;
constexpr int kCorners = 8;

}  // namespace

// ---- Sphere ----

bool Sphere::IntersectsWith(const Sphere& o) const {
  const float r = radius + o.radius;
  return r * r >= (center - o.center).LengthSquared();
}

Sphere Sphere::Merge(const Sphere& o) const {
  const Vec3 v = o.center - center;
  const float dist2 = v.LengthSquared();
  const float dr = o.radius - radius;
  if (dist2 <= dr * dr) return dr >= 0.0f ? o : *this;
  const float dist = std::sqrt(dist2);
  const Vec3 c = dist > kSameCentre ? center + v * ((dist + dr) / (2.0f * dist)) : center;
  return {c, (radius + o.radius + dist) * 0.5f};
}

void Sphere::GenerateAABBPoints(Vec3* out) const {
  const float h = radius * kHalfSqrt3;
  for (int i = 0; i < kCorners; ++i)
    out[i] = center + Vec3(i & 4 ? h : -h, i & 2 ? h : -h, i & 1 ? h : -h);
}

void Sphere::CalculateBoundingSphere(unsigned count, const Vec3* pts) {
  if (count == 0) {
    // Nothing to enclose, and nothing that may be read.
    *this = Sphere(Vec3(0, 0, 0), 0.0f);
    return;
  }
  // Lowest and highest point on each axis; the first point to reach an extreme keeps it.
  // The extreme values stay in registers, the points are only remembered.
  unsigned lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
  float loValue[3] = {pts[0].x, pts[0].y, pts[0].z};
  float hiValue[3] = {pts[0].x, pts[0].y, pts[0].z};
  for (unsigned i = 1; i < count; ++i) {
    for (int axis = 0; axis < 3; ++axis) {
      const float v = pts[i][axis];
      if (v < loValue[axis]) {
        loValue[axis] = v;
        lo[axis] = i;
      }
      if (v > hiValue[axis]) {
        hiValue[axis] = v;
        hi[axis] = i;
      }
    }
  }
  // The widest pair; ties go to X, then Y.
  int widest = 0;
  float widest2 = (pts[hi[0]] - pts[lo[0]]).LengthSquared();
  for (int axis = 1; axis < 3; ++axis) {
    const float span2 = (pts[hi[axis]] - pts[lo[axis]]).LengthSquared();
    if (span2 > widest2) {
      widest = axis;
      widest2 = span2;
    }
  }
  Vec3 c = (pts[hi[widest]] + pts[lo[widest]]) * 0.5f;
  float r = (pts[hi[widest]] - c).Length();
  float r2 = r * r;
  for (unsigned i = 0; i < count; ++i) {
    const Vec3& p = pts[i];
    const float d2 = (p - c).LengthSquared();
    if (d2 > r2) {
      // Grow just enough to reach p, keeping the far side of the old sphere.
      const float dist = std::sqrt(d2);
      const float newR = (dist + r) * 0.5f;
      c = (c * newR + p * (dist - newR)) * (1.0f / dist);
      r = newR;
      r2 = newR * newR;
    }
  }
  center = c;
  radius = r;
}

// ---- Point ----

float Point::Distance(const Point& o) const {
  // In double: differences of 32-bit coordinates need 33 bits and their squares 66, yet
  // every such distance is an ordinary float.
  const double dx = double(x) - o.x, dy = double(y) - o.y;
  return static_cast<float>(std::sqrt(dx * dx + dy * dy));
}

// ---- AABB ----

void AABB::CalcExtents(const Vec3* pts, int n) {
  if (n <= 0) {
    Zero();
    return;
  }
  min = max = pts[0];
  for (int i = 1; i < n; ++i) {
    min = Min(min, pts[i]);
    max = Max(max, pts[i]);
  }
}

Sphere AABB::GetOutsideSphere() const {
  const Vec3 h = GetExtents();
  float largest = h.x > h.y ? h.x : h.y;
  if (h.z > largest) largest = h.z;
  return {GetCenter(), largest * kSqrt3};
}

void AABB::Build8Verts(Vec3* const out) const {
  for (int i = 0; i < kCorners; ++i) out[i] = Vec3(i & 1 ? min.x : max.x, i & 4 ? min.y : max.y, i & 2 ? min.z : max.z);
}

void AABB::Build8Verts(Vec4* const out) const {
  Vec3 corners[kCorners];
  Build8Verts(corners);
  for (int i = 0; i < kCorners; ++i) out[i] = Vec4(corners[i], 1.0f);
}

bool AABB::IsPointInside(const Vec3& p) const {
  return min.x <= p.x && p.x < max.x && min.y <= p.y && p.y < max.y && min.z <= p.z && p.z < max.z;
}

bool AABB::IsInside(const Vec3& p, float e) const {
  return min.x - e <= p.x && p.x < max.x + e && min.y - e <= p.y && p.y < max.y + e && min.z - e <= p.z &&
         p.z < max.z + e;
}

bool AABB::TestCollision(const AABB& o) const {
  return max.x > o.min.x && o.max.x > min.x && max.y > o.min.y && o.max.y > min.y && max.z > o.min.z &&
         o.max.z > min.z;
}

AABB& AABB::Combine(const AABB& o) {
  min = Min(min, o.min);
  max = Max(max, o.max);
  return *this;
}

bool AABB::CastRay(const Vec3& start, const Vec3& end, float& t, float e) const {
  const Vec3 dir = end - start;
  t = 0.0f;
  int inside = 0;
  float tEnter = -kFar, tExit = kFar;
  for (int axis = 0; axis < 3; ++axis) {
    const float lo = (min[axis] - e) - start[axis];
    const float hi = (max[axis] + e) - start[axis];
    const float d = dir[axis];
    if (d < -kParallel) {
      if (lo > 0.0f) return false;  // beyond the low face, moving away
      const float s = hi / d;
      if (s > 1.0f) return false;
      if (hi >= 0.0f) ++inside;
      const float out = lo / d;
      if (out < tExit) tExit = out;
      if (s > tEnter) tEnter = s;
    } else if (d > kParallel) {
      if (hi < 0.0f) return false;
      const float s = lo / d;
      if (s > 1.0f) return false;
      if (lo <= 0.0f) ++inside;
      const float out = hi / d;
      if (out < tExit) tExit = out;
      if (s > tEnter) tEnter = s;
    } else {
      if (lo > 0.0f || hi < 0.0f) return false;
      ++inside;
    }
    if (tEnter > tExit) return false;
  }
  if (inside == 3) return true;  // the start lies in the grown box
  if (tExit < 0.0f) return false;
  if (tEnter >= 0.0f && tEnter <= 1.0f) {
    t = tEnter;
  } else if (tExit <= 1.0f) {
    t = tExit;
  } else {
    return false;
  }
  return true;
}

}  // namespace Yr
