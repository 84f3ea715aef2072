#include "system/math/noise.h"

#include <cmath>
#include <numbers>

#include "system/thread/timer.h"

namespace Yr {

namespace {

// Truncates toward zero like a cast, but saturates where the cast would be undefined.
int TruncateToInt(float x) {
  if (x >= 2147483648.0f) return INT32_MAX;
  if (x > -2147483648.0f) return static_cast<int>(x);
  return INT32_MIN;  // below the range, or NaN
}

}  // namespace

float PerlinNoise::Noise1(int n) {
  // Unsigned arithmetic: the hash relies on 32-bit wrap-around.
  uint32_t u = static_cast<uint32_t>(n);
  u ^= u << 13;
  const uint32_t k = (u * (u * u * 15731u + 789221u) - 771171059u) & 0x7FFFFFFFu;
  return static_cast<float>(1.0 - static_cast<double>(k) / 1073741824.0);
}

float PerlinNoise::SmoothedNoise_1(float x) {
  return Noise1(TruncateToInt(x)) / 2.0f + Noise1(TruncateToInt(x - 1.0f)) / 4.0f +
         Noise1(TruncateToInt(x + 1.0f)) / 4.0f;
}

float PerlinNoise::Cosine_Interpolate(float a, float b, float t) {
  const float f = (1.0f - std::cos(t * std::numbers::pi_v<float>)) * 0.5f;
  return a * (1.0f - f) + b * f;
}

float PerlinNoise::InterpolatedNoise_1(float x) {
  const int whole = TruncateToInt(x);
  const float fraction = x - static_cast<float>(whole);
  const float v1 = SmoothedNoise_1(static_cast<float>(whole));
  const float v2 = SmoothedNoise_1(static_cast<float>(whole) + 1.0f);
  return Cosine_Interpolate(v1, v2, fraction);
}

float PerlinNoise::PerlinNoise_1D(float x, float persistence, unsigned int octaves) {
  float total = 0.0f;
  float amplitude = 1.0f;
  float frequency = 1.0f;
  for (unsigned int i = 0; i < octaves; ++i) {
    total += amplitude * InterpolatedNoise_1(x * frequency);
    amplitude *= persistence;
    frequency *= 2.0f;
  }
  return total;
}

void Rand::Seed(unsigned int s) { seed = s != 0 ? s : Timer::GetMs(); }

unsigned int Rand::Get() {
  seed = seed * 1664525u + 1013904223u;
  // A bijective mix of the state: the linear step alone has weak low bits.
  uint32_t x = seed;
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

float Rand::GetFloat() {
  // The top 24 bits fill a float's mantissa exactly, so the result never rounds up to 1.
  return static_cast<float>(Get() >> 8) * (1.0f / 16777216.0f);
}

}  // namespace Yr
