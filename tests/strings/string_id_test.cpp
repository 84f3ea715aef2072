#include "system/strings/string_id.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "system/strings/hash.h"

namespace {

using Yr::StringId;
using Cache = Yr::Detail::StringIdCache;

uint64_t HashOf(const std::string& text) { return Cache::Hash(text.c_str(), static_cast<uint32_t>(text.size())); }

// Two texts that share a shard and the low 16 bits of their hash, hence a bucket while their
// shard has at most 65,536 buckets.
std::pair<std::string, std::string> SameBucketPair(const std::string& stem) {
  constexpr uint64_t kLowBits = 0xFFFF;
  std::map<uint64_t, std::string> seen;
  for (int i = 0;; ++i) {
    std::string text = stem + std::to_string(i);
    const uint64_t h = HashOf(text);
    const uint64_t key = (uint64_t{Cache::ShardOf(h)} << 16) | (h & kLowBits);
    auto [it, added] = seen.emplace(key, text);
    if (!added) return {it->second, text};
  }
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
  EXPECT_GE(Cache::BlockSize(Cache::kMaxTextLength), size_t{Cache::kMaxTextLength});
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

TEST(StringIdTest, BucketHashCoversEveryByte) {
  // The table hashes with the library's string hash, seed 0.
  for (const char* text : {"", "a", "assets/level1/mesh_1.msh", "render.shadow.cascade.count"})
    EXPECT_EQ(Cache::Hash(text, static_cast<uint32_t>(std::strlen(text))), Yr::Hash(text, std::strlen(text), 0));
  // A change at any position of a long text, the middle ones included, moves it to another
  // shard or bucket (bits that select them all differ somewhere among these cases).
  const std::string base = "assets/level12/textures/wall_brick_diffuse.tga";
  const uint64_t baseHash = HashOf(base);
  for (size_t i = 0; i < base.size(); ++i) {
    std::string changed = base;
    changed[i] = static_cast<char>(changed[i] ^ 1);
    const uint64_t h = HashOf(changed);
    EXPECT_TRUE(Cache::ShardOf(h) != Cache::ShardOf(baseHash) || (h & 0xFFFF) != (baseHash & 0xFFFF)) << i;
  }
  // Texts that do share a bucket are still told apart by the full comparison.
  auto [first, second] = SameBucketPair("shared bucket text ");
  StringId a(first.c_str());
  StringId b(second.c_str());
  EXPECT_NE(a, b);
  EXPECT_STREQ(a.CStr(), first.c_str());
  EXPECT_STREQ(b.CStr(), second.c_str());
  EXPECT_EQ(StringId(first.c_str()), a);
  EXPECT_EQ(StringId(second.c_str()), b);
}

// The table grows with its texts: load stays at most one node per bucket, chains short, and
// every text keeps its node through the doublings.
TEST(StringIdTest, TableGrowsWithItsNodes) {
  StringId::GC(true);
  const unsigned int startNodes = StringId::msCache->NodeCount();
  EXPECT_GE(StringId::msCache->Size(), Cache::kBuckets);
  std::vector<StringId> ids;
  std::vector<std::string> texts;
  for (int i = 0; i < 20000; ++i) {
    texts.push_back("assets/level" + std::to_string(i % 40) + "/mesh_" + std::to_string(i) + ".msh");
    ids.emplace_back(texts.back().c_str());
  }
  const unsigned int nodes = StringId::msCache->NodeCount();
  EXPECT_EQ(nodes, startNodes + 20000u);
  EXPECT_LE(nodes, StringId::msCache->Size());
  EXPECT_LE(StringId::msCache->LongestChain(), 12u);
  for (size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(StringId(texts[i].c_str()), ids[i]) << texts[i];
    ASSERT_STREQ(ids[i].CStr(), texts[i].c_str());
  }
  ids.clear();
  StringId::GC(true);
  EXPECT_EQ(StringId::msCache->NodeCount(), startNodes);
  EXPECT_FALSE(StringId::msCache->Holds(texts[0].c_str()));
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

  // Incremental collection sweeps one share per call, starting after the cursor.
  StringId::GC(true);
  EXPECT_EQ(StringId::msCache->GcCursor(), 0u);
  const char* doomedText = "swept by the incremental pass";
  unsigned int step = 0;
  {
    StringId doomed(doomedText);
    step = StringId::msCache->GcStepOf(doomedText);  // after making it: making may grow the shard
  }
  ASSERT_LT(step, decltype(step){Cache::kGcSteps});
  for (unsigned int i = 1; i < step; ++i) StringId::GC(false);
  EXPECT_EQ(StringId::msCache->GcCursor(), step == 0 ? 0u : step - 1);
  EXPECT_TRUE(StringId::msCache->Holds(doomedText));
  if (step == 0)  // the last share: sweep up to it
    for (unsigned int i = 1; i < Cache::kGcSteps; ++i) StringId::GC(false);
  EXPECT_TRUE(StringId::msCache->Holds(doomedText));
  StringId::GC(false);  // sweeps the text's share
  EXPECT_EQ(StringId::msCache->GcCursor(), step);
  EXPECT_FALSE(StringId::msCache->Holds(doomedText));
  // The cursor wraps from the last share to 0.
  for (unsigned int i = step; i < Cache::kGcSteps - 1; ++i) StringId::GC(false);
  EXPECT_EQ(StringId::msCache->GcCursor(), Cache::kGcSteps - 1);
  StringId::GC(false);
  EXPECT_EQ(StringId::msCache->GcCursor(), 0u);

  // A full pass frees every unreferenced node and keeps "" and the live ones.
  { StringId gone("gone after a full pass"); }
  EXPECT_TRUE(StringId::msCache->Holds("gone after a full pass"));
  StringId::GC(true);
  EXPECT_FALSE(StringId::msCache->Holds("gone after a full pass"));
  const unsigned int total = StringId::msCache->NodeCount();
  StringId empty("");
  EXPECT_EQ(empty.GetNode(), StringId::msCache->EmptyNode());
  EXPECT_EQ(again.GetNode(), node);
  StringId remade("gone after a full pass");
  EXPECT_EQ(StringId::msCache->NodeCount(), total + 1);  // it had to be made anew
}

// Collecting a node in the middle, at the head or at the end of a chain leaves the others
// where lookups find them, with their counts.
TEST(StringIdTest, CollectingOneNodeOfAChainKeepsTheOthers) {
  auto [a, b] = SameBucketPair("chain text ");
  const std::string c = SameBucketPair(a + " ").first;  // a third text, any bucket
  for (int doomed = 0; doomed < 3; ++doomed) {
    SCOPED_TRACE(doomed);
    const std::string texts[3] = {a, b, c};
    std::vector<StringId> kept;
    for (int i = 0; i < 3; ++i) {
      StringId made(texts[i].c_str());
      if (i != doomed) kept.push_back(made);
    }
    StringId::GC(true);
    EXPECT_FALSE(StringId::msCache->Holds(texts[doomed].c_str()));
    int k = 0;
    for (int i = 0; i < 3; ++i) {
      if (i == doomed) continue;
      StringId again(texts[i].c_str());
      EXPECT_EQ(again, kept[k]);
      EXPECT_EQ(again.RefCount(), 2u);
      ++k;
    }
    kept.clear();
    StringId::GC(true);
  }
}

// Lookups without the lock run while the table grows and collects under them: every handle
// names its text, and handles of one text made at the same time are the same node.
TEST(StringIdTest, LockFreeLookupsDuringGrowthAndCollection) {
  constexpr int kReaders = 3;
  constexpr int kTexts = 256;
  constexpr int kRounds = 60000;
  std::vector<std::string> texts;
  for (int i = 0; i < kTexts; ++i) texts.push_back("lookup under growth " + std::to_string(i));
  std::vector<StringId> held;  // half stay alive throughout
  for (int i = 0; i < kTexts / 2; ++i) held.emplace_back(texts[i].c_str());
  std::atomic<bool> failed{false};
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    // Grows the table with fresh texts, drops them, and collects, until the readers finish.
    for (int round = 0; !stop.load(); ++round) {
      std::vector<StringId> fresh;
      for (int i = 0; i < 512; ++i) fresh.emplace_back(("growth " + std::to_string(round) + "/" + std::to_string(i)).c_str());
      fresh.clear();
      StringId::GC(round % 4 == 0);
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < kReaders; ++t) {
    readers.emplace_back([&, t] {
      for (int round = 0; round < kRounds && !failed.load(); ++round) {
        const int i = (round * 13 + t * 101) % kTexts;
        StringId id(texts[i].c_str());
        StringId again(texts[i].c_str());
        if (id != again || std::strcmp(id.CStr(), texts[i].c_str()) != 0) failed = true;
        if (i < kTexts / 2 && id != held[i]) failed = true;
      }
    });
  }
  for (auto& reader : readers) reader.join();
  stop = true;
  writer.join();
  EXPECT_FALSE(failed.load());
  held.clear();
  StringId::GC(true);
  for (const std::string& text : texts) EXPECT_FALSE(StringId::msCache->Holds(text.c_str())) << text;
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
