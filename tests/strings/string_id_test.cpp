#include "system/strings/string_id.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Yr::StringId;
using Cache = Yr::Detail::StringIdCache;

unsigned int BucketOf(const std::string& text) {
  return Cache::Hash(text.c_str(), static_cast<uint32_t>(text.size())) % Cache::kBuckets;
}

TEST(StringIdTest, NullAndEmptyAreDifferent) {
  StringId none;
  StringId fromNull(static_cast<const char*>(nullptr));
  for (const StringId* id : std::initializer_list<const StringId*>{&none, &fromNull, &StringId::null}) {
    EXPECT_EQ(id->CStr(), nullptr);
    EXPECT_EQ(**id, nullptr);
    EXPECT_EQ(id->Length(), 0u);
    EXPECT_TRUE(id->Empty());
    EXPECT_FALSE(*id);
    EXPECT_EQ(*id, StringId::null);
  }
  StringId empty("");
  ASSERT_NE(empty.CStr(), nullptr);
  EXPECT_STREQ(empty.CStr(), "");
  EXPECT_TRUE(empty.Empty());
  EXPECT_TRUE(empty);
  EXPECT_NE(empty, StringId::null);
  EXPECT_LT(StringId::null, empty);
  EXPECT_GT(empty, StringId::null);
  EXPECT_LE(none, StringId::null);
  EXPECT_GE(none, StringId::null);
  EXPECT_EQ(empty.GetNode(), StringId::msCache->EmptyNode());
  EXPECT_STREQ(StringId::GetRTTI(), "StringId");
}

TEST(StringIdTest, InterningIsExactAndCaseSensitive) {
  StringId a("Abc");
  StringId b("Abc");
  StringId lower("abc");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.GetNode(), b.GetNode());
  EXPECT_NE(a, lower);
  EXPECT_EQ(a.Length(), 3u);
  EXPECT_FALSE(a.Empty());
  EXPECT_EQ(a.RefCount(), 2u);
  // Ordering follows node addresses, whatever the texts say.
  bool addressOrder = reinterpret_cast<uintptr_t>(a.GetNode()) < reinterpret_cast<uintptr_t>(lower.GetNode());
  EXPECT_EQ(a < lower, addressOrder);
  EXPECT_EQ(lower < a, !addressOrder);
}

TEST(StringIdTest, CountsFollowHandlesAndNeverGoBelowZero) {
  StringId a("counted text");
  EXPECT_EQ(a.RefCount(), 1u);
  {
    StringId copy(a);
    StringId assigned;
    assigned = a;
    EXPECT_EQ(a.RefCount(), 3u);
    assigned = assigned;  // self-assignment keeps node and count
    EXPECT_EQ(assigned, a);
    EXPECT_EQ(a.RefCount(), 3u);
    StringId other("another counted text");
    assigned = other;
    EXPECT_EQ(a.RefCount(), 2u);
    EXPECT_EQ(other.RefCount(), 2u);
  }
  EXPECT_EQ(a.RefCount(), 1u);
  // A release on a node already at 0 leaves it at 0.
  auto* node = const_cast<Cache::Node*>(a.GetNode());
  Cache::Destroy(node);
  Cache::Destroy(node);
  EXPECT_EQ(node->refcount.load(), 0u);
  Cache::RealClone(node);
  EXPECT_EQ(node->refcount.load(), 1u);
}

TEST(StringIdTest, NodeLayout) {
  for (uint32_t length : {0u, 1u, 10u, 11u, 12u, 27u, 100u}) {
    uint32_t size = Cache::BlockSize(length);
    EXPECT_EQ(size % Cache::kBlockGranule, 0u);
    EXPECT_GE(size, Cache::kHeaderSize + length + 1);
  }
#if UINTPTR_MAX == 0xFFFFFFFFu
  // A 20-byte header: the block is n + 37 rounded down to 16.
  for (uint32_t n = 0; n < 64; ++n) EXPECT_EQ(Cache::BlockSize(n), (n + 37) / 16 * 16) << n;
#endif
  std::string text(40, 'x');
  StringId id(text.c_str());
  EXPECT_EQ(id.GetNode()->capacity, Cache::BlockSize(40) - Cache::kHeaderSize);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(id.GetNode()) % 16, 0u);
  EXPECT_EQ(id.CStr(), reinterpret_cast<const char*>(id.GetNode()) + Cache::kHeaderSize);
}

