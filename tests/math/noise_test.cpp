#include "system/math/noise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "system/thread/timer.h"

namespace {

using Yr::PerlinNoise;

TEST(PerlinNoiseTest, Noise1KnownValuesAndRange) {
  EXPECT_NEAR(PerlinNoise::Noise1(0), -0.281791f, 1e-6f);
  // Independent recomputation of the hash in 64-bit arithmetic reduced modulo 2^32.
  for (int n : {1, -1, 2, 57, 1000, -123456, 2147483647, -2147483647 - 1}) {
    uint64_t u = static_cast<uint32_t>(n);
    u = (u ^ (u << 13)) & 0xFFFFFFFFu;
    uint64_t k = (u * ((u * u * 15731u + 789221u) & 0xFFFFFFFFu) + (1ull << 32) - 771171059u) & 0x7FFFFFFFu;
    EXPECT_NEAR(PerlinNoise::Noise1(n), 1.0 - static_cast<double>(k) / 1073741824.0, 1e-6) << n;
  }
  for (int n = -5000; n < 5000; ++n) {
    float v = PerlinNoise::Noise1(n);
    EXPECT_GT(v, -1.0f);
    EXPECT_LE(v, 1.0f);
  }
}

TEST(PerlinNoiseTest, SmoothingAndInterpolationFollowTheirDefinitions) {
  for (float x : {0.0f, 0.4f, 0.99f, 1.0f, 3.7f, -2.5f, 100.25f}) {
    int i = static_cast<int>(x);
    float expected = PerlinNoise::Noise1(i) / 2 + PerlinNoise::Noise1(static_cast<int>(x - 1)) / 4 +
                     PerlinNoise::Noise1(static_cast<int>(x + 1)) / 4;
    EXPECT_FLOAT_EQ(PerlinNoise::SmoothedNoise_1(x), expected) << x;
  }
  EXPECT_FLOAT_EQ(PerlinNoise::Cosine_Interpolate(2.0f, 4.0f, 0.0f), 2.0f);
  EXPECT_FLOAT_EQ(PerlinNoise::Cosine_Interpolate(2.0f, 4.0f, 0.5f), 3.0f);
  EXPECT_FLOAT_EQ(PerlinNoise::Cosine_Interpolate(2.0f, 4.0f, 1.0f), 4.0f);
  // At whole numbers the interpolated noise is the smoothed noise; between them it stays
  // between its two ends.
  for (int i = -20; i < 20; ++i) {
    float x = static_cast<float>(i);
    EXPECT_FLOAT_EQ(PerlinNoise::InterpolatedNoise_1(x), PerlinNoise::SmoothedNoise_1(x));
    if (i < 0) continue;  // truncation toward zero: the interval of a negative x is (x - 1, x]
    float a = PerlinNoise::SmoothedNoise_1(x), b = PerlinNoise::SmoothedNoise_1(x + 1);
    float mid = PerlinNoise::InterpolatedNoise_1(x + 0.3f);
    EXPECT_GE(mid, std::fmin(a, b) - 1e-6f);
    EXPECT_LE(mid, std::fmax(a, b) + 1e-6f);
  }
}

TEST(PerlinNoiseTest, OctavesAddScaledNoise) {
  for (float x : {0.0f, 0.75f, 12.3f, -4.2f}) {
    EXPECT_EQ(PerlinNoise::PerlinNoise_1D(x, 0.5f, 0), 0.0f);
    EXPECT_EQ(PerlinNoise::PerlinNoise_1D(x, 0.5f, 1), PerlinNoise::InterpolatedNoise_1(x));
    float expected = 0.0f;
    for (unsigned i = 0; i < 4; ++i) expected += std::pow(0.6f, float(i)) * PerlinNoise::InterpolatedNoise_1(x * std::exp2(float(i)));
    EXPECT_NEAR(PerlinNoise::PerlinNoise_1D(x, 0.6f, 4), expected, 1e-5f) << x;
  }
  // Huge inputs and many octaves stay defined.
  EXPECT_FALSE(std::isnan(PerlinNoise::SmoothedNoise_1(1e20f)));
  (void)PerlinNoise::PerlinNoise_1D(3.0f, 0.5f, 200);
}

TEST(RandTest, SeedingAndDraws) {
  Yr::Rand rand;
  rand.SetSeed(0);
  EXPECT_EQ(rand.seed, 0u);
  rand.Seed(1234);
  EXPECT_EQ(rand.seed, 1234u);
  unsigned before = Yr::Timer::GetMs();
  rand.Seed(0);
  unsigned after = Yr::Timer::GetMs();
  EXPECT_GE(rand.seed, before);
  EXPECT_LE(rand.seed, after);

  // The same seed gives the same sequence; draws are spread over the whole range.
  Yr::Rand a, b;
  a.SetSeed(99);
  b.SetSeed(99);
  std::vector<int> buckets(16);
  unsigned lowBitOnes = 0;
  for (int i = 0; i < 16000; ++i) {
    unsigned x = a.Get();
    EXPECT_EQ(x, b.Get());
    ++buckets[x >> 28];
    lowBitOnes += x & 1;
    float f = a.GetFloat();
    b.GetFloat();
    ASSERT_GE(f, 0.0f);
    ASSERT_LT(f, 1.0f);
  }
  for (int count : buckets) EXPECT_NEAR(count, 1000, 150);
  EXPECT_NEAR(lowBitOnes, 8000u, 400u);
}

}  // namespace
