#include "system/math/color32.h"

#include "system/math/vector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace {

using Yr::Color32;

TEST(Color32Test, LayoutIsRedGreenBlueAlphaInMemory) {
  Color32 c(1, 2, 3, 4);
  uint8_t bytes[4];
  std::memcpy(bytes, &c, sizeof c);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes[3], 4);
  EXPECT_EQ(c.GetValue(), 0x04030201u);
  EXPECT_EQ(Color32::FromValue(0xAABBCCDDu), Color32(0xDD, 0xCC, 0xBB, 0xAA));
  EXPECT_EQ(Color32(9, 8, 7).a, 255);
}

struct HdrCase {
  float r, g, b, range;
  Color32 expected;
};

TEST(Color32Test, EncodeHDR2RGBSKnownValues) {
  const HdrCase cases[] = {
      {8.0f, 0.0f, 0.0f, 8.0f, {255, 0, 0, 255}},
      {2.0f, 2.0f, 2.0f, 8.0f, {127, 127, 127, 127}},   // 0.25 of range: k = 0.5
      {0.0f, 0.0f, 100.0f, 8.0f, {0, 0, 255, 255}},     // clamped to range first
      {50.0f, 4.0f, 0.0f, 8.0f, {255, 127, 0, 255}},    // red clamps to 8, so green is half of it
      {-3.0f, 1.0f, 0.0f, 4.0f, {0, 127, 0, 127}},      // negative channels pack to 0
      {0.0f, 0.0f, 0.0f, 8.0f, {0, 0, 0, 0}},           // nothing to scale by
      {1.0f, 1.0f, 1.0f, 0.0f, {0, 0, 0, 0}},           // no range
      {NAN, 0.5f, 0.5f, 1.0f, {255, 127, 127, 255}},  // NaN clamps to range like a huge value
  };
  for (const HdrCase& c : cases) {
    EXPECT_EQ(Color32::EncodeHDR2RGBS(c.r, c.g, c.b, c.range), c.expected) << c.r << " " << c.g << " " << c.b;
  }
}

// Decoding a packed colour gives the input back to within the precision of two bytes.
TEST(Color32Test, EncodeHDR2RGBSRoundTripsWithinPrecision) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> channel(0.01f, 16.0f);
  const float range = 16.0f;
  for (int i = 0; i < 2000; ++i) {
    float in[3] = {channel(random), channel(random), channel(random)};
    Color32 packed = Color32::EncodeHDR2RGBS(in[0], in[1], in[2], range);
    const uint8_t out[3] = {packed.r, packed.g, packed.b};
    float m = std::fmax(in[0], std::fmax(in[1], in[2]));
    for (int k = 0; k < 3; ++k) {
      float decoded = out[k] / 255.0f * (packed.a / 255.0f) * range;
      // Each byte loses under 1/255 of its unit: the error is bounded by both losses.
      EXPECT_NEAR(decoded, in[k], 2.0f * range * std::sqrt(m / range) / 255.0f + 1e-4f);
    }
    // The largest channel and the scale carry the same value.
    EXPECT_LE(std::abs(static_cast<int>(std::max({out[0], out[1], out[2]})) - packed.a), 1);
  }
}

TEST(Color32Test, EncodeHDR2RGBS4SharesOneScale) {
  using Yr::Vec3;
  Color32 o[4];
  // The largest of all twelve components sets the scale: range here, so k = 1.
  Color32::EncodeHDR2RGBS4(Vec3(8, 0, 0), Vec3(2, 4, 0), Vec3(0, 0, 100), Vec3(-1, 1, 0), 8.0f, o[0], o[1], o[2], o[3]);
  EXPECT_EQ(o[0], Color32(255, 0, 0, 255));
  EXPECT_EQ(o[1], Color32(63, 127, 0, 255));
  EXPECT_EQ(o[2], Color32(0, 0, 255, 255));  // clamped to range
  EXPECT_EQ(o[3], Color32(0, 31, 0, 255));
  // Four equal colours pack like one.
  std::mt19937 random(2);
  std::uniform_real_distribution<float> channel(0.0f, 10.0f);
  for (int i = 0; i < 200; ++i) {
    Vec3 c(channel(random), channel(random), channel(random));
    Color32::EncodeHDR2RGBS4(c, c, c, c, 8.0f, o[0], o[1], o[2], o[3]);
    for (const Color32& packed : o) EXPECT_EQ(packed, Color32::EncodeHDR2RGBS(c.x, c.y, c.z, 8.0f));
  }
  Color32::EncodeHDR2RGBS4(Vec3(0, 0, 0), Vec3(-1, -1, -1), Vec3(0, 0, 0), Vec3(0, 0, 0), 8.0f, o[0], o[1], o[2], o[3]);
  for (const Color32& packed : o) EXPECT_EQ(packed, Color32(0, 0, 0, 0));
}

struct HsvCase {
  float h, s, v;
  Color32 expected;
};

TEST(Color32Test, HSV2RGBSectorsAndEdges) {
  const HsvCase cases[] = {
      {0.0f, 0.0f, 1.0f, {255, 255, 255, 255}},
      {0.3f, 0.0f, 0.5f, {127, 127, 127, 255}},
      {0.0f, 1.0f, 1.0f, {255, 0, 0, 255}},
      {1.0f, 1.0f, 1.0f, {255, 0, 0, 255}},  // hue 1 wraps to 0
      {1.0f / 6.0f, 1.0f, 1.0f, {255, 255, 0, 255}},
      {2.0f / 6.0f, 1.0f, 1.0f, {0, 255, 0, 255}},
      {0.5f, 1.0f, 1.0f, {0, 255, 255, 255}},
      {4.0f / 6.0f, 1.0f, 1.0f, {0, 0, 255, 255}},
      {5.0f / 6.0f, 1.0f, 1.0f, {255, 0, 255, 255}},
      {0.75f, 0.5f, 1.0f, {191, 127, 255, 255}},  // sector 4, f = 0.5: t = 0.75
      {2.0f, 1.0f, 1.0f, {255, 0, 255, 255}},     // sector 12 takes the last rule (v, p, q), f = 0
      {-0.1f, 1.0f, 1.0f, {255, 103, 0, 255}},    // sector 0, f < 0: t = -0.6 wraps (-153 & 0xFF)
  };
  for (const HsvCase& c : cases) {
    Color32 got = Color32::HSV2RGB(c.h, c.s, c.v);
    EXPECT_EQ(got, c.expected) << c.h << " " << c.s << " " << c.v << " -> " << int(got.r) << "," << int(got.g) << ","
                               << int(got.b);
  }
  // Huge and NaN inputs stay defined.
  (void)Color32::HSV2RGB(1e30f, 1.0f, 1e30f);
  (void)Color32::HSV2RGB(NAN, NAN, NAN);
}

TEST(Color32Test, LinearLookupFollowsGamma22ToFourDigits) {
  EXPECT_EQ(Color32::sToLinearLookup[0], 0.0f);
  EXPECT_EQ(Color32::sToLinearLookup[255], 1.0f);
  EXPECT_NEAR(Color32::sToLinearLookup[1], 5.08e-6f, 0.01e-6f);
  EXPECT_NEAR(Color32::sToLinearLookup[128], 0.21952f, 0.0001f);
  for (int i = 1; i < 256; ++i) {
    double exact = std::pow(i / 255.0, 2.2);
    EXPECT_NEAR(Color32::sToLinearLookup[i], exact, exact * 5e-4) << i;
    EXPECT_GT(Color32::sToLinearLookup[i], Color32::sToLinearLookup[i - 1]) << i;
  }
}

}  // namespace