// Texts longer than a node can describe are refused with the null handle before anything is
// read, allocated or copied: only 16 bytes lie behind the text pointer here, so a read or a
// copy of the claimed length would run far outside it.
TEST(StringIdTest, TextsTooLongForANodeAreRefused) {
  // The limit is tight: one byte more and the block size would wrap around 32 bits.
  EXPECT_GE(Cache::BlockSize(Cache::kMaxTextLength), Cache::kMaxTextLength);
  EXPECT_LT(Cache::BlockSize(Cache::kMaxTextLength + 1), Cache::kHeaderSize + 1);

  const char text[16] = "aaaaaaaaaaaaaaa";
  StringId shortText("aaaaa");
  const unsigned int count = shortText.RefCount();
  std::vector<size_t> refused = {size_t{Cache::kMaxTextLength} + 1, size_t{UINT32_MAX} - 20, size_t{UINT32_MAX}};
  if (sizeof(size_t) > sizeof(uint32_t)) {
    // Lengths whose low 32 bits name a short text: 2^32 + 5 once read as the text "aaaaa".
    const uint64_t wrap = uint64_t{1} << 32;
    for (uint64_t length : {wrap, wrap + 5, wrap + 15, wrap * 3 + 1, uint64_t{SIZE_MAX}}) {
      refused.push_back(static_cast<size_t>(length));
    }
  }
  for (size_t length : refused) {
    SCOPED_TRACE(length);
    EXPECT_EQ(StringId::msCache->Create(text, length), nullptr);
    EXPECT_EQ(shortText.RefCount(), count);
  }
  // Lengths that fit take exactly that many bytes of the text.
  Cache::Node* node = StringId::msCache->Create(text, 5);
  EXPECT_EQ(node, shortText.GetNode());
  Cache::Destroy(node);
  EXPECT_EQ(StringId::msCache->Create(nullptr, 5), nullptr);
}

TEST(StringIdTest, BucketHashSamplesLongTexts) {
  // Every byte counts up to 16 characters: h = (h << 3) ^ byte.
  EXPECT_EQ(Cache::Hash("", 0), 0u);
  EXPECT_EQ(Cache::Hash("ab", 2), (static_cast<uint32_t>('a') << 3) ^ 'b');
  EXPECT_EQ(Cache::Hash("abc", 3), (((static_cast<uint32_t>('a') << 3) ^ 'b') << 3) ^ 'c');
  // A 16-character text is hashed whole: its last bytes decide the bucket.
  EXPECT_NE(BucketOf("0123456789abcdef"), BucketOf("0123456789abcdeF"));
  // Above 16, bytes 0-2 and 8 to length-7 are not sampled.
  std::string base = "abcdefghijklmnopqrstuvwxyz";
  std::string first = base, second = base;
  first[0] = 'X';
  second[1] = 'Y';
  second[10] = 'Z';
  ASSERT_EQ(BucketOf(first), BucketOf(second));
  StringId a(first.c_str());
  StringId b(second.c_str());
  EXPECT_NE(a, b);
  EXPECT_STREQ(a.CStr(), first.c_str());
  EXPECT_STREQ(b.CStr(), second.c_str());
  EXPECT_EQ(StringId(first.c_str()), a);
  // The eleven sampled positions, in order.
  const uint32_t n = static_cast<uint32_t>(base.size());
  uint32_t h = 0;
  for (uint32_t index : {n - 6, 3u, n - 5, 4u, n - 4, 5u, n - 3, 6u, n - 2, 7u, n - 1})
    h = (h << 3) ^ static_cast<unsigned char>(base[index]);
  EXPECT_EQ(Cache::Hash(base.c_str(), n), h);
}

