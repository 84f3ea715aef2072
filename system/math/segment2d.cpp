#include "system/math/segment2d.h"

#include <algorithm>
#include <cmath>

namespace Yr {

namespace {

// Lines whose directions' cross product is within this of zero are parallel.
constexpr float kParallelEpsilon = 1e-6f;
// Tolerance of the contact test behind the segment-to-segment distance.
constexpr float kContactEpsilon = 1e-6f;

float Cross(const Vec2& a, const Vec2& b) { return a.x * b.y - a.y * b.x; }

// +1 clockwise, -1 counter-clockwise, 0 within e of collinear.
int Side(float cross, float e) {
  if (cross < -e) return 1;
  if (cross > e) return -1;
  return 0;
}

}  // namespace

int Segment2D::Intersects(const Segment2D& o, float e) const {
  const Vec2 a = start, b = end, ea = o.start, fa = o.end;
  const Vec2 ab = b - a, ef = fa - ea;
  const int sE = Side(Cross(ab, ea - a), e), sF = Side(Cross(ab, fa - a), e);
  if (sE == sF && sE != 0) return 0;
  const int sA = Side(Cross(ef, a - ea), e), sB = Side(Cross(ef, b - ea), e);
  if (sA == sB && sA != 0) return 0;
  if (sA != sB && sE != sF) return sE != 0 && sF != 0 && sA != 0 && sB != 0 ? 1 : -1;

  // Collinear within e: compare the positions of o's end points along this segment.
  const float pE = Dot(ea - a, ab), pF = Dot(fa - a, ab);
  const float qE = Dot(ea - b, ab), qF = Dot(fa - b, ab);
  if ((pE < -e && pF < -e) || (qE > e && qF > e)) return 0;
  if ((pE < e && pF < e) || (pE > -e && pF > -e)) return -1;
  return 1;
}

bool Segment2D::GetIntersection(const Segment2D& o, float& s, float& t) const {
  const Vec2 d1 = end - start, d2 = o.end - o.start;
  const float denominator = Cross(d1, d2);
  if (std::fabs(denominator) <= kParallelEpsilon) return false;
  const Vec2 w = o.start - start;
  s = Cross(w, d2) / denominator;
  t = Cross(w, d1) / denominator;
  return true;
}

float Segment2D::GetDistanceSquared(const Vec2& p) const {
  const Vec2 ab = end - start;
  const float lengthSq = ab.LengthSquared();
  // A segment without length has no line to measure from; without this the quotient below
  // would be 0/0.
  if (lengthSq == 0.0f || Dot(ab, p - start) < 0.0f) return (p - start).LengthSquared();
  if (Dot(p - end, ab) > 0.0f) return (p - end).LengthSquared();
  const float c = Cross(ab, p - start);
  return c * c / lengthSq;
}

float Segment2D::GetDistanceSquared(const Segment2D& o) const {
  if (Intersects(o, kContactEpsilon) != 0) return 0.0f;
  return std::min(std::min(GetDistanceSquared(o.start), GetDistanceSquared(o.end)),
                  std::min(o.GetDistanceSquared(start), o.GetDistanceSquared(end)));
}

}  // namespace Yr
