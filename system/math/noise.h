// One-dimensional value noise (PerlinNoise) and the seed holder Rand.
//
//   float n = Yr::PerlinNoise::PerlinNoise_1D(x, 0.5f, 4);   // 4 octaves, each half as strong
//
//   Yr::Rand rand;
//   rand.Seed(0);                  // seeds from the millisecond clock
//   float f = rand.GetFloat();     // [0, 1)
//
// PerlinNoise has only static members and no state. A Rand is a plain value owned by its
// user; one Rand must not be drawn from by two threads at once.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

class YR_API PerlinNoise {
 public:
  // Integer hash noise in (-1, 1].
  static float Noise1(int n);
  // Noise1(x)/2 + Noise1(x - 1)/4 + Noise1(x + 1)/4, each argument truncated to int.
  static float SmoothedNoise_1(float x);
  // a * (1 - f) + b * f with f = (1 - cos(t * pi)) / 2.
  static float Cosine_Interpolate(float a, float b, float t);
  // Cosine interpolation between the smoothed noise at trunc(x) and trunc(x) + 1.
  static float InterpolatedNoise_1(float x);
  // Sum over octaves i of persistence^i * InterpolatedNoise_1(x * 2^i); 0 for no octaves.
  static float PerlinNoise_1D(float x, float persistence, unsigned int octaves);
};

// Holds the seed of a small random number generator. Seed and SetSeed only store it; the
// draws advance it (a 32-bit linear congruential step, whose state is mixed before it is
// handed out so that the low bits are as good as the high ones).
struct YR_API Rand {
  unsigned int seed = 0;

  // seed = s, or the current time in milliseconds when s is 0.
  void Seed(unsigned int s);
  // seed = s, 0 included.
  void SetSeed(unsigned int s) { seed = s; }

  // 32 random bits.
  unsigned int Get();
  // Uniform in [0, 1).
  float GetFloat();
  // Uniform in [low, high).
  float GetFloat(float low, float high) { return low + (high - low) * GetFloat(); }
};

static_assert(sizeof(Rand) == sizeof(uint32_t), "the seed is the first and only field");

}  // namespace Yr
