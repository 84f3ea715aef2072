#include "system/math/bit_find.h"

#include "system/platform/vm_platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

int SlowFind(const std::vector<uint8_t>& bytes, unsigned count, unsigned start) {
  for (unsigned i = start; i < count; ++i) {
    if (bytes[i / 8] >> (i % 8) & 1) return static_cast<int>(i);
  }
  return -1;
}

TEST(BitFindTest, KnownCases) {
  const uint8_t bits[] = {0x00, 0x10};
  EXPECT_EQ(Yr::BitFind(bits, 16, 0), 12);
  EXPECT_EQ(Yr::BitFind(bits, 16, 12), 12);
  EXPECT_EQ(Yr::BitFind(bits, 16, 13), -1);
  EXPECT_EQ(Yr::BitFind(bits, 12, 0), -1);
  EXPECT_EQ(Yr::BitFind(bits, 13, 0), 12);
  EXPECT_EQ(Yr::BitFind(bits, 0, 0), -1);
  const uint8_t first[] = {0x81};
  EXPECT_EQ(Yr::BitFind(first, 8, 0), 0);
  EXPECT_EQ(Yr::BitFind(first, 8, 1), 7);
  EXPECT_EQ(Yr::BitFind(first, 7, 1), -1);
}

// Random arrays, counts and starts against a bit-by-bit search.
TEST(BitFindTest, AgreesWithBitByBitSearch) {
  std::mt19937 random(5);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes(1 + random() % 12);
    // Sparse arrays, so the whole-byte skip is exercised.
    for (uint8_t& b : bytes) b = (random() % 4 == 0) ? static_cast<uint8_t>(random()) : 0;
    unsigned count = random() % (bytes.size() * 8 + 1);
    unsigned start = random() % (bytes.size() * 8 + 2);
    EXPECT_EQ(Yr::BitFind(bytes.data(), count, start), SlowFind(bytes, count, start))
        << "count " << count << " start " << start;
  }
}

// The array ends right before an unreadable page: no search may read past the byte that
// holds bit count - 1, nor the byte of a start at or past count.
TEST(BitFindTest, ReadsNoByteBeyondTheCount) {
  // Two pages of address space with only the first committed: the second cannot be read.
  const size_t page = Yr::Platform::VirtualPageSize();
  void* range = Yr::Platform::ReserveAddressSpace(nullptr, 2 * page);
  ASSERT_NE(range, nullptr);
  ASSERT_NE(Yr::Platform::CommitAddressSpace(range, page), nullptr);
  uint8_t* guard = static_cast<uint8_t*>(range) + page;
  uint8_t* bits = guard - 3;
  bits[0] = bits[1] = bits[2] = 0;
  EXPECT_EQ(Yr::BitFind(bits, 24, 0), -1);
  EXPECT_EQ(Yr::BitFind(bits, 24, 24), -1);
  EXPECT_EQ(Yr::BitFind(bits, 24, 1000), -1);
  EXPECT_EQ(Yr::BitFind(bits, 17, 3), -1);
  bits[2] = 0x80;
  EXPECT_EQ(Yr::BitFind(bits, 24, 0), 23);
  EXPECT_EQ(Yr::BitFind(bits, 23, 0), -1);
  EXPECT_TRUE(Yr::Platform::ReleaseAddressSpace(range, 2 * page));
}

}  // namespace
