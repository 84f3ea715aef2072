#include "system/memory/intrusive_heap.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/debug/debug_capture.h"
#include "tests/memory/memory_test_helpers.h"

namespace Qel::Memory {

// The private validation and the free index, for the tests.
struct IntrusiveHeapTestAccess {
  static constexpr unsigned int kHeaderSize = IntrusiveHeap::kHeaderSize;
  static constexpr unsigned int kFreeHeaderSize = IntrusiveHeap::kFreeHeaderSize;
  static int Validate0(const IntrusiveHeap& heap) { return heap.Validate0(); }
  // Free blocks of bin 0 as (address, length), from its head.
  static std::vector<std::pair<uintptr_t, uint32_t>> FreeBlocks(const IntrusiveHeap& heap) {
    std::vector<std::pair<uintptr_t, uint32_t>> blocks;
    IntrusiveHeap::FreeHeader* head = heap.mFreeIndex.mBins[0];
    if (head == nullptr) return blocks;
    IntrusiveHeap::FreeHeader* f = head;
    do {
      blocks.emplace_back(reinterpret_cast<uintptr_t>(f), f->mSizeWord & IntrusiveHeap::kSizeMask);
      f = f->mFreeNext;
    } while (f != head && blocks.size() < 100000);
    return blocks;
  }
  // Breaks one invariant so that validation has something to find.
  static void SetAvailable(IntrusiveHeap& heap, uint32_t value) { heap.mAvailable = value; }
  // The mean depth of the free block index's nodes (the root at depth 1) and their count.
  static double MeanIndexDepth(const IntrusiveHeap& heap, uint64_t& nodes) {
    uint64_t depthSum = 0;
    nodes = 0;
    std::vector<std::pair<const IntrusiveHeap::IndexNode*, uint64_t>> stack;
    if (heap.mIndexRoot != nullptr) stack.emplace_back(heap.mIndexRoot, 1);
    while (!stack.empty()) {
      auto [n, depth] = stack.back();
      stack.pop_back();
      ++nodes;
      depthSum += depth;
      // Nodes are packed: their links are copied out, never bound by reference.
      const IntrusiveHeap::IndexNode* const left = n->mLeft;
      const IntrusiveHeap::IndexNode* const right = n->mRight;
      if (left != nullptr) stack.emplace_back(left, depth + 1);
      if (right != nullptr) stack.emplace_back(right, depth + 1);
    }
    return nodes == 0 ? 0.0 : static_cast<double>(depthSum) / static_cast<double>(nodes);
  }
  static void* First(IntrusiveHeap& heap) { return heap.mFirst; }
};

}  // namespace Qel::Memory

namespace {

using Qel::Memory::IntrusiveHeap;
using Access = Qel::Memory::IntrusiveHeapTestAccess;

constexpr unsigned int H = Access::kHeaderSize;
constexpr unsigned int FH = Access::kFreeHeaderSize;
// The smallest size a used block records with no caller header.
constexpr unsigned int kMinimum = FH - H;

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(H == 16 && FH == 28 && kMinimum == 12, "32-bit layout");
#endif

using YrTest::A;

struct Range {
  explicit Range(size_t size) : bytes(size + 64) {}
  // A start with the given offset from a 64-byte boundary.
  char* At(size_t offset) {
    uintptr_t base = (A(bytes.data()) + 63) & ~uintptr_t{63};
    return reinterpret_cast<char*>(base) + offset;
  }
  std::vector<char> bytes;
};

// Each test has a heap and a range of its own.
class IntrusiveHeapTest : public testing::Test {
 protected:
  // Makes the heap over a fresh range of size bytes on a 64-byte boundary; 1 on success.
  int Init(size_t size, unsigned int userHeaderSize = 0) {
    range = Range(size);
    return heap.Initialize(range.At(0), static_cast<unsigned int>(size), userHeaderSize);
  }