TEST(StringIdTest, RevivalAndCollection) {
  const char* text = "revived before the sweep";
  const Cache::Node* node;
  {
    StringId first(text);
    node = first.GetNode();
  }
  StringId again(text);
  EXPECT_EQ(again.GetNode(), node);  // count went 1, 0, 1 on the same node
  EXPECT_EQ(again.RefCount(), 1u);

  // Incremental collection sweeps one bucket per call, starting after the cursor.
  StringId::GC(true);
  EXPECT_EQ(StringId::msCache->GcCursor(), 0u);
  unsigned int bucket = BucketOf("swept by the incremental pass");
  { StringId doomed("swept by the incremental pass"); }
  unsigned int before = StringId::msCache->BucketLength(bucket);
  for (unsigned int i = 1; i < bucket; ++i) StringId::GC(false);
  EXPECT_EQ(StringId::msCache->GcCursor(), bucket == 0 ? 0u : bucket - 1);
  EXPECT_EQ(StringId::msCache->BucketLength(bucket), before);
  StringId::GC(false);  // sweeps the text's bucket (wrapping to 0 after the last)
  EXPECT_EQ(StringId::msCache->GcCursor(), bucket);
  EXPECT_EQ(StringId::msCache->BucketLength(bucket), before - 1);
  // The cursor wraps from the last bucket to 0.
  for (unsigned int i = bucket; i < Cache::kBuckets - 1; ++i) StringId::GC(false);
  EXPECT_EQ(StringId::msCache->GcCursor(), Cache::kBuckets - 1);
  StringId::GC(false);
  EXPECT_EQ(StringId::msCache->GcCursor(), 0u);

  // A full pass frees every unreferenced node and keeps "" and the live ones.
  { StringId gone("gone after a full pass"); }
  StringId::GC(true);
  unsigned int total = 0;
  for (unsigned int i = 0; i < Cache::kBuckets; ++i) total += StringId::msCache->BucketLength(i);
  StringId empty("");
  EXPECT_EQ(empty.GetNode(), StringId::msCache->EmptyNode());
  EXPECT_EQ(again.GetNode(), node);
  StringId remade("gone after a full pass");
  unsigned int after = 0;
  for (unsigned int i = 0; i < Cache::kBuckets; ++i) after += StringId::msCache->BucketLength(i);
  EXPECT_EQ(after, total + 1);  // it had to be made anew
}

TEST(StringIdTest, LookupMovesTheNodeToTheFront) {
  std::string a = "front-of-bucket text 0000000";
  std::string b = a;
  b[1] = '#';  // same bucket: byte 1 is not sampled
  ASSERT_EQ(BucketOf(a), BucketOf(b));
  StringId first(a.c_str());
  StringId second(b.c_str());  // newest at the front
  StringId found(a.c_str());   // found again: moved in front of b
  const Yr::ListNode* head = found.GetNode()->prev;
  // The node before the front node is the bucket sentinel, whose next is the front node.
  EXPECT_EQ(head->next, found.GetNode());
  EXPECT_EQ(found.GetNode()->next, second.GetNode());
}

TEST(StringIdTest, ConcurrentMakeCopyDropAndCollect) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 4000;
  constexpr int kTexts = 64;
  std::vector<std::string> texts;
  for (int i = 0; i < kTexts; ++i) texts.push_back("shared text number " + std::to_string(i));
  std::atomic<bool> failed{false};
  std::atomic<bool> stop{false};
  std::thread collector([&] {
    while (!stop.load()) StringId::GC(false);
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string& text = texts[(round * 7 + t) % kTexts];
        StringId made(text.c_str());
        StringId copy = made;
        StringId again(text.c_str());
        if (copy != again || std::strcmp(copy.CStr(), text.c_str()) != 0) failed = true;
        if (round % 64 == 0) StringId::GC(true);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  stop = true;
  collector.join();
  EXPECT_FALSE(failed.load());
  StringId::GC(true);
  // Every count went back to zero: the texts were all collected and are made anew.
  StringId probe(texts[0].c_str());
  EXPECT_EQ(probe.RefCount(), 1u);
}

}  // namespace

namespace {

TEST(StringIdDeathTest, MakingAHandleAfterTheTableIsGoneIsAFatalStop) {
  EXPECT_DEATH(
      {
        Yr::Detail::DestroyStringTable();
        Yr::StringId late("made too late");
      },
      "StringId was made after the string table was destroyed");
}

}  // namespace
