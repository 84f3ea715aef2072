#include "system/debug/log.h"

#include <gtest/gtest.h>

namespace {

using namespace Yr;

TEST(LogTest, EveryTargetNameYieldsTheBanner) {
  Log::LogTarget& banner = Log::GetBanner();
  EXPECT_STREQ(banner.GetName().CStr(), "banner");
  EXPECT_EQ(banner.GetName(), StringId("banner"));
  EXPECT_EQ(&Log::GetTarget("render", false), &banner);
  EXPECT_EQ(&Log::GetTarget("render", true), &banner);
  EXPECT_EQ(&Log::GetTarget(StringId(), true), &banner);
  EXPECT_EQ(banner.mLevel, 7u);
  EXPECT_EQ(banner.mFlags, 0x7Bu);
  EXPECT_FALSE(Log::LogTarget::sCaching);
}

TEST(LogTest, EverySpecNameYieldsTheOneSpec) {
  Log::Spec& spec = Log::GetSpec("physics", false);
  EXPECT_EQ(&Log::GetSpec("audio", true), &spec);
  EXPECT_EQ(&Log::GetSpec(StringId(), false), &spec);
  EXPECT_EQ(spec.mLevel, 7u);
  // Bits 0, 1, 3, 4, 5 and 6 set at load; 2, 7 and all above clear.
  EXPECT_EQ(spec.mFlags, (1u << 0) | (1u << 1) | (1u << 3) | (1u << 4) | (1u << 5) | (1u << 6));
  static_assert(sizeof(Log::Spec) == 2 * sizeof(uint32_t), "two 32-bit words");
}

}  // namespace
