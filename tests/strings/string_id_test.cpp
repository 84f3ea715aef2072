#include "system/strings/string_id.h"
#include <gtest/gtest.h>
TEST(StringIdTest, Smoke) { EXPECT_EQ(Yr::StringId("a"), Yr::StringId("a")); }
