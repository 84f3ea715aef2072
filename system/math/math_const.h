// The shared float constants of the math library and the scalar helpers its types share.
//
// gConst is one exported, read-only record; its fields keep their order because callers in
// other modules address the record as a whole. epsilon is the near-zero threshold of the
// matrix inverse, the plane intersections and the Z-only rotation; floatMin is the failure
// value of the assignment solver; thousand converts seconds to milliseconds.
#pragma once

#include "system/platform/export.h"

namespace Yr {

struct Constants {
  float zero;
  float one;
  float minusOne;
  float epsilon;
  float epsilonSq;
  float tolerance;
  float pi;
  float twoPi;
  float halfPi;
  float two;
  float radToDeg;
  float degToRad;
  float thousand;
  float floatMax;
  float floatMin;
};

static_assert(sizeof(Constants) == 15 * sizeof(float), "the constants are 15 packed floats");

extern YR_API const Constants gConst;

namespace Detail {

// Clamps a cosine into [-1, 1] for acos. A NaN (from a zero-length vector or quaternion)
// comes back as 1, so the angle is 0 instead of NaN spreading into every later result.
inline float ClampUnit(float v) {
  if (v < 1.0f) return v > -1.0f ? v : -1.0f;
  return 1.0f;
}

}  // namespace Detail

}  // namespace Yr
