#include "system/math/key_framer.h"

#include <gtest/gtest.h>

namespace {

using Yr::Color32;
using Yr::KeyFramer;
using Yr::MinMax;

TEST(KeyFramerTest, FloatKeysInterpolateAndHoldTheEnds) {
  KeyFramer<float> k;
  EXPECT_EQ(k.Evaluate(1.0f), 0.0f);  // no key
  ASSERT_TRUE(k.AddKey(1.0f, 10.0f));
  EXPECT_EQ(k.Evaluate(-5.0f), 10.0f);
  EXPECT_EQ(k.Evaluate(5.0f), 10.0f);
  ASSERT_TRUE(k.AddKey(2.0f, 20.0f));
  ASSERT_TRUE(k.AddKey(2.0f, 50.0f));  // a step: two keys at one time
  ASSERT_TRUE(k.AddKey(4.0f, 0.0f));
  ASSERT_TRUE(k.AddKey(5.0f, 1.0f));
  EXPECT_FALSE(k.AddKey(6.0f, 2.0f));  // five slots
  EXPECT_EQ(k.mNumKeys, 5);

  const struct {
    float t, value;
  } cases[] = {{0.0f, 10.0f}, {1.0f, 10.0f}, {1.5f, 15.0f}, {1.99f, 19.9f}, {2.0f, 50.0f},
               {3.0f, 25.0f}, {4.0f, 0.0f},  {4.5f, 0.5f},  {5.0f, 1.0f},   {9.0f, 1.0f}};
  for (const auto& c : cases) EXPECT_NEAR(k.Evaluate(c.t), c.value, 1e-4f) << c.t;

  // A count that was filled in by hand is clamped to the slots that exist.
  k.mNumKeys = 77;
  EXPECT_EQ(k.Evaluate(9.0f), 1.0f);
  k.mNumKeys = -3;
  EXPECT_EQ(k.Evaluate(9.0f), 0.0f);
}

TEST(KeyFramerTest, ColoursAndRangesInterpolatePerComponent) {
  KeyFramer<Color32> colours;
  colours.AddKey(0.0f, Color32(0, 255, 10, 255));
  colours.AddKey(1.0f, Color32(255, 0, 20, 0));
  EXPECT_EQ(colours.Evaluate(0.5f), Color32(128, 128, 15, 128));
  EXPECT_EQ(colours.Evaluate(0.25f), Color32(64, 191, 13, 191));

  KeyFramer<MinMax> ranges;
  ranges.AddKey(0.0f, MinMax{1.0f, 2.0f});
  ranges.AddKey(2.0f, MinMax{3.0f, 6.0f});
  EXPECT_EQ(ranges.Evaluate(1.0f), (MinMax{2.0f, 4.0f}));

  KeyFramer<Yr::Vec3> path;
  EXPECT_EQ(path.Evaluate(0.0f), Yr::Vec3(0, 0, 0));
  path.AddKey(1.0f, Yr::Vec3(0, 0, 0));
  path.AddKey(3.0f, Yr::Vec3(2, -4, 8));
  EXPECT_EQ(path.Evaluate(2.0f), Yr::Vec3(1, -2, 4));
  EXPECT_EQ(path.Evaluate(7.0f), Yr::Vec3(2, -4, 8));
}

}  // namespace
