// SPolygon2D and DPolygon2D: planar outlines whose vertices live on a 2D grid.
//
//   const Yr::Vec2 square[] = {{0, 0}, {0, 1}, {1, 1}, {1, 0}};
//   Yr::SPolygon2D view(square, 4);          // views the caller's array, never frees it
//   float area = view.CalcArea();            // +1: clockwise with Y up
//
//   Yr::DPolygon2D outline;                  // owns and grows its own array
//   outline.AddVertices(square, 4);
//   Yr::DPolygon2D left, right;
//   outline.SplitConvexX(0.5f, left, right, 64);   // crossing points snapped to 1/64
//   outline.Optimize(0.01f, 0.01f, false);         // drops vertices close to their chord
//
// An SPolygon2D either views an array that stays the caller's or owns one it allocated
// through the library's allocation entry points (16-byte aligned); the owner flag shares the
// count word with the vertex count. Owned arrays are freed exactly once, views never. Copies
// are deep: the copy owns a fresh array. A polygon is clockwise when its vertices turn
// clockwise with the Y axis pointing up; the closing edge runs from the last vertex to the
// first. Objects are not locked: one thread at a time per polygon.
#pragma once

#include <cstdint>

#include "system/math/vector.h"
#include "system/platform/export.h"

namespace Yr {

class YR_API SPolygon2D {
 public:
  SPolygon2D() : mVerts(nullptr), mCount(0) {}
  // Views the caller's array.
  SPolygon2D(const Vec2* v, unsigned n);
  // Adopts the caller's array; an owned array must come from the library's allocator.
  SPolygon2D(Vec2* v, unsigned n, bool owner);
  SPolygon2D(const SPolygon2D& o);
  SPolygon2D& operator=(const SPolygon2D& o);
  ~SPolygon2D();

  // Frees the array when owner; leaves an empty, non-owning polygon.
  void Clear();
  // Drops the old array (freed when owned) and views v; a null v leaves the polygon empty.
  // Handing back the polygon's own array keeps it, and an owned array stays owned.
  void Set(const Vec2* v, int n);
  void Set(Vec2* v, int n, bool owner);
  // Owns a fresh copy of v[0..n). v may point into the polygon's own array.
  void Copy(const Vec2* v, int n);

  const Vec2* GetVertices() const { return mVerts; }
  Vec2* GetVertices() { return mVerts; }
  unsigned GetNumVerts() const { return mCount & kCountMask; }

  // Signed area, positive for clockwise outlines; 0 below three vertices.
  float CalcArea() const { return CalcArea(mVerts, GetNumVerts()); }
  static float CalcArea(const Vec2* v, unsigned n);
  bool IsClockwise() const { return mVerts != nullptr && IsClockwise(mVerts, GetNumVerts()); }
  static bool IsClockwise(const Vec2* v, unsigned n) { return CalcArea(v, n) > 0.0f; }
  // Every corner turns the same way (collinear corners skipped); false when all are collinear.
  bool IsConvex() const { return mVerts != nullptr && IsConvex(mVerts, GetNumVerts()); }
  static bool IsConvex(const Vec2* v, unsigned n);

  // Turn from direction a to direction b: +1 clockwise, -1 counter-clockwise, 0 within e.
  static int CheckClockwise(const Vec2& a, const Vec2& b, float e);
  // The same for the corner a -> b -> c.
  static int CheckClockwise(const Vec2& a, const Vec2& b, const Vec2& c, float e);

  // Even-odd rule with a ray towards +X: points on a bottom edge row count as inside, points
  // on a top edge row as outside.
  bool IsInside(const Vec2& p) const;
  // Bounding box of the vertices; both corners (0, 0) when there are none.
  void CalcAABB(Vec2& min, Vec2& max) const;
  // Snaps every coordinate to a multiple of 1/grid. bias 0 rounds to the nearest; otherwise
  // each vertex is rounded towards one side of the chord between its neighbours (outwards
  // or inwards by the sign of bias), so that thin outlines do not collapse.
  void SnapToGrid(unsigned grid, int bias);

 protected:
  static constexpr uint32_t kOwnerBit = 0x80000000u;
  static constexpr uint32_t kCountMask = 0x7FFFFFFFu;

  bool IsOwner() const { return (mCount & kOwnerBit) != 0; }
  void SetOwner(bool owner) { mCount = (mCount & kCountMask) | (owner ? kOwnerBit : 0u); }
  void SetNumVerts(unsigned n) { mCount = (mCount & kOwnerBit) | (n & kCountMask); }

  Vec2* mVerts;
  uint32_t mCount;  // bits 0-30 the vertex count, bit 31 the owner flag
};

class YR_API DPolygon2D : public SPolygon2D {
 public:
  DPolygon2D() : DPolygon2D(true) {}
  explicit DPolygon2D(bool owner) : mCapacity(0) { SetOwner(owner); }
  DPolygon2D(const DPolygon2D& o);
  DPolygon2D& operator=(const DPolygon2D& o);

  void Clear();
  void Set(const Vec2* v, int n);
  void Set(Vec2* v, int n, bool owner);
  void Copy(const Vec2* v, int n);

  unsigned GetCapacity() const { return mCapacity; }

  // Moves the vertices into a new owned array of n vertices (nothing when n is the
  // capacity). n below the vertex count keeps only the first n vertices.
  void Reserve(unsigned n);
  // Trims the capacity to the vertex count.
  void Shrink();
  // Capacity grows 1, 2, 4, 7, 11, ... as vertices are appended one at a time.
  void AddVertex(const Vec2& v);
  void AddVertices(const Vec2* v, unsigned n);
  // Reverses the order in place when owner, else into a new owned array: a viewed array is
  // never written.
  void ReverseWinding();
  // As SPolygon2D::SnapToGrid; a viewed array is replaced by an owned copy first.
  void SnapToGrid(unsigned grid, int bias);

  // Cuts a convex outline along the line axis = value (axis 0 is X, 1 is Y). Vertices with a
  // coordinate below value go to below, the rest (the line included) to above; both get the
  // crossing points, snapped to 1/grid. below and above may be this polygon.
  void SplitConvex(unsigned axis, float value, DPolygon2D& below, DPolygon2D& above, unsigned grid) const;
  void SplitConvexX(float value, DPolygon2D& below, DPolygon2D& above, unsigned grid) const {
    SplitConvex(0, value, below, above, grid);
  }
  void SplitConvexY(float value, DPolygon2D& below, DPolygon2D& above, unsigned grid) const {
    SplitConvex(1, value, below, above, grid);
  }

  // Removes, cheapest first, vertices that lie within tolA (on the side flip selects) or tolB
  // (on the other side) of the chord between their live neighbours; never below three
  // vertices, and survivors keep their positions and order.
  void Optimize(float tolA, float tolB, bool flip);

 private:
  unsigned mCapacity;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SPolygon2D) == 8 && sizeof(DPolygon2D) == 12, "32-bit polygon layouts");
#endif

}  // namespace Yr
