#include "system/options/record_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

using Yr::Detail::PointerIndex;

// Random puts (new keys and replacements) and gets (present and absent keys) agree with a
// reference map at every step, through several doublings; keys are 16-byte spaced like
// node blocks, the case that defeats a hash of the low bits.
TEST(PointerIndexTest, AgreesWithAReferenceMapThroughGrowth) {
  std::vector<char> arena(16 * 5000 + 16);
  auto keyAt = [&](uint32_t i) { return static_cast<const void*>(arena.data() + 16 * i); };
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    PointerIndex index;
    std::unordered_map<const void*, uintptr_t> reference;
    for (uint32_t step = 0; step < 20000; ++step) {
      const void* key = keyAt(random() % 5000);
      if (random() % 2) {
        const uintptr_t value = random() | 1u;
        index.Put(key, value);
        reference[key] = value;
      }
      const auto found = reference.find(key);
      ASSERT_EQ(index.Get(key), found == reference.end() ? 0u : found->second) << step;
      ASSERT_EQ(index.Count(), reference.size());
      ASSERT_LE(index.Count() * 2, index.Capacity());  // never more than half full
    }
    for (const auto& [key, value] : reference) ASSERT_EQ(index.Get(key), value);
    index.Clear();
    EXPECT_EQ(index.Count(), 0u);
    EXPECT_EQ(index.Get(keyAt(0)), 0u);
  }
}

TEST(PointerIndexTest, NullKeysAndEmptyIndex) {
  PointerIndex index;
  int a = 0;
  EXPECT_EQ(index.Get(&a), 0u);
  EXPECT_EQ(index.Get(nullptr), 0u);
  index.Put(nullptr, 7);
  EXPECT_EQ(index.Count(), 0u);
  index.Put(&a, 9);
  EXPECT_EQ(index.Get(&a), 9u);
  EXPECT_EQ(index.Get(nullptr), 0u);
}

}  // namespace
