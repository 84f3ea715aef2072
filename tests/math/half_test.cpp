#include "system/math/half.h"

#include "system/math/vector.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using Yr::Half;

TEST(HalfTest, SetKnownValues) {
  const struct {
    float in;
    uint16_t out;
  } cases[] = {
      {1.0f, 0x3C00},      {-0.5f, 0xB800},     {65504.0f, 0x7BFF},  {65535.0f, 0x7BFF},   {1e9f, 0x7BFF},
      {-1e9f, 0xFBFF},     {INFINITY, 0x7BFF},  {-INFINITY, 0xFBFF}, {NAN, 0x7BFF},        {1e-5f, 0x0000},
      {-1e-5f, 0x0000},    {0.0f, 0x0000},      {-0.0f, 0x0000},     {0x1p-14f, 0x0400},   {0x1.FFFFFEp-15f, 0x0000},
      {1.0009765625f, 0x3C01},  // 1 + 2^-10: the lowest mantissa bit
      {1.0009f, 0x3C00},        // just under it: truncated, not rounded
      {-2.0f, 0xC000},     {0x1.FFCp15f, 0x7BFF}, {32768.0f, 0x7800},
  };
  for (const auto& c : cases) {
    Half h;
    h.Set(c.in);
    EXPECT_EQ(h.value, c.out) << c.in;
  }
}

TEST(HalfTest, GetFloatKnownValues) {
  const struct {
    uint16_t in;
    float out;
  } cases[] = {
      {0x0001, 0x1p-24f}, {0x03FF, 0x3FFp-24f}, {0x8001, -0x1p-24f}, {0x0000, 0.0f},
      {0x3C00, 1.0f},     {0x7BFF, 65504.0f},   {0x7C00, 65536.0f},  {0xFC00, -65536.0f},
      {0x7FFF, 0x1.FFCp16f},  // a NaN pattern reads as a finite number
  };
  for (const auto& c : cases) {
    Half h;
    h.value = c.in;
    EXPECT_EQ(h.GetFloat(), c.out) << std::hex << c.in;
  }
  Half negativeZero;
  negativeZero.value = 0x8000;
  EXPECT_TRUE(std::signbit(negativeZero.GetFloat()));
}

// Every normal half survives GetFloat then Set unchanged; the subnormals flush to +0.
TEST(HalfTest, EveryHalfRoundTripsThroughFloat) {
  for (uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
    Half h;
    h.value = static_cast<uint16_t>(bits);
    const uint32_t exponent = (bits >> 10) & 0x1F;
    Half back(h.GetFloat());
    if (exponent == 0) {
      EXPECT_EQ(back.value, 0) << std::hex << bits;
    } else if (exponent == 31) {
      EXPECT_EQ(back.value, (bits & 0x8000) | 0x7BFF) << std::hex << bits;
    } else {
      EXPECT_EQ(back.value, bits) << std::hex << bits;
    }
  }
}

// Set never rounds away from zero: the half is at most the float in magnitude, and the
// next half up (when the float is in range) is above it.
TEST(HalfTest, SetTruncatesTowardZero) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> exponent(-14.0f, 15.99f);
  for (int i = 0; i < 20000; ++i) {
    float f = std::exp2(exponent(random)) * (i % 2 ? -1.0f : 1.0f);
    Half h(f);
    Half next;
    next.value = static_cast<uint16_t>(h.value + 1);
    EXPECT_LE(std::abs(h.GetFloat()), std::abs(f)) << f;
    EXPECT_GT(std::abs(next.GetFloat()), std::abs(f)) << f;
    EXPECT_EQ(std::signbit(h.GetFloat()), std::signbit(f));
  }
}

#if defined(__i386__) || defined(__x86_64__)
[[gnu::target("f16c")]] float ProcessorHalfToFloat(uint16_t bits) {
  return _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(bits)));
}

// GetFloat agrees bit for bit with the processor's conversion for every half but the
// infinities and NaNs, which it reads as finite numbers.
TEST(HalfTest, GetFloatMatchesTheProcessorForEveryHalf) {
  if (!__builtin_cpu_supports("f16c")) GTEST_SKIP() << "this processor has no F16C";
  int compared = 0;
  for (uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
    if (((bits >> 10) & 0x1F) == 31) continue;
    Half h;
    h.value = static_cast<uint16_t>(bits);
    ASSERT_EQ(std::bit_cast<uint32_t>(h.GetFloat()), std::bit_cast<uint32_t>(ProcessorHalfToFloat(h.value)))
        << std::hex << bits;
    ++compared;
  }
  EXPECT_EQ(compared, 65536 - 2048);
}
#endif

TEST(HalfTest, Half4ConvertsEachComponent) {
  Yr::Half4 h(1.0f, -0.5f, 1e9f, 1e-6f);
  EXPECT_EQ(h.x.value, 0x3C00);
  EXPECT_EQ(h.y.value, 0xB800);
  EXPECT_EQ(h.z.value, 0x7BFF);
  EXPECT_EQ(h.w.value, 0x0000);
  Yr::Half4 fromVec4(Yr::Vec4(2.0f, 0.5f, -1.0f, 65504.0f));
  EXPECT_EQ(fromVec4.x.value, 0x4000);
  EXPECT_EQ(fromVec4.y.value, 0x3800);
  EXPECT_EQ(fromVec4.z.value, 0xBC00);
  EXPECT_EQ(fromVec4.w.value, 0x7BFF);
  Yr::Half4 fromVec3(Yr::Vec3(1.0f, 2.0f, -2.0f), 0.5f);
  EXPECT_EQ(fromVec3.x.value, 0x3C00);
  EXPECT_EQ(fromVec3.z.value, 0xC000);
  EXPECT_EQ(fromVec3.w.value, 0x3800);
}

}  // namespace
