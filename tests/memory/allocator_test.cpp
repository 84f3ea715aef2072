#include "system/memory/allocator.h"
#include <gtest/gtest.h>
TEST(AllocatorTest, Smoke) { void* p = Yr::_AlignedMalloc(16, 16, nullptr, 0); EXPECT_NE(p, nullptr); Yr::_AlignedFree(p); }
