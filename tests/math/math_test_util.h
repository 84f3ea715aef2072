// Shared pieces of the math tests: seeded random inputs and float comparisons that name
// the quantity compared when they fail.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "system/math/matrix.h"
#include "system/math/quaternion.h"
#include "system/math/vector.h"

namespace YrMathTest {

// Distance in units in the last place between two finite floats of the same sign region.
inline int64_t UlpDistance(float a, float b) {
  int32_t ia, ib;
  std::memcpy(&ia, &a, sizeof ia);
  std::memcpy(&ib, &b, sizeof ib);
  // Map the sign-magnitude bit patterns onto one monotonic integer line.
  const int64_t la = ia < 0 ? int64_t(INT32_MIN) - ia : ia;
  const int64_t lb = ib < 0 ? int64_t(INT32_MIN) - ib : ib;
  return la > lb ? la - lb : lb - la;
}

class Random {
 public:
  explicit Random(uint32_t seed) : mEngine(seed) {}
  float Uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(mEngine); }
  Yr::Vec3 InBox(float extent) { return {Uniform(-extent, extent), Uniform(-extent, extent), Uniform(-extent, extent)}; }
  Yr::Vec3 UnitVector() {
    for (;;) {
      Yr::Vec3 v = InBox(1.0f);
      const float l = v.Length();
      if (l > 0.1f && l <= 1.0f) return v * (1.0f / l);
    }
  }
  Yr::Quaternion UnitQuaternion() {
    for (;;) {
      Yr::Quaternion q(Uniform(-1, 1), Uniform(-1, 1), Uniform(-1, 1), Uniform(-1, 1));
      const float l = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
      if (l > 0.1f && l <= 1.0f) return Yr::Quaternion(q.x / l, q.y / l, q.z / l, q.w / l);
    }
  }
  Yr::Matrix4 Matrix(float extent) {
    Yr::Matrix4 m;
    for (float& e : m.m) e = Uniform(-extent, extent);
    return m;
  }
  uint32_t Next() { return mEngine(); }

 private:
  std::mt19937 mEngine;
};

inline void ExpectNear(const Yr::Vec3& a, const Yr::Vec3& b, float tolerance, const char* what = "") {
  EXPECT_NEAR(a.x, b.x, tolerance) << what;
  EXPECT_NEAR(a.y, b.y, tolerance) << what;
  EXPECT_NEAR(a.z, b.z, tolerance) << what;
}

inline float MaxDifference(const float* a, const float* b, int n) {
  float worst = 0;
  for (int i = 0; i < n; ++i) worst = std::fmax(worst, std::fabs(a[i] - b[i]));
  return worst;
}

inline float MaxDifference(const Yr::Matrix4& a, const Yr::Matrix4& b) { return MaxDifference(a.m, b.m, 16); }
inline float MaxDifference(const Yr::Matrix43& a, const Yr::Matrix43& b) { return MaxDifference(a.m, b.m, 12); }

inline Yr::Matrix4 Identity4() { return Yr::Matrix4().Identity(); }

}  // namespace YrMathTest