  Range range{0};
  IntrusiveHeap heap;
};

TEST_F(IntrusiveHeapTest, Initialize_NeedsRoomForTwoBlocksAndTrimsToWords) {
  range = Range(4096);
  EXPECT_EQ(heap.GetDebuggingLevel(), 255u);
  const unsigned int minimum = 2 * FH;
  EXPECT_EQ(heap.Initialize(range.At(0), minimum - 1, 0), 0);
  EXPECT_EQ(heap.GetDebuggingLevel(), 255u);
  EXPECT_EQ(heap.Allocate(4, 1), nullptr) << "a failed Initialize leaves an unusable heap";
  EXPECT_EQ(heap.Initialize(range.At(0), minimum, 0), 1);
  EXPECT_EQ(heap.GetDebuggingLevel(), 1u);
  EXPECT_EQ(heap.Capacity(), minimum);
  // With a caller header the two used headers may decide.
  const unsigned int withHeader = 2 * (16 + H) > minimum ? 2 * (16 + H) : minimum;
  EXPECT_EQ(heap.Initialize(range.At(0), withHeader - 1, 16), 0);
  EXPECT_EQ(heap.Initialize(range.At(0), withHeader, 16), 1);
#if UINTPTR_MAX == 0xFFFFFFFFu
  EXPECT_EQ(minimum, 56u);
  EXPECT_EQ(withHeader, 64u);
#endif
  EXPECT_EQ(heap.Initialize(nullptr, 4096, 0), 0);

  // An odd start is trimmed up to a word, the end down to one.
  ASSERT_EQ(heap.Initialize(range.At(1), 1000, 0), 1);
  EXPECT_EQ(heap.Capacity(), 996u);
  EXPECT_EQ(heap.Available(), heap.Capacity());
  EXPECT_EQ(heap.IsPointerInside(range.At(4)), 1);
  EXPECT_EQ(heap.IsPointerInside(range.At(3)), 0);
  EXPECT_EQ(heap.IsPointerInside(range.At(4 + 996)), 1) << "one past the end counts as inside";
  EXPECT_EQ(heap.IsPointerInside(range.At(4 + 997)), 0);
  EXPECT_EQ(Access::Validate0(heap), 1);
}

TEST_F(IntrusiveHeapTest, Allocate_PlacesAndAccountsBlocks) {
  ASSERT_EQ(Init(4096), 1);
  const uint32_t capacity = heap.Capacity();

  void* userHeader = nullptr;
  void* p = heap.Allocate(16, 100, &userHeader);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(A(p), (A(range.At(0)) + H + 15) / 16 * 16) << "the base plus a header, aligned";
  EXPECT_EQ(A(userHeader), A(p)) << "no caller header: it starts where the data does";
  EXPECT_EQ(heap.Available(), capacity - (H + 100));
  EXPECT_EQ(heap.GetAllocationSize(p), 100u);
  EXPECT_EQ(heap.Free(p), 1);
  EXPECT_EQ(heap.Available(), capacity);
  EXPECT_EQ(Access::Validate0(heap), 1);

  // The smallest request is raised so the block can become a free block later.
  void* tiny = heap.Allocate(1, 1);
  ASSERT_NE(tiny, nullptr);
  EXPECT_EQ(A(tiny) % 4, 0u);
  EXPECT_EQ(heap.GetAllocationSize(tiny), kMinimum);
  EXPECT_EQ(heap.Available(), capacity - FH);
  heap.Free(tiny);

  // From the top: the data ends less than the alignment before the end of the range.
  const uintptr_t end = A(range.At(0)) + capacity;
  for (unsigned int alignment : {4u, 16u, 64u, 48u}) {
    void* top = heap.AllocateFromTop(alignment, 100);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(A(top) % alignment, 0u);
    EXPECT_LE(A(top) + 100, end);
    EXPECT_LT(end - (A(top) + 100), alignment);
    EXPECT_EQ(Access::Validate0(heap), 1);
    heap.Free(top);
  }
  void* exact = heap.AllocateFromTop(4, 96);
  EXPECT_EQ(A(exact) + 96, end) << "an aligned end lands exactly at the end";
  heap.Free(exact);

  // Too big: null, and the fit test agrees.
  EXPECT_EQ(heap.Allocate(4, capacity), nullptr);
  EXPECT_EQ(heap.CanAllocate(capacity - H, 0), 1);
  EXPECT_EQ(heap.CanAllocate(capacity - H + 1, 0), 0);
  void* whole = heap.Allocate(4, capacity - H);
  EXPECT_NE(whole, nullptr);
  EXPECT_EQ(heap.Available(), 0u);
  EXPECT_EQ(heap.Allocate(4, 1), nullptr);
  heap.Free(whole);
  EXPECT_EQ(Access::Validate0(heap), 1);
}

TEST_F(IntrusiveHeapTest, Allocate_WithCallerHeaderPlacesDataBehindIt) {
  ASSERT_EQ(Init(4096, 24), 1);
  void* userHeader = nullptr;
  char* p = static_cast<char*>(heap.Allocate(32, 10, &userHeader));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(A(p) % 32, 0u);
  EXPECT_EQ(A(userHeader) + 24, A(p));
  EXPECT_EQ(heap.GetAllocationSize(p), 10u) << "a caller header this large needs no raise";
  EXPECT_EQ(heap.Available(), heap.Capacity() - (H + 24 + 10));

  IntrusiveHeap::HeapWalkIterator* it = heap.HeapWalkStart();
  ASSERT_NE(it, nullptr);
  unsigned int size = 0;
  void* data = nullptr;
  void* header = nullptr;
  EXPECT_EQ(heap.HeapWalkGetInfo(it, &size, &data, &header), 1);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(data, p);
  EXPECT_EQ(header, userHeader);
  EXPECT_EQ(heap.HeapWalkGetNext(it), nullptr);
  EXPECT_EQ(Access::Validate0(heap), 1);
}

TEST_F(IntrusiveHeapTest, Free_MergesNeighboursInAnyOrder) {
  ASSERT_EQ(Init(4096), 1);
  EXPECT_EQ(heap.HeapWalkStart(), nullptr);
  void* a = heap.Allocate(4, 100);
  void* b = heap.Allocate(4, 200);
  void* c = heap.Allocate(4, heap.Available() - H);  // takes the rest: no free block left
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(Access::FreeBlocks(heap).empty());

  std::vector<void*> walked;
  for (auto* it = heap.HeapWalkStart(); it != nullptr; it = heap.HeapWalkGetNext(it)) {
    void* data = nullptr;
    heap.HeapWalkGetInfo(it, nullptr, &data, nullptr);
    walked.push_back(data);
  }
  EXPECT_EQ(walked, (std::vector<void*>{a, b, c}));

  EXPECT_EQ(heap.Free(b), 1);
  EXPECT_EQ(Access::Validate0(heap), 1);
  EXPECT_EQ(heap.Free(a), 1);
  EXPECT_EQ(Access::Validate0(heap), 1);
  EXPECT_EQ(heap.Free(c), 1);
  EXPECT_EQ(Access::Validate0(heap), 1);
  auto blocks = Access::FreeBlocks(heap);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].first, A(range.At(0)));
  EXPECT_EQ(blocks[0].second, heap.Capacity());
  EXPECT_EQ(heap.Available(), heap.Capacity());

  EXPECT_EQ(heap.Free(nullptr), 1);
  EXPECT_EQ(heap.Free(range.At(0) - 4), 0);
  EXPECT_EQ(heap.Free(range.At(0) + heap.Capacity() + 1), 0);
  EXPECT_EQ(heap.GetAllocationSize(range.At(0) - 4), 0u);
}

