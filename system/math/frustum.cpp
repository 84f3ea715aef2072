#include "system/math/frustum.h"

#include <cmath>

namespace Yr {

namespace {


Plane FromRow(__m128 row) {
  const Vec4 v(row);
  const float k = 1.0f / Vec3(v).Length();
  return {v.x * k, v.y * k, v.z * k, v.w * k};
}

}  // namespace

void Frustum::Set(const Matrix4& first, const Matrix4& second) {
  const Matrix4 m = first * second;
  const __m128 r0 = m.Row(0), r1 = m.Row(1), r2 = m.Row(2), r3 = m.Row(3);
  mPlanes[kNear] = FromRow(r2);
  mPlanes[kLeft] = FromRow(_mm_add_ps(r3, r0));
  mPlanes[kRight] = FromRow(_mm_sub_ps(r3, r0));
  mPlanes[kFar] = FromRow(_mm_sub_ps(r3, r2));
  mPlanes[kBottom] = FromRow(_mm_add_ps(r3, r1));
  mPlanes[kTop] = FromRow(_mm_sub_ps(r3, r1));
  mNumPlanes = kSetPlanes;
  UpdateFlags();
}

void Frustum::SetPlanes(const Plane* planes, int count) {
  mNumPlanes = count < 0 ? 0 : (count > kMaxPlanes ? kMaxPlanes : count);
  for (int i = 0; i < mNumPlanes; ++i) mPlanes[i] = planes[i];
  UpdateFlags();
}

void Frustum::UpdateFlags() {
  for (int i = 0; i < mNumPlanes; ++i) {
    const Plane& p = mPlanes[i];
    mFlags[i] = static_cast<uint8_t>((p.a > 0 ? kFlagX : 0) | (p.b > 0 ? kFlagY : 0) | (p.c > 0 ? kFlagZ : 0));
  }
}

bool Frustum::IsFullyVisible(const Sphere& s) const {
  for (int i = 0; i < mNumPlanes; ++i)
    if (mPlanes[i].DistanceTo(s.center) <= s.radius) return false;
  return true;
}

}  // namespace Yr
