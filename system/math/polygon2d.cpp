#include "system/math/polygon2d.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "system/memory/allocator.h"

namespace Yr {

namespace {

// Corners whose cross product lies within this of zero are collinear for IsConvex.
constexpr float kConvexEpsilon = 1e-6f;
// Optimize: chords shorter than this (squared) have no direction to measure a distance from.
constexpr float kDegenerateChordSq = 1.0000001e-6f;
// Optimize: the cost of a removed vertex.
constexpr float kRemovedCost = 1e30f;
// SnapToGrid with a bias: how far a scaled coordinate may lie past a grid line and still
// count as on it, and the share of the chord near each neighbour where the rounding
// direction follows the neighbour instead of the chord's side.
constexpr float kSnapSlack = 0.001f;
constexpr float kChordEndShare = 0.1f;

// Vertex arrays larger than 32 bits of bytes are asked for as the largest size, so the
// request fails instead of wrapping to a short block.
Vec2* AllocateVerts(unsigned n) {
  if (n == 0) return nullptr;
  const uint64_t bytes = uint64_t(n) * sizeof(Vec2);
  const unsigned size = bytes > UINT32_MAX ? UINT32_MAX : static_cast<unsigned>(bytes);
  return static_cast<Vec2*>(Detail::Allocate(size));
}

void FreeVerts(Vec2* v) {
  if (v != nullptr) Detail::Free(v);
}

unsigned CountOf(int n) { return n > 0 ? static_cast<unsigned>(n) : 0u; }

float& Axis(Vec2& v, unsigned axis) { return axis == 0 ? v.x : v.y; }
float Axis(const Vec2& v, unsigned axis) { return axis == 0 ? v.x : v.y; }

float Cross(const Vec2& a, const Vec2& b) { return a.x * b.y - a.y * b.x; }

float SnapNearest(float c, float grid) { return std::floor(c * grid + 0.5f) / grid; }

// Rounds c down when selector is negative, up when positive, to the nearest when zero.
float SnapBiased(float c, float selector, float grid) {
  if (selector < 0.0f) return std::floor(c * grid + kSnapSlack) / grid;
  if (selector > 0.0f) return std::ceil(c * grid - kSnapSlack) / grid;
  return SnapNearest(c, grid);
}

}  // namespace

// ---- SPolygon2D ---------------------------------------------------------------------------

SPolygon2D::SPolygon2D(const Vec2* v, unsigned n) : mVerts(const_cast<Vec2*>(v)), mCount(n & kCountMask) {}

SPolygon2D::SPolygon2D(Vec2* v, unsigned n, bool owner) : mVerts(v), mCount(n & kCountMask) { SetOwner(owner); }

SPolygon2D::SPolygon2D(const SPolygon2D& o) : mVerts(nullptr), mCount(0) {
  if (o.mVerts != nullptr) Copy(o.mVerts, static_cast<int>(o.GetNumVerts()));
}

SPolygon2D& SPolygon2D::operator=(const SPolygon2D& o) {
  if (o.mVerts == nullptr) {
    Clear();
  } else {
    Copy(o.mVerts, static_cast<int>(o.GetNumVerts()));
  }
  return *this;
}

SPolygon2D::~SPolygon2D() {
  if (IsOwner()) FreeVerts(mVerts);
}

void SPolygon2D::Clear() {
  if (IsOwner()) FreeVerts(mVerts);
  mVerts = nullptr;
  mCount = 0;
}

void SPolygon2D::Set(const Vec2* v, int n) {
  // The polygon's own array handed back stays owned: freeing it would leave a view of freed
  // memory.
  if (v != nullptr && v == mVerts) {
    SetNumVerts(CountOf(n));
    return;
  }
  if (IsOwner()) Clear();
  if (v != nullptr) {
    mVerts = const_cast<Vec2*>(v);
    mCount = CountOf(n) & kCountMask;
  }
}

void SPolygon2D::Set(Vec2* v, int n, bool owner) {
  if (v != nullptr && v == mVerts) {
    SetNumVerts(CountOf(n));
    SetOwner(owner);
    return;
  }
  if (IsOwner()) Clear();
  if (v != nullptr) {
    mVerts = v;
    mCount = CountOf(n) & kCountMask;
    SetOwner(owner);
  }
}

void SPolygon2D::Copy(const Vec2* v, int n) {
  if (v == nullptr) {
    if (IsOwner()) Clear();
    return;
  }
  // The new array is filled before the old one is freed, so v may lie in the old array
  // (self-assignment, copying a polygon's own vertices).
  const unsigned count = CountOf(n) & kCountMask;
  Vec2* fresh = AllocateVerts(count);
  if (fresh != nullptr) std::memcpy(fresh, v, count * sizeof(Vec2));
  if (IsOwner()) FreeVerts(mVerts);
  mVerts = fresh;
  mCount = fresh != nullptr ? count : 0u;
  SetOwner(fresh != nullptr);
}

float SPolygon2D::CalcArea(const Vec2* v, unsigned n) {
  if (v == nullptr || n < 3) return 0.0f;
  double sum = 0.0;
  const Vec2* prev = &v[n - 1];
  for (unsigned i = 0; i < n; ++i) {
    sum += double(prev->x) * v[i].y - double(prev->y) * v[i].x;
    prev = &v[i];
  }
  return static_cast<float>(-0.5 * sum);
}

bool SPolygon2D::IsConvex(const Vec2* v, unsigned n) {
  if (v == nullptr || n < 3) return false;
  int first = 0;
  Vec2 p2 = v[n - 2], p1 = v[n - 1];
  for (unsigned i = 0; i < n; ++i) {
    const Vec2 q = v[i];
    const int turn = CheckClockwise(p2, p1, q, kConvexEpsilon);
    if (turn != 0) {
      if (first == 0) {
        first = turn;
      } else if (turn != first) {
        return false;
      }
    }
    p2 = p1;
    p1 = q;
  }
  return first != 0;
}

int SPolygon2D::CheckClockwise(const Vec2& a, const Vec2& b, float e) {
  const float c = Cross(a, b);
  if (c < -e) return 1;
  if (c > e) return -1;
  return 0;
}

int SPolygon2D::CheckClockwise(const Vec2& a, const Vec2& b, const Vec2& c, float e) {
  return CheckClockwise(b - a, c - a, e);
}

bool SPolygon2D::IsInside(const Vec2& p) const {
  const unsigned n = GetNumVerts();
  if (mVerts == nullptr || n < 3) return false;
  bool inside = false;
  const Vec2* prev = &mVerts[n - 1];
  for (unsigned i = 0; i < n; ++i) {
    const Vec2& cur = mVerts[i];
    if ((p.y < prev->y) != (p.y < cur.y)) {
      // The edge's X at height p.y lies right of p: (X - p.x)·dy > 0 with dy the edge's
      // height, so no division and no sign flip of the comparison by a rounded quotient.
      const float dy = cur.y - prev->y;
      const float side = (cur.x - prev->x) * (p.y - prev->y) + (prev->x - p.x) * dy;
      if (dy > 0.0f ? side > 0.0f : side < 0.0f) inside = !inside;
    }
    prev = &cur;
  }
  return inside;
}

void SPolygon2D::CalcAABB(Vec2& min, Vec2& max) const {
  const unsigned n = GetNumVerts();
  if (mVerts == nullptr || n == 0) {
    min = max = Vec2(0.0f, 0.0f);
    return;
  }
  min = max = mVerts[0];
  for (unsigned i = 1; i < n; ++i) {
    min.x = std::min(min.x, mVerts[i].x);
    min.y = std::min(min.y, mVerts[i].y);
    max.x = std::max(max.x, mVerts[i].x);
    max.y = std::max(max.y, mVerts[i].y);
  }
}

void SPolygon2D::SnapToGrid(unsigned grid, int bias) {
  const unsigned n = GetNumVerts();
  if (mVerts == nullptr || n == 0) return;
  // A viewed array stays the caller's: snap an owned copy (the view may be of constant data).
  if (!IsOwner()) {
    Copy(mVerts, static_cast<int>(n));
    if (mVerts == nullptr) return;
  }
  const float g = static_cast<float>(grid);
  Vec2* v = mVerts;
  if (bias == 0) {
    for (unsigned i = 0; i < n; ++i) v[i] = Vec2(SnapNearest(v[i].x, g), SnapNearest(v[i].y, g));
    return;
  }
  // Each vertex sees its neighbours as they stand, so the last vertex goes first and the
  // others then find their previous neighbour already snapped.
  for (unsigned k = 0; k < n; ++k) {
    const unsigned i = (k + n - 1) % n;
    const Vec2 p = v[(i + n - 1) % n], next = v[(i + 1) % n];
    const Vec2 chord = next - p;
    const float length = chord.Length();
    float sx = 0.0f, sy = 0.0f;
    if (length > 0.0f) {
      const Vec2 u = chord / length;
      const float t = Dot(v[i] - p, u);
      sx = static_cast<float>(bias) * u.y;
      sy = -static_cast<float>(bias) * u.x;
      if (t < kChordEndShare * length) {
        sx += length;
        sy += length;
      } else if (t > (1.0f - kChordEndShare) * length) {
        sx -= length;
        sy -= length;
      }
    }
    v[i] = Vec2(SnapBiased(v[i].x, sx, g), SnapBiased(v[i].y, sy, g));
  }
}

// ---- DPolygon2D ---------------------------------------------------------------------------

DPolygon2D::DPolygon2D(const DPolygon2D& o) : SPolygon2D(o), mCapacity(GetNumVerts()) {}

DPolygon2D& DPolygon2D::operator=(const DPolygon2D& o) {
  SPolygon2D::operator=(o);
  mCapacity = GetNumVerts();
  return *this;
}

void DPolygon2D::Clear() {
  SPolygon2D::Clear();
  mCapacity = 0;
}

void DPolygon2D::Set(const Vec2* v, int n) {
  SPolygon2D::Set(v, n);
  mCapacity = GetNumVerts();
}

void DPolygon2D::Set(Vec2* v, int n, bool owner) {
  SPolygon2D::Set(v, n, owner);
  mCapacity = GetNumVerts();
}

void DPolygon2D::Copy(const Vec2* v, int n) {
  SPolygon2D::Copy(v, n);
  mCapacity = GetNumVerts();
}

void DPolygon2D::Reserve(unsigned n) {
  if (n == mCapacity) return;
  const unsigned kept = std::min(GetNumVerts(), n);
  Vec2* fresh = AllocateVerts(n);
  if (fresh == nullptr && n != 0) return;  // a refusing allocator leaves the polygon as it was
  if (kept != 0) std::memcpy(fresh, mVerts, kept * sizeof(Vec2));
  if (IsOwner()) FreeVerts(mVerts);
  mVerts = fresh;
  SetNumVerts(kept);
  SetOwner(true);
  mCapacity = n;
}

void DPolygon2D::Shrink() {
  if (GetNumVerts() < mCapacity) Reserve(GetNumVerts());
}

void DPolygon2D::AddVertex(const Vec2& v) {
  const Vec2 vertex = v;  // v may be one of this polygon's vertices, moved by the growth
  const unsigned n = GetNumVerts();
  if (n >= mCapacity) Reserve(mCapacity + mCapacity / 2 + 1);
  if (n >= mCapacity) return;
  mVerts[n] = vertex;
  SetNumVerts(n + 1);
}

void DPolygon2D::AddVertices(const Vec2* v, unsigned n) {
  if (v == nullptr || n == 0) return;
  const unsigned count = GetNumVerts();
  if (mCapacity < count + n) {
    // The source may be this polygon's own array, which the growth frees.
    const bool own = mVerts != nullptr && v >= mVerts && v < mVerts + count;
    const size_t offset = own ? size_t(v - mVerts) : 0;
    Reserve(mCapacity + mCapacity / 2 + n);
    if (mCapacity < count + n) return;
    if (own) v = mVerts + offset;
  }
  std::memmove(mVerts + count, v, n * sizeof(Vec2));
  SetNumVerts(count + n);
}

void DPolygon2D::ReverseWinding() {
  const unsigned n = GetNumVerts();
  if (mVerts == nullptr || n == 0) return;
  if (IsOwner()) {
    std::reverse(mVerts, mVerts + n);
    return;
  }
  Vec2* fresh = AllocateVerts(n);
  if (fresh == nullptr) return;
  std::reverse_copy(mVerts, mVerts + n, fresh);
  mVerts = fresh;
  SetOwner(true);
  mCapacity = n;
}

void DPolygon2D::SnapToGrid(unsigned grid, int bias) {
  if (!IsOwner() && mVerts != nullptr) Copy(mVerts, static_cast<int>(GetNumVerts()));
  SPolygon2D::SnapToGrid(grid, bias);
}

void DPolygon2D::SplitConvex(unsigned axis, float value, DPolygon2D& below, DPolygon2D& above,
                             unsigned grid) const {
  if (&below == this || &above == this) {
    const DPolygon2D source(*this);
    source.SplitConvex(axis, value, below, above, grid);
    return;
  }
  below.Clear();
  above.Clear();
  const unsigned n = GetNumVerts();
  if (mVerts == nullptr || n < 3 || axis > 1) return;
  below.Reserve(n / 2 + 3);
  above.Reserve(n / 2 + 3);
  const unsigned other = 1 - axis;
  const float g = static_cast<float>(grid);
  const float cut = SnapNearest(value, g);

  Vec2 p = mVerts[n - 1];
  bool pBelow = value > Axis(p, axis);
  for (unsigned i = 0; i < n; ++i) {
    const Vec2 q = mVerts[i];
    const bool qBelow = value > Axis(q, axis);
    if (pBelow != qBelow) {
      const float s = (value - Axis(p, axis)) / (Axis(q, axis) - Axis(p, axis));
      Vec2 crossing;
      Axis(crossing, axis) = cut;
      Axis(crossing, other) = SnapNearest(Axis(p, other) + s * (Axis(q, other) - Axis(p, other)), g);
      below.AddVertex(crossing);
      above.AddVertex(crossing);
    }
    (qBelow ? below : above).AddVertex(q);
    p = q;
    pBelow = qBelow;
  }
}

namespace {

struct OptimizeNode {
  float cost;
  unsigned prev, next;  // live neighbours
  bool removed;
  bool side;            // on the side measured against tolA
};

void UpdateCost(OptimizeNode& node, const Vec2& p, const Vec2& v, const Vec2& n, float tolASq, float tolBSq,
                bool flip) {
  const Vec2 chord = n - p;
  const float lengthSq = chord.LengthSquared();
  if (lengthSq < kDegenerateChordSq) {
    node.cost = 0.0f;
    node.side = tolBSq < tolASq;
    return;
  }
  const float c = Cross(chord, v - p);
  node.cost = c * c / lengthSq;
  node.side = flip ? c < 0.0f : c > 0.0f;
}

}  // namespace

void DPolygon2D::Optimize(float tolA, float tolB, bool flip) {
  const unsigned n = GetNumVerts();
  if (mVerts == nullptr || n < 4) return;
  auto* nodes = static_cast<OptimizeNode*>(Detail::Allocate(static_cast<unsigned>(
      std::min<uint64_t>(uint64_t(n) * sizeof(OptimizeNode), UINT32_MAX))));
  if (nodes == nullptr) return;
  const float tolASq = tolA * tolA, tolBSq = tolB * tolB;
  const Vec2* v = mVerts;
  for (unsigned i = 0; i < n; ++i) {
    OptimizeNode& node = nodes[i];
    node.prev = (i + n - 1) % n;
    node.next = (i + 1) % n;
    node.removed = false;
    UpdateCost(node, v[node.prev], v[i], v[node.next], tolASq, tolBSq, flip);
  }

  unsigned live = n;
  for (;;) {
    // Cheapest candidate of each class; "<=" hands ties to the higher index.
    unsigned bestA = n, bestB = n;
    for (unsigned i = 0; i < n; ++i) {
      const OptimizeNode& node = nodes[i];
      if (node.removed) continue;
      if (node.side) {
        if (node.cost <= tolASq && (bestA == n || node.cost <= nodes[bestA].cost)) bestA = i;
      } else if (node.cost <= tolBSq && (bestB == n || node.cost <= nodes[bestB].cost)) {
        bestB = i;
      }
    }
    if (bestA == n && bestB == n) break;
    unsigned pick = bestA;
    if (bestA == n || (bestB != n && nodes[bestB].cost < nodes[bestA].cost)) pick = bestB;

    OptimizeNode& gone = nodes[pick];
    gone.removed = true;
    gone.cost = kRemovedCost;
    if (live-- == 4) break;
    const unsigned before = gone.prev, after = gone.next;
    nodes[before].next = after;
    nodes[after].prev = before;
    UpdateCost(nodes[after], v[before], v[after], v[nodes[after].next], tolASq, tolBSq, flip);
    UpdateCost(nodes[before], v[nodes[before].prev], v[before], v[after], tolASq, tolBSq, flip);
  }

  if (live < n) {
    Vec2* fresh = AllocateVerts(live);
    if (fresh != nullptr) {
      unsigned out = 0;
      for (unsigned i = 0; i < n; ++i)
        if (!nodes[i].removed) fresh[out++] = v[i];
      if (IsOwner()) FreeVerts(mVerts);
      mVerts = fresh;
      SetNumVerts(live);
      SetOwner(true);
      mCapacity = live;
    }
  }
  Detail::Free(nodes);
}

}  // namespace Yr