TEST_F(IntrusiveHeapTest, Free_KeepsBinZeroInAddressOrder) {
  ASSERT_EQ(Init(8192), 1);
  std::vector<void*> blocks;
  for (int i = 0; i < 8; ++i) blocks.push_back(heap.Allocate(4, 50));
  // Free every other block, highest first, so bin 0 is built out of order.
  for (int i = 6; i >= 0; i -= 2) {
    heap.Free(blocks[static_cast<size_t>(i)]);
    ASSERT_EQ(Access::Validate0(heap), 1);
  }
  auto free = Access::FreeBlocks(heap);
  ASSERT_EQ(free.size(), 5u);  // four holes and the rest of the range
  for (size_t i = 1; i < free.size(); ++i) EXPECT_LT(free[i - 1].first, free[i].first);
  EXPECT_EQ(free[0].first, A(range.At(0)));
  // A hole starts at the end of the data below it, rounded up to a word.
  EXPECT_EQ(free[1].first, (A(blocks[1]) + 50 + 3) & ~uintptr_t{3});

  for (int i = 1; i < 8; i += 2) heap.Free(blocks[static_cast<size_t>(i)]);
  EXPECT_EQ(Access::Validate0(heap), 1);
  EXPECT_EQ(Access::FreeBlocks(heap).size(), 1u);
  EXPECT_EQ(heap.Available(), heap.Capacity());
}

TEST_F(IntrusiveHeapTest, Free_ReclaimsTheSlackInFrontOfABlock) {
  ASSERT_EQ(Init(2048), 1);
  char* a = static_cast<char*>(heap.Allocate(4, 40));
  // The alignment leaves fewer bytes than a free header in front of b: slack.
  char* b = static_cast<char*>(heap.Allocate(16, 8));
  const uintptr_t aEnd = A(a) + 40;
  ASSERT_GT(A(b) - H, aEnd);
  ASSERT_LT(A(b) - H - aEnd, FH);
  auto free = Access::FreeBlocks(heap);
  ASSERT_EQ(free.size(), 1u);
  EXPECT_GT(free[0].first, A(b));
  EXPECT_EQ(heap.Free(b), 1);
  free = Access::FreeBlocks(heap);
  ASSERT_EQ(free.size(), 1u);
  EXPECT_EQ(free[0].first, aEnd) << "the free block starts right behind a's data";
  EXPECT_EQ(free[0].first + free[0].second, A(range.At(0)) + heap.Capacity());
  EXPECT_EQ(Access::Validate0(heap), 1);
}

TEST_F(IntrusiveHeapTest, ResizeBlock_ShrinksInPlaceWithAStrictSplitThreshold) {
  ASSERT_EQ(Init(4096), 1);
  char* a = static_cast<char*>(heap.Allocate(4, 200));
  char* b = static_cast<char*>(heap.Allocate(4, 100));
  ASSERT_EQ(A(b), A(a) + 200 + H);
  const uint32_t available = heap.Available();

  EXPECT_EQ(heap.ResizeBlock(a, 201), 0) << "growing is refused";
  EXPECT_EQ(heap.ResizeBlock(a, 200), 1);
  EXPECT_EQ(heap.Available(), available);
  EXPECT_EQ(heap.ResizeBlock(range.At(0) - 8, 1), 0);

  // Exactly a free header left before b: stays slack.
  EXPECT_EQ(heap.ResizeBlock(a, 200 - FH), 1);
  EXPECT_EQ(heap.GetAllocationSize(a), 200 - FH);
  EXPECT_EQ(heap.Available(), available + FH);
  EXPECT_EQ(Access::FreeBlocks(heap).size(), 1u);
  // One word more: split off as a free block in front of b.
  EXPECT_EQ(heap.ResizeBlock(a, 200 - FH - 4), 1);
  auto free = Access::FreeBlocks(heap);
  ASSERT_EQ(free.size(), 2u);
  EXPECT_EQ(free[0].first, A(a) + 200 - FH - 4);
  EXPECT_EQ(free[0].first + free[0].second, A(b) - H);
  EXPECT_EQ(Access::Validate0(heap), 1);

  // With a free block behind, it grows downwards to the new end.
  const uintptr_t tailStart = Access::FreeBlocks(heap)[1].first;
  EXPECT_EQ(heap.ResizeBlock(b, 40), 1);
  free = Access::FreeBlocks(heap);
  ASSERT_EQ(free.size(), 2u);
  EXPECT_EQ(free[1].first, A(b) + 40);
  EXPECT_LT(free[1].first, tailStart);
  EXPECT_EQ(Access::Validate0(heap), 1);
  heap.Free(a);
  heap.Free(b);
  EXPECT_EQ(heap.Available(), heap.Capacity());
  EXPECT_EQ(Access::Validate0(heap), 1);
}

