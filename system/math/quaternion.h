// Quaternion: a rotation as (x, y, z, w), vector part first, 16-byte aligned.
//
//   Yr::Quaternion q(Yr::Vec3(0, 0, 1), angle);      // about +Z, right-handed
//   Yr::Matrix43 m;
//   m.MakeRotation(q, Yr::Vec4(position, 1));
//
// A rotation by θ about the unit axis u is (u·sin(θ/2), cos(θ/2)); the identity is
// (0, 0, 0, 1). Value type, no state, any thread.
#pragma once

#include <cstdint>

#include "system/math/vector.h"
#include "system/platform/export.h"

namespace Yr {

struct YR_API Quaternion {
  alignas(16) float x;
  float y, z, w;

  Quaternion() = default;
  constexpr Quaternion(float xv, float yv, float zv, float wv) : x(xv), y(yv), z(zv), w(wv) {}
  // (v·s, w): a plain componentwise set.
  constexpr Quaternion(const Vec3& v, float s, float wv) : x(v.x * s), y(v.y * s), z(v.z * s), w(wv) {}

  bool operator==(const Quaternion& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
  bool operator!=(const Quaternion& o) const { return !(*this == o); }
};

static_assert(sizeof(Quaternion) == 4 * sizeof(float) && alignof(Quaternion) == 16, "one aligned SSE register");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Quaternion) == 16 && alignof(Quaternion) == 16, "32-bit quaternion layout");
#endif

}  // namespace Yr
