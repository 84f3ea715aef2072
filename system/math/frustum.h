// Frustum: up to 15 planes whose normals point inwards, and the visibility tests of spheres
// and boxes against them.
//
//   Yr::Frustum frustum;
//   frustum.Set(projection, view);                  // the six planes of projection·view
//   if (frustum.IsVisible(object.bounds)) Draw(object);
//
// Set takes the projection first and the world-to-view matrix second (column vectors, so
// projection·view maps world to clip space); the near plane is the one of clip depth 0. A
// frustum with no planes in use sees everything. Plain value type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/math/bounds.h"
#include "system/math/matrix.h"
#include "system/math/plane.h"
#include "system/platform/export.h"

namespace Yr {

class YR_API Frustum {
 public:
  static constexpr int kMaxPlanes = 15;
  // Bits of a plane's flags byte: its normal has a positive x, y or z.
  static constexpr uint8_t kFlagX = 4, kFlagY = 2, kFlagZ = 1;
  // The planes Set builds, in their slots.
  enum PlaneIndex { kNear, kLeft, kRight, kFar, kBottom, kTop, kSetPlanes };

  Frustum() : mNumPlanes(0) {}

  void Set(const Matrix4& first, const Matrix4& second);
  // Caller-made planes (normals inwards); a count beyond kMaxPlanes keeps the first kMaxPlanes.
  void SetPlanes(const Plane* planes, int count);

  int GetNumPlanes() const { return mNumPlanes; }
  const Plane& GetPlane(int i) const { return mPlanes[i]; }
  // 4·(a > 0) + 2·(b > 0) + (c > 0): the box corner furthest along the plane's normal.
  uint8_t GetFlags(int i) const { return mFlags[i]; }

  // False as soon as the sphere lies wholly behind one plane.
  bool IsVisible(const Sphere& s) const {
    for (int i = 0; i < mNumPlanes; ++i)
      if (mPlanes[i].DistanceTo(s.center) < -s.radius) return false;
    return true;
  }
  // False as soon as the box corner furthest along one plane's normal is on or behind it.
  // Inline: culling calls it for every object of a scene.
  bool IsVisible(const AABB& b) const {
    for (int i = 0; i < mNumPlanes; ++i) {
      // The flags index the box's corners directly: a set bit steps from min to the same
      // coordinate of max. Loads instead of branches, whatever the box.
      const unsigned f = mFlags[i];
      const float* lo = &b.min.x;
      const Vec3 corner(lo[kMaxStride * ((f / kFlagX) & 1u)], lo[1 + kMaxStride * ((f / kFlagY) & 1u)],
                        lo[2 + kMaxStride * ((f / kFlagZ) & 1u)]);
      if (mPlanes[i].DistanceTo(corner) <= 0.0f) return false;
    }
    return true;
  }
  // True only when the sphere lies wholly in front of every plane.
  bool IsFullyVisible(const Sphere& s) const;

 private:
  // Floats from a coordinate of a box's min to the same coordinate of its max.
  static constexpr unsigned kMaxStride = offsetof(AABB, max) / sizeof(float);

  void UpdateFlags();

  Plane mPlanes[kMaxPlanes];
  int32_t mNumPlanes;
  uint8_t mFlags[kMaxPlanes];
};

namespace Detail {
constexpr size_t kFrustumPlanesSize = Frustum::kMaxPlanes * sizeof(Plane);
constexpr size_t kFrustumSize = kFrustumPlanesSize + sizeof(int32_t) + Frustum::kMaxPlanes;
}  // namespace Detail
// Planes, count, flags, rounded up to the count's alignment.
static_assert(sizeof(Frustum) == (Detail::kFrustumSize + alignof(int32_t) - 1) / alignof(int32_t) * alignof(int32_t),
              "planes, then the count, then one flags byte per plane");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Frustum) == 260, "32-bit frustum layout");
#endif

}  // namespace Yr