// Shrinking below the minimum Allocate keeps would leave a block that cannot hold a free
// header; freeing it next to a free block would then write that header over the free
// block's own. The minimum is kept.
TEST_F(IntrusiveHeapTest, ResizeBlock_KeepsRoomForAFreeHeader) {
  ASSERT_EQ(Init(4096), 1);
  char* a = static_cast<char*>(heap.Allocate(4, kMinimum));
  char* b = static_cast<char*>(heap.Allocate(4, kMinimum));
  char* c = static_cast<char*>(heap.Allocate(4, kMinimum));
  char* d = static_cast<char*>(heap.Allocate(4, 64));
  std::memset(a, 0xA1, kMinimum);
  std::memset(d, 0xD4, 64);
  EXPECT_EQ(heap.ResizeBlock(b, 1), 1);
  EXPECT_EQ(heap.GetAllocationSize(b), kMinimum);
  EXPECT_EQ(heap.Free(c), 1);
  EXPECT_EQ(Access::Validate0(heap), 1);
  EXPECT_EQ(heap.Free(b), 1);
  EXPECT_EQ(Access::Validate0(heap), 1);
  EXPECT_EQ(heap.Available(), heap.Capacity() - (H + kMinimum) - (H + 64));
  for (unsigned int i = 0; i < kMinimum; ++i) ASSERT_EQ(static_cast<unsigned char>(a[i]), 0xA1);
  for (unsigned int i = 0; i < 64; ++i) ASSERT_EQ(static_cast<unsigned char>(d[i]), 0xD4);
  heap.Free(a);
  heap.Free(d);
  EXPECT_EQ(Access::FreeBlocks(heap).size(), 1u);
  EXPECT_EQ(Access::Validate0(heap), 1);
}

TEST_F(IntrusiveHeapTest, Validate0_FindsABrokenInvariant) {
  IntrusiveHeap uninitialised;
  EXPECT_EQ(Access::Validate0(uninitialised), 0);
  ASSERT_EQ(Init(1024), 1);
  void* p = heap.Allocate(4, 100);
  EXPECT_EQ(Access::Validate0(heap), 1);
  Access::SetAvailable(heap, heap.Available() + 4);
  EXPECT_EQ(Access::Validate0(heap), 0);
  Access::SetAvailable(heap, heap.Available() - 4);
  // A used block that claims more than its space.
  auto* header = reinterpret_cast<IntrusiveHeap::Header*>(static_cast<char*>(p) - H);
  header->mSizeWord = 2000;
  EXPECT_EQ(Access::Validate0(heap), 0);
  header->mSizeWord = 100;
  EXPECT_EQ(Access::Validate0(heap), 1);
  // Checksums and the validation members do no work here.
  heap.SetValidateEveryNCalls(7);
  heap.SetDebuggingLevel(3);
  EXPECT_EQ(heap.GetDebuggingLevel(), 3u);
}

TEST_F(IntrusiveHeapTest, Reset_ForgetsEveryBlock) {
  ASSERT_EQ(Init(2048, 8), 1);
  heap.Allocate(8, 100);
  heap.AllocateFromTop(8, 300);
  heap.Reset();
  EXPECT_EQ(heap.Available(), heap.Capacity());
  EXPECT_EQ(heap.HeapWalkStart(), nullptr);
  EXPECT_EQ(Access::FreeBlocks(heap).size(), 1u);
  EXPECT_EQ(Access::Validate0(heap), 1);
}

// The heap prints its addresses in lower case.
std::string Hex(uintptr_t value) { return YrTest::Hex(value, true); }

