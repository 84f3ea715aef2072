// Half: an IEEE 754 binary16 value (1 sign bit, 5 exponent bits with bias 15, 10 mantissa
// bits) in one uint16, as vertex and texture data store it. Half4: four of them, 8 bytes.
//
//   Yr::Half h;
//   h.Set(1.0f);            // h.value == 0x3C00
//   float f = h.GetFloat();
//
// Set is the fast, lossy direction: magnitudes below the smallest normal half (2^-14)
// become +0, magnitudes of 65536 or more (infinities and NaNs too) become the largest
// finite half of the same sign, and the mantissa is truncated. GetFloat is exact for every
// finite half; the exponent field 31 (half infinity and NaN) reads as an ordinary number
// of magnitude 65536 or more. Plain values, no state.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

struct Vec3;
struct Vec4;

struct YR_API Half {
  uint16_t value = 0;

  constexpr Half() = default;
  explicit Half(float f) { Set(f); }

  void Set(float f);
  float GetFloat() const;
};

struct YR_API Half4 {
  Half x, y, z, w;

  constexpr Half4() = default;
  Half4(float fx, float fy, float fz, float fw) : x(fx), y(fy), z(fz), w(fw) {}
  Half4(const Vec4& v);
  Half4(const Vec3& v, float fw);
};

static_assert(sizeof(Half) == 2, "one binary16 value");
static_assert(sizeof(Half4) == 4 * sizeof(Half), "x, y, z, w without padding");

}  // namespace Yr
