#include "system/math/noise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "system/thread/timer.h"

namespace {

using Yr::PerlinNoise;

TEST(PerlinNoiseTest, Noise1KnownValuesAndRange) {
  EXPECT_NEAR(PerlinNoise::Noise1(0), -0.281791f, 1e-6f);
  EXPECT_EQ(PerlinNoise::Noise1(12345), PerlinNoise::Noise1(12345));
  EXPECT_NE(PerlinNoise::Noise1(1), PerlinNoise::Noise1(2));
  for (int n = -5000; n < 5000; ++n) {
    float v = PerlinNoise::Noise1(n);
    EXPECT_GT(v, -1.0f);
    EXPECT_LE(v, 1.0f);
  }
}

TEST(PerlinNoiseTest, SmoothingAndInterpolationFollowTheirDefinitions) {
  // Each argument is truncated on its own: at 0.5, x - 1 = -0.5 truncates to 0, not -1.
  EXPECT_FLOAT_EQ(PerlinNoise::SmoothedNoise_1(0.5f), PerlinNoise::Noise1(0) * 0.75f + PerlinNoise::Noise1(1) / 4);
  EXPECT_FLOAT_EQ(PerlinNoise::SmoothedNoise_1(0.0f),
                  PerlinNoise::Noise1(0) / 2 + PerlinNoise::Noise1(-1) / 4 + PerlinNoise::Noise1(1) / 4);
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
    EXPECT_FLOAT_EQ(PerlinNoise::PerlinNoise_1D(x, 0.5f, 2),
                    PerlinNoise::InterpolatedNoise_1(x) + 0.5f * PerlinNoise::InterpolatedNoise_1(2 * x));
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