TEST_F(IntrusiveHeapTest, Print_WritesBlocksAndTheFreeIndex) {
  ASSERT_TRUE(YrTest::SwitchDebugOutputOn());
  ASSERT_EQ(Init(1024), 1);
  char* p = static_cast<char*>(heap.Allocate(4, 100));
  const uintptr_t used = A(p) - H;
  const uintptr_t front = A(range.At(0));
  const uintptr_t tail = A(p) + 100;
  ASSERT_EQ(A(Access::First(heap)), front);
  ASSERT_EQ(used, front);

  YrTest::DebugCapture capture;
  heap.Print();
  std::string expected = "---- heap -----\n";
  expected += "[" + Hex(used) + "] P = " + Hex(0) + " N = " + Hex(tail) + " S = 0x64 E = 0\n";
  char tailLength[32];
  std::snprintf(tailLength, sizeof tailLength, "0x%x", static_cast<unsigned int>(front + 1024 - tail));
  const std::string tailLine = "[" + Hex(tail) + "] P = " + Hex(used) + " N = " + Hex(0) + " S = " + tailLength +
                               " E = 1 EP = " + Hex(tail) + " EN = " + Hex(tail) + " I=0 \n";
  expected += tailLine;
  expected += "--- free heap ---\n";
  expected += "0 small buckets\n" + tailLine;
  for (int i = 1; i < 5; ++i) expected += std::to_string(i) + " small buckets\n";
  for (int j = 0; j < 16; ++j) expected += std::to_string(j) + " tree\n";
  EXPECT_EQ(capture.Joined(), expected);
}

// ---- Randomised model test ----------------------------------------------------------------

struct LiveBlock {
  size_t requested;
  unsigned int stored;
  unsigned char fill;
  void* userHeader;
};

class Model {
 public:
  Model(unsigned int rangeSize, unsigned int userHeaderSize, uint32_t seed)
      : mRange(rangeSize), mUserHeaderSize(userHeaderSize), mRandom(seed) {
    mStart = mRange.At(3);  // deliberately misaligned
    EXPECT_EQ(mHeap.Initialize(mStart, rangeSize - 8, userHeaderSize), 1);
    mBegin = A(mStart);
  }

  void Run(int operations, int validateEveryStepUntil) {
    for (int step = 0; step < operations; ++step) {
      Step();
      if (step < validateEveryStepUntil || step % 97 == 0) {
        ASSERT_EQ(Access::Validate0(mHeap), 1) << "step " << step;
      }
      ASSERT_EQ(mHeap.Available(), ModelAvailable()) << "step " << step;
      if (step % 1000 == 999) CheckAll(step);
      if (HasFailure()) return;
    }
    CheckAll(operations);
    while (!mLive.empty()) FreeOne(mLive.begin()->first);
    EXPECT_EQ(Access::Validate0(mHeap), 1);
    EXPECT_EQ(mHeap.Available(), mHeap.Capacity());
    EXPECT_EQ(Access::FreeBlocks(mHeap).size(), 1u);
  }

  int allocations = 0;
  int failures = 0;
  // Each allocation is first tried against the plain walk of bin 0, then undone.
  bool mCompareWithLinearWalk = false;
  // Half the frees and resizes take one of the highest blocks, and a quarter of the
  // requests are sized to fit the block that ends the range exactly or nearly: the top
  // block keeps appearing, vanishing and merging.
  bool mNearTop = false;

 private:
  static bool HasFailure() { return testing::Test::HasFatalFailure() || testing::Test::HasNonfatalFailure(); }

  unsigned int Stored(size_t requested) const {
    unsigned int size = static_cast<unsigned int>(requested);
    if (H + mUserHeaderSize < FH && size < FH - H - mUserHeaderSize) size = FH - H - mUserHeaderSize;
    return size;
  }
  uint32_t ModelAvailable() const { return static_cast<uint32_t>(mHeap.Capacity() - mUsedBytes); }

  unsigned int RandomSize() {
    if (mNearTop && mRandom() % 4 == 0) {
      const auto blocks = Access::FreeBlocks(mHeap);
      const uintptr_t end = ((mBegin + 3) & ~uintptr_t{3}) + mHeap.Capacity();
      if (!blocks.empty() && blocks.back().first + blocks.back().second == end) {
        const uint64_t room = blocks.back().second - uint64_t{H} - mUserHeaderSize;
        const uint64_t less = 4 * (mRandom() % 12);  // 0 leaves no tail; 28 and more split one off
        if (room > less && room - less <= sizeof mPattern) return static_cast<unsigned int>(room - less);
      }
    }
    switch (mRandom() % 8) {
      case 0: return mRandom() % 16;
      case 1: return 1000 + mRandom() % 3000;
      default: return 16 + mRandom() % 400;
    }
  }
  unsigned int RandomAlignment() {
    static const unsigned int kAlignments[] = {0, 1, 2, 4, 4, 8, 8, 16, 16, 32, 64, 128, 12, 24, 48};
    return kAlignments[mRandom() % std::size(kAlignments)];
  }

  void Step() {
    const unsigned int choice = mRandom() % 100;
    if (mLive.empty() || choice < 45) {
      Allocate(choice % 3 == 0);
    } else if (choice < 85) {
      FreeOne(Pick());
    } else {
      Resize(Pick());
    }
  }

  char* Pick() {
    if (mNearTop && mRandom() % 2 == 0) {
      auto it = mLive.end();
      for (unsigned int back = 1 + mRandom() % 3; back > 0 && it != mLive.begin(); --back) --it;
      return it->first;
    }
    auto it = mLive.lower_bound(reinterpret_cast<char*>(mBegin + mRandom() % mHeap.Capacity()));
    if (it == mLive.end()) it = mLive.begin();
    return it->first;
  }

