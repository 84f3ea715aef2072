// Segment2D: a 2D line segment from start (A) to end (B), and its contact and distance tests.
//
//   Yr::Segment2D a({0, 0}, {1, 1}), b({0, 1}, {1, 0});
//   int contact = a.Intersects(b, 1e-6f);   // 1 crossing, -1 touching, 0 apart
//   float s, t;
//   if (a.GetIntersection(b, s, t)) { ... } // where the two infinite lines meet
//   float d2 = a.GetDistanceSquared(Yr::Vec2(2, 0));
//
// Plain value type (four packed floats), no state, any thread.
#pragma once

#include <cstdint>

#include "system/math/vector.h"
#include "system/platform/export.h"

namespace Yr {

struct YR_API Segment2D {
  Vec2 start, end;

  Segment2D() = default;
  constexpr Segment2D(const Vec2& a, const Vec2& b) : start(a), end(b) {}

  // 0 when the segments have no point in common, 1 when they cross (or overlap through an
  // end point), -1 when they touch: an end point on the other segment, or a collinear overlap.
  // Cross products within e of zero count as collinear.
  int Intersects(const Segment2D& o, float e) const;
  // start + s·(end − start) = o.start + t·(o.end − o.start) for the two infinite lines; false
  // when they are parallel. s and t are not limited to [0, 1].
  bool GetIntersection(const Segment2D& o, float& s, float& t) const;
  // Squared distance from p to the nearest point of the segment (to start when the segment
  // has no length).
  float GetDistanceSquared(const Vec2& p) const;
  // 0 when the segments touch or cross, else the least squared distance between them.
  float GetDistanceSquared(const Segment2D& o) const;
};

static_assert(sizeof(Segment2D) == 4 * sizeof(float), "a segment is four packed floats");

}  // namespace Yr
