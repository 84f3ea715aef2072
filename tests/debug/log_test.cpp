#include "system/debug/log.h"

#include <gtest/gtest.h>

namespace {

using namespace Yr;

TEST(LogTest, EveryNameYieldsTheOneBannerAndTheOneSpec) {
  Log::LogTarget& banner = Log::GetBanner();
  EXPECT_STREQ(banner.GetName().CStr(), "banner");
  EXPECT_EQ(&Log::GetTarget("render", false), &banner);
  EXPECT_EQ(&Log::GetTarget(StringId(), true), &banner);
  Log::Spec& spec = Log::GetSpec("physics", false);
  EXPECT_EQ(&Log::GetSpec("audio", true), &spec);
  // Level 7; flag bits 0, 1, 3, 4, 5 and 6, the flag word filled in at load.
  for (uint32_t word : {banner.mLevel, spec.mLevel}) EXPECT_EQ(word, 7u);
  for (uint32_t word : {banner.mFlags, spec.mFlags}) EXPECT_EQ(word, 0b1111011u);
  EXPECT_FALSE(Log::LogTarget::sCaching);
}

}  // namespace