  // The plain first-fit walk of bin 0 the heap's search must agree with: the user pointer
  // it would return, or 0 when no free block fits.
  uintptr_t LinearFit(unsigned int alignment, unsigned int size, bool fromTop) const {
    const auto blocks = Access::FreeBlocks(mHeap);
    const uint64_t header = H + mUserHeaderSize;
    auto fits = [&](const std::pair<uintptr_t, uint32_t>& b) {
      const uint64_t start = b.first + header;
      const uint64_t aligned = alignment == 0 ? start : (start + alignment - 1) / alignment * alignment;
      return b.second >= aligned - b.first + size;
    };
    // Alignment 0 comes only from CanAllocate probes, which need no address.
    auto placed = [&](const std::pair<uintptr_t, uint32_t>& b) -> uintptr_t {
      if (alignment == 0) return 1;
      if (!fromTop) {
        const uint64_t start = b.first + header;
        return static_cast<uintptr_t>((start + alignment - 1) / alignment * alignment);
      }
      return static_cast<uintptr_t>((uint64_t{b.first} + b.second - size) / alignment * alignment);
    };
    if (blocks.empty()) return 0;
    if (!fromTop) {
      for (const auto& b : blocks) {
        if (fits(b)) return placed(b);
      }
      return 0;
    }
    if (fits(blocks.front())) return placed(blocks.front());
    for (size_t i = blocks.size(); i-- > 1;) {
      if (fits(blocks[i])) return placed(blocks[i]);
    }
    return 0;
  }

  void Allocate(bool fromTop) {
    const unsigned int size = RandomSize();
    const unsigned int alignment = RandomAlignment();
    if (mCompareWithLinearWalk) {
      // CanAllocate takes the alignment and size as given; Allocate applies its minimums.
      const unsigned int probeSize = RandomSize();
      const unsigned int probeAlignment = RandomAlignment();
      EXPECT_EQ(mHeap.CanAllocate(probeSize, probeAlignment), LinearFit(probeAlignment, probeSize, false) != 0 ? 1 : 0)
          << "CanAllocate(" << probeSize << ", " << probeAlignment << ")";
      const uintptr_t expected = LinearFit(alignment < 4 ? 4 : alignment, Stored(size), fromTop);
      void* userHeader = nullptr;
      char* p = static_cast<char*>(fromTop ? mHeap.AllocateFromTop(alignment, size, &userHeader)
                                           : mHeap.Allocate(alignment, size, &userHeader));
      ASSERT_EQ(A(p), expected) << (fromTop ? "AllocateFromTop(" : "Allocate(") << alignment << ", " << size << ")";
      if (p != nullptr) mHeap.Free(p);
    }
    void* userHeader = nullptr;
    char* p = static_cast<char*>(fromTop ? mHeap.AllocateFromTop(alignment, size, &userHeader)
                                         : mHeap.Allocate(alignment, size, &userHeader));
    const unsigned int effective = alignment < 4 ? 4 : alignment;
    if (p == nullptr) {
      ++failures;
      EXPECT_EQ(mHeap.CanAllocate(Stored(size), effective), 0) << "refused although a block fits";
      return;
    }
    ++allocations;
    EXPECT_EQ(A(p) % effective, 0u);
    EXPECT_EQ(A(userHeader) + mUserHeaderSize, A(p));
    EXPECT_EQ(mHeap.GetAllocationSize(p), Stored(size));
    const auto fill = static_cast<unsigned char>(mRandom());
    std::memset(p, fill, size);
    std::memset(userHeader, fill ^ 0x5A, mUserHeaderSize);
    mLive[p] = LiveBlock{size, Stored(size), fill, userHeader};
    mUsedBytes += H + mUserHeaderSize + Stored(size);
    CheckPlacement(p);
  }

  void FreeOne(char* p) {
    CheckBlock(p, mLive[p]);
    EXPECT_EQ(mHeap.Free(p), 1);
    mUsedBytes -= H + mUserHeaderSize + mLive[p].stored;
    mLive.erase(p);
  }

  void Resize(char* p) {
    LiveBlock& block = mLive[p];
    CheckBlock(p, block);
    const size_t size = mRandom() % 4 == 0 ? block.requested + 1 + mRandom() % 64 : mRandom() % (block.requested + 1);
    const int result = mHeap.ResizeBlock(p, static_cast<unsigned int>(size));
    if (size > block.stored) {
      EXPECT_EQ(result, 0);
      return;
    }
    EXPECT_EQ(result, 1);
    block.requested = std::min(block.requested, size);
    mUsedBytes -= block.stored - Stored(size);
    block.stored = Stored(size);
    EXPECT_EQ(mHeap.GetAllocationSize(p), block.stored);
  }

  // Data and caller header untouched, and the block inside the range.
  void CheckBlock(char* p, const LiveBlock& block) {
    std::memset(mPattern, block.fill, block.requested);
    EXPECT_EQ(std::memcmp(p, mPattern, block.requested), 0) << "block data overwritten";
    std::memset(mPattern, block.fill ^ 0x5A, mUserHeaderSize);
    EXPECT_EQ(std::memcmp(block.userHeader, mPattern, mUserHeaderSize), 0) << "caller header overwritten";
  }

  // The new block and its neighbours do not overlap, and all lie in the range.
  void CheckPlacement(char* p) {
    auto it = mLive.find(p);
    const uintptr_t begin = A(p) - mUserHeaderSize - H;
    const uintptr_t end = A(p) + it->second.stored;
    EXPECT_GE(begin, (mBegin + 3) & ~uintptr_t{3});
    EXPECT_LE(end, ((mBegin + 3) & ~uintptr_t{3}) + mHeap.Capacity());
    if (it != mLive.begin()) {
      auto below = std::prev(it);
      EXPECT_LE(A(below->first) + below->second.stored, begin) << "overlaps the block below";
    }
    if (auto above = std::next(it); above != mLive.end()) {
      EXPECT_LE(end, A(above->first) - mUserHeaderSize - H) << "overlaps the block above";
    }
  }

  void CheckAll(int step) {
    for (auto& [p, block] : mLive) CheckBlock(p, block);
    // The walk visits exactly the live blocks, in address order.
    auto expected = mLive.begin();
    for (auto* it = mHeap.HeapWalkStart(); it != nullptr; it = mHeap.HeapWalkGetNext(it), ++expected) {
      ASSERT_NE(expected, mLive.end()) << "step " << step;
      void* data = nullptr;
      mHeap.HeapWalkGetInfo(it, nullptr, &data, nullptr);
      ASSERT_EQ(data, expected->first) << "step " << step;
    }
    EXPECT_EQ(expected, mLive.end()) << "step " << step;
    CheckLargestFit(step);
  }

  // The largest size CanAllocate admits, found by bisection, is the largest any free block
  // holds at that alignment: the maxima the index keeps for its subtrees and runs may skip
  // only blocks that cannot fit.
  void CheckLargestFit(int step) {
    const auto blocks = Access::FreeBlocks(mHeap);
    for (unsigned int alignment : {0u, 4u, 16u, 64u, 24u}) {
      uint64_t largest = 0;
      bool any = false;
      for (const auto& [at, length] : blocks) {
        const uint64_t start = at + uint64_t{H} + mUserHeaderSize;
        const uint64_t aligned = alignment == 0 ? start : (start + alignment - 1) / alignment * alignment;
        if (aligned - at > length) continue;
        any = true;
        largest = std::max(largest, uint64_t{length} - (aligned - at));
      }
      unsigned int low = 0, high = mHeap.Capacity();
      if (mHeap.CanAllocate(0, alignment) == 0) {
        EXPECT_FALSE(any) << "step " << step << " alignment " << alignment;
        continue;
      }
      while (low < high) {
        const unsigned int mid = low + (high - low + 1) / 2;
        if (mHeap.CanAllocate(mid, alignment) != 0) low = mid;
        else high = mid - 1;
      }
      EXPECT_EQ(low, largest) << "step " << step << " alignment " << alignment;
    }
  }

  Range mRange;
  unsigned int mUserHeaderSize;
  std::mt19937 mRandom;
  IntrusiveHeap mHeap;
  char* mStart = nullptr;
  uintptr_t mBegin = 0;
  std::map<char*, LiveBlock> mLive;
  uint64_t mUsedBytes = 0;
  char mPattern[8192];
};

TEST(IntrusiveHeapModelTest, RandomOperationsKeepEveryInvariant) {
  Model model(192 * 1024, 0, 20240601u);
  model.Run(100000, 20000);
  EXPECT_GT(model.allocations, 30000);
  EXPECT_GT(model.failures, 0) << "the range should fill up now and then";
}

// The indexed search picks exactly the block the plain first-fit walk picks, for every
// Allocate, AllocateFromTop and CanAllocate of a long mixed run. Each probe is freed again
// before the modelled allocation, which exercises merging with both neighbours as well.
TEST(IntrusiveHeapModelTest, SearchAgreesWithThePlainFirstFitWalk) {
  for (unsigned int userHeaderSize : {0u, 4u, 8u}) {
    SCOPED_TRACE(userHeaderSize);
    Model model(256 * 1024, userHeaderSize, 99u + userHeaderSize);
    model.mCompareWithLinearWalk = true;
    model.Run(100000, 2000);
    if (testing::Test::HasFailure()) return;
    EXPECT_GT(model.failures, 0) << "the range should fill up now and then";
  }
}

// Each case is a short script over a 4 KiB heap, written against the block that ends the
// range: after every step the invariants hold (the validation checks that the heap names
// exactly that block as its top) and the free blocks are the ones listed, as offsets from
// the base and lengths; the last block's length is written as 0 when it reaches the end.
TEST_F(IntrusiveHeapTest, TopBlock_ComesAndGoesWithTheEndOfTheRange) {
  struct Case {
    const char* name;
    std::vector<std::pair<uintptr_t, uint32_t>> (*run)(IntrusiveHeap& heap, char* base);
    std::vector<std::pair<uintptr_t, uint32_t>> expected;
  };
  using Blocks = std::vector<std::pair<uintptr_t, uint32_t>>;
  static const auto kOffsets = +[](IntrusiveHeap& heap, char* base) {
    Blocks blocks;
    for (auto [at, length] : Access::FreeBlocks(heap)) {
      const uintptr_t offset = at - A(base);
      blocks.emplace_back(offset, offset + length == heap.Capacity() ? 0 : length);
    }
    return blocks;
  };
  const Case cases[] = {
      {"fresh", [](IntrusiveHeap& heap, char* base) { return kOffsets(heap, base); }, {{0, 0}}},
      {"the whole range taken, then given back",
       [](IntrusiveHeap& heap, char* base) {
         void* all = heap.Allocate(4, heap.Capacity() - H);
         EXPECT_TRUE(Access::FreeBlocks(heap).empty());
         heap.Free(all);
         return kOffsets(heap, base);
       },
       {{0, 0}}},
      {"carved from the top, the rest stays the top",
       [](IntrusiveHeap& heap, char* base) {
         heap.Allocate(4, 100);
         return kOffsets(heap, base);
       },
       {{H + 100, 0}}},
      {"allocated at the very top: no top block, the front is filed",
       [](IntrusiveHeap& heap, char* base) {
         heap.AllocateFromTop(4, 96);
         return kOffsets(heap, base);
       },
       {{0, 4096 - H - 96}}},
      {"the last block shrinks: its tail becomes the top",
       [](IntrusiveHeap& heap, char* base) {
         void* a = heap.Allocate(4, 1000);
         void* b = heap.Allocate(4, heap.Available() - H);
         heap.ResizeBlock(b, 100);
         (void)a;
         return kOffsets(heap, base);
       },
       {{2 * H + 1000 + 100, 0}}},
      {"a block freed between a free block and the top joins both",
       [](IntrusiveHeap& heap, char* base) {
         void* a = heap.Allocate(4, 200);
         void* b = heap.Allocate(4, 300);
         heap.Allocate(4, 400);
         heap.Free(a);
         EXPECT_EQ(kOffsets(heap, base).size(), 2u);
         void* c = static_cast<char*>(b) + 300 + H;  // the block above b
         heap.Free(c);
         heap.Free(b);
         return kOffsets(heap, base);
       },
       {{0, 0}}},
      {"a block freed below the top merges into it, the one below stays used",
       [](IntrusiveHeap& heap, char* base) {
         heap.Allocate(4, 200);
         void* b = heap.Allocate(4, 300);
         heap.Free(b);
         return kOffsets(heap, base);
       },
       {{H + 200, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Init(4096), 1);
    char* base = range.At(0);
    EXPECT_EQ(c.run(heap, base), c.expected);
    EXPECT_EQ(Access::Validate0(heap), 1);
  }
}

// The block that ends the range is kept apart from the index; churn around it (exact and
// near fits that use it up or split it, frees of the blocks below it, resizes of the block
// next to it) must keep every placement that of the plain walk.
TEST(IntrusiveHeapModelTest, ChurnAtTheTopAgreesWithThePlainFirstFitWalk) {
  for (unsigned int userHeaderSize : {0u, 4u, 8u}) {
    SCOPED_TRACE(userHeaderSize);
    Model model(64 * 1024, userHeaderSize, 1234u + userHeaderSize);
    model.mCompareWithLinearWalk = true;
    model.mNearTop = true;
    model.Run(30000, 30000);
    if (testing::Test::HasFailure()) return;
  }
}

// Holes at evenly spaced addresses are the common case (arrays of same-sized objects with
// every other one freed). Node priorities must still look random: the index's mean depth
// stays near the 2 ln n of a random treap instead of growing with the regular spacing.
TEST_F(IntrusiveHeapTest, Index_StaysShallowOverEvenlySpacedHoles) {
  constexpr unsigned int kHoles = 20000;
  for (unsigned int spacing : {64u, 100u, 128u, 256u}) {
    for (size_t offset : {size_t{0}, size_t{12}, size_t{60}}) {
      SCOPED_TRACE(testing::Message() << "spacing " << spacing << " offset " << offset);
      range = Range(2 * kHoles * (spacing + 2 * H) + 4096);
      ASSERT_EQ(heap.Initialize(range.At(offset), static_cast<unsigned int>(range.bytes.size() - 64), 0), 1);
      std::vector<void*> blocks;
      for (unsigned int i = 0; i < 2 * kHoles; ++i) blocks.push_back(heap.Allocate(16, spacing));
      ASSERT_NE(blocks.back(), nullptr);
      for (unsigned int i = 0; i < 2 * kHoles; i += 2) heap.Free(blocks[i]);
      uint64_t nodes = 0;
      const double depth = Access::MeanIndexDepth(heap, nodes);
      ASSERT_EQ(nodes, kHoles);
      EXPECT_LT(depth, 1.5 * 2 * std::log(static_cast<double>(kHoles)));
      EXPECT_EQ(Access::Validate0(heap), 1);
    }
  }
}

TEST(IntrusiveHeapModelTest, CallerHeadersOfAnySize) {
  for (unsigned int userHeaderSize : {4u, 6u, 13u, 32u}) {
    SCOPED_TRACE(userHeaderSize);
    Model model(96 * 1024, userHeaderSize, 7u + userHeaderSize);
    model.Run(15000, 3000);
    if (testing::Test::HasFailure()) return;
  }
}

}  // namespace
