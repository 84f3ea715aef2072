// Qel::Memory::IntrusiveHeap: a first-fit heap over a range the caller supplies, with its
// bookkeeping in band. Every block, used or free, starts with a header linking it to its
// neighbours in address order; free blocks are also chained, in ascending address order, in
// bin 0 of a free index. Blocks are placed at the bottom (Allocate) or the top
// (AllocateFromTop) of the first free block that fits; Free merges a block with free
// neighbours and reclaims the slack beside it; ResizeBlock shrinks in place.
//
// Finding that first fit does not walk the free list. The free block that ends at the end of
// the range (the top block, where a heap grows into fresh space) is kept apart in the heap
// object: the bottom-up search tries it last and the top-down one right after the lowest
// block, exactly where the plain walk meets it, and carving from it or freeing into it
// touches no index. The other free blocks long enough to carry a tree node (kIndexedLength)
// form a treap keyed by address. Each node keeps the largest length or run bound in each of
// its two subtrees, and an upper bound on the lengths of the short free blocks just below
// it (its "run"); the heap object keeps the same bound for the short blocks between the
// highest node and the top block. A search descends the treap, entering only subtrees and
// runs whose bound admits the request, and walks a run only then; a run walked to its end
// without a fit has its bound made exact. Lazily shrinking bounds keeps every update to
// O(log n) expected, and the first fit found is the very block the plain walk of bin 0
// would find.
//
// Where the time goes, and why the index is shaped so: an allocation or a free is a handful
// of cache misses (the block's header, its neighbours', the nodes on one path), so the
// design counts paths walked and lines touched.
//  - The top block is outside the treap: a heap that mostly grows at its end, or a search
//    that passes every hole, finds its fit with no walk at all, so the cost past 32,768
//    holes is that past one.
//  - Children's maxima live in the parent: a search or an update touches only the nodes on
//    its path, never the sibling it does not enter.
//  - A node keeps its priority for life, so a free block that takes a node's place in
//    address order with no free block between them (the tail left behind an allocation at
//    a node's bottom, a freed block merging with the node above it) takes over the node's
//    links and priority without a rotation; a node that keeps its address (the front part
//    kept by a top-down or aligned allocation, the lower neighbour grown by Free) only has
//    the maxima above it refreshed.
//  - A search records the path to the node it found, so the update that follows (shrink,
//    hand-over or removal) carries maxima up that path, stopping where they no longer
//    change, instead of walking from the root again. Filing and unfiling find the node
//    above, whose run a node splits or joins, on the same walk that inserts or removes it.
//  - Priorities are the address through a full 64-bit mixing function: evenly spaced holes
//    (every other object of an array freed) gave a plain multiplicative hash a treap twice
//    as deep as a random one.
//  - Free finds its block's place in bin 0 from a free neighbour when it has one, walks
//    back at most kBackwardSteps used blocks otherwise, and then asks the index.
// The tree code recurses: its depth is the treap's, about 2 ln n on average and, for the
// most nodes a 2 GiB range can hold, below a hundred with overwhelming probability, which
// is also why a search keeps at most kPathLength nodes of its path (a deeper one is dropped
// and the update walks from the root). Parent links were not taken: every rotation and
// hand-over would write the moved children's lines as well.
//
// Each used block may carry a fixed number of caller header bytes between its block header
// and the user data. The heap never owns the range: the caller frees it after the heap is no
// longer used. Nothing is allocated by the heap itself.
//
// Threads: no lock; callers serialise all use of one heap.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Qel::Memory {

// Test access to the private validation member.
struct IntrusiveHeapTestAccess;

class YR_API IntrusiveHeap {
 public:
  // Block headers sit wherever the caller's alignment and caller-header size put them, so
  // they are declared without alignment requirements; every field is still at its natural
  // offset.
#pragma pack(push, 1)
  struct Header {
    uint32_t mReserved;  // not read or written by the heap
    uint32_t mSizeWord;  // bit 31: free; used: requested size; free: length to the next block
    Header* mNext;       // next block in address order
    Header* mPrev;       // previous block in address order
  };
#pragma pack(pop)

  // A position in a heap walk: the address of a used block's header.
  struct HeapWalkIterator;

  IntrusiveHeap() = default;
  ~IntrusiveHeap() = default;
  IntrusiveHeap(const IntrusiveHeap&) = delete;
  IntrusiveHeap& operator=(const IntrusiveHeap&) = delete;

  // Makes [p, p + size), trimmed to whole words at both ends, one free block. 1 on success;
  // 0 when p is null, the range is too small for two blocks, or too long for a block length.
  int Initialize(void* p, unsigned int size, unsigned int userHeaderSize);
  // Forgets every block: the whole range is one free block again.
  void Reset();

  // Note the argument order: alignment first. Null when nothing fits. userHeader, when
  // given, receives the address of the block's caller header.
  void* Allocate(unsigned int alignment, unsigned int size, void** userHeader = nullptr);
  void* AllocateFromTop(unsigned int alignment, unsigned int size, void** userHeader = nullptr);
  // 1 when p is null or was freed; 0 when p lies outside the heap.
  int Free(void* p);
  // Shrinks a used block in place; 0 when p is outside the heap or size exceeds the block's
  // current size.
  int ResizeBlock(void* p, unsigned int size);
  // 1 when a bottom-up search would find a fitting free block. Note the argument order:
  // size first. No minimum alignment or size is applied.
  int CanAllocate(unsigned int size, unsigned int alignment);
  // The size stored in the block's header; 0 when p is outside the heap.
  unsigned int GetAllocationSize(void* p);
  // Bytes not taken by used blocks (their headers included).
  unsigned int Available() const { return mAvailable; }
  unsigned int Capacity() const { return mCapacity; }
  // The address one past the range counts as inside.
  int IsPointerInside(const void* p) const;

  unsigned int GetDebuggingLevel() const { return mDebuggingLevel; }
  void SetDebuggingLevel(unsigned int level) { mDebuggingLevel = level; }
  void SetValidateEveryNCalls(unsigned int n) { mValidateEveryN = n; }

  // Used blocks in address order.
  HeapWalkIterator* HeapWalkStart();
  HeapWalkIterator* HeapWalkGetNext(HeapWalkIterator* it);
  int HeapWalkGetInfo(HeapWalkIterator* it, unsigned int* size, void** userData, void** userHeader);

  // Dumps every block, then the free index, to the debug output.
  void Print();
  void PrintNode(Header* h);

  static constexpr unsigned int kSmallBuckets = 5;
  static constexpr unsigned int kTreeBins = 16;
  static constexpr unsigned int kBins = kSmallBuckets + kTreeBins;

 private:
  friend struct IntrusiveHeapTestAccess;

#pragma pack(push, 1)
  struct FreeHeader : Header {
    FreeHeader* mFreeNext;  // circular list of the bin, ascending address order in bin 0
    FreeHeader* mFreePrev;
    uint32_t mBinIndex;
  };
  // Free blocks filed in a tree bin would carry these links; this heap files every free
  // block in bin 0, so the tree bins stay empty.
  struct TreeHeader : FreeHeader {
    TreeHeader* mLeft;
    TreeHeader* mRight;
    TreeHeader* mParent;
  };
  // The treap node, kept in the free block behind its free header. The priority is a hash
  // of the address, so nothing needs to be stored for it.
  struct IndexNode : FreeHeader {
    IndexNode* mLeft;
    IndexNode* mRight;
    uint32_t mLeftMax;     // the largest own length or run bound in the left subtree
    uint32_t mRightMax;    // the same for the right subtree
    uint32_t mRunMax;      // no short free block between the node below and this one is longer
    uint32_t mPriority;    // drawn once from the address; passed on when a block takes its place
  };
#pragma pack(pop)

  // Layout figures, all derived from the header layouts: 16, 28, 4 and 12 on 32-bit builds.
  static constexpr unsigned int kHeaderSize = sizeof(Header);
  static constexpr unsigned int kFreeHeaderSize = sizeof(FreeHeader);
  // Block positions and lengths are kept in whole 32-bit words.
  static constexpr unsigned int kWord = sizeof(uint32_t);
  static constexpr unsigned int kMinAlignment = kWord;
  // Free blocks at least this long are in the treap; shorter ones only in bin 0.
  static constexpr unsigned int kIndexedLength = (sizeof(IndexNode) + kWord - 1) / kWord * kWord;
  static constexpr uint32_t kFreeFlag = 0x80000000u;
  static constexpr uint32_t kSizeMask = ~kFreeFlag;
  static bool IsFree(const Header* h) { return (h->mSizeWord & kFreeFlag) != 0; }
#if UINTPTR_MAX == 0xFFFFFFFFu
  static_assert(kHeaderSize == 16 && kFreeHeaderSize == 28, "block headers of 4 and 7 words");
  static_assert(kIndexedLength == 52, "a treap node takes 13 words");
#endif

  struct FreeIndex {
    IntrusiveHeap* mHeap;
    FreeHeader* mBins[kBins];
  };

  unsigned int AllocHeaderSize() const;
  unsigned int AllocHeaderUserDataOfs() const;
  unsigned int FreeHeaderSize() const;
  void GetGap(const Header* h, uintptr_t& start, unsigned int& size) const;
  unsigned int CalculateBlockSz0(Header* next, Header* h) const;
  void UnlinkBlock(Header* h);
  void LinkAllocBlockAfter(Header* prev, Header* h);

  int Validate(int) const { return 1; }
  int ValidateHeader(const Header*) const { return 1; }
  int Validate0() const;
  unsigned int HeaderChecksum(const void*, unsigned int) const { return 0; }
  unsigned int HeaderChecksum(const Header*) const { return 0; }
  void AddChecksumBlock(Header*) {}
  void ScrapAllocBlock(Header*) {}
  void ScrapAllocBlockGap(Header*) {}
  void UpdateBlockChecksum(Header*) {}
  void UpdateChecksums() {}

  // A search for the first fit: the request, the block found and, when the block is a node,
  // the nodes from it up to the root, so that the update that follows needs no second walk
  // from the root. A treap of the most nodes a range can hold is almost never deeper than
  // the path kept; a deeper path is dropped and the update walks from the root instead.
  static constexpr unsigned int kPathLength = 96;
  struct Search {
    uint64_t mLeast;  // the header plus the size: no shorter block can fit
    unsigned int mAlignment;
    unsigned int mSize;
    FreeHeader* mFound = nullptr;
    bool mTightened = false;  // a run bound was made exact: the maxima above it are refreshed
    unsigned int mDepth = 0;  // above kPathLength once the path has been dropped
    IndexNode* mPath[kPathLength];
    void Record(IndexNode* n) {
      if (mDepth < kPathLength) mPath[mDepth++] = n;
      else mDepth = kPathLength + 1;
    }
    bool OnPath(const FreeHeader* f) const { return mDepth >= 1 && mDepth <= kPathLength && mPath[0] == f; }
  };

  void* AllocateIn(unsigned int alignment, unsigned int size, void** userHeader, bool fromTop);
  void FindFree(Search& s, bool fromTop);
  // The treap over the long free blocks.
  static bool Indexed(const FreeHeader* f) { return (f->mSizeWord & kSizeMask) >= kIndexedLength; }
  // The links and figures of a node, read before the bytes that hold them are overwritten.
  struct NodeFields {
    IndexNode* mLeft;
    IndexNode* mRight;
    uint32_t mLeftMax;
    uint32_t mRightMax;
    uint32_t mRunMax;
    uint32_t mPriority;
  };
  void File(FreeHeader* f);
  void Unfile(FreeHeader* f, const Search* s = nullptr);
  void Relink(const Search& s, IndexNode* with, uint32_t m);
  void Regrown(FreeHeader* f, uint32_t oldLength);
  void TakePlace(IndexNode* old, const NodeFields& fields, FreeHeader* g, uint32_t length,
                 const Search* s = nullptr);
  static void CopyFields(IndexNode* node, const NodeFields& fields);
  static NodeFields Fields(const IndexNode* n) {
    return {n->mLeft, n->mRight, n->mLeftMax, n->mRightMax, n->mRunMax, n->mPriority};
  }
  IndexNode* NodeAbove(uintptr_t at) const;
  void RaiseRunBound(uintptr_t at, uint32_t length);
  void RaiseBound(IndexNode* above, uint32_t length);
  void FindLow(IndexNode* n, IndexNode* below, Search& s);
  void FindHigh(IndexNode* n, Search& s);
  FreeHeader* WalkRunUp(IndexNode* below, uint64_t least, unsigned int alignment, unsigned int size,
                        uint32_t& exactMax);
  FreeHeader* WalkRunDown(IndexNode* start, uint64_t least, unsigned int alignment, unsigned int size,
                          uint32_t& exactMax);
  int ValidateIndex() const;
  bool Fits(const FreeHeader* f, unsigned int alignment, unsigned int size) const;
  bool Outside(const void* p) const;
  Header* UsedHeader(void* p) const;
  char* RangeEnd() const { return mBase + mCapacity; }
  char* BlockEnd(const Header* next) const;
  unsigned int MinimumSize(unsigned int size) const;
  FreeHeader* MakeFree(char* at, char* end);
  // Used blocks Free and ResizeBlock step back through before they ask the index.
  static constexpr unsigned int kBackwardSteps = 4;
  FreeHeader* NearestFreeBelow(Header* h) const;
  void InsertFree(FreeHeader* after, FreeHeader* g);
  void RemoveFree(FreeHeader* f);
  FreeHeader* LastInBin(FreeHeader* f) const;
  void PrintTree(TreeHeader* node);

  char* mBase = nullptr;
  uint32_t mCapacity = 0;
  Header* mFirst = nullptr;
  uint32_t mUserHeaderSize = 0;
  uint32_t mValidateEveryN = 0;
  uint32_t mDebuggingLevel = 255;
  FreeIndex mFreeIndex = {};
  uint32_t mAvailable = 0;
  IndexNode* mIndexRoot = nullptr;
  uint32_t mTopRunMax = 0;  // the run bound of the short free blocks above the highest node
  FreeHeader* mTop = nullptr;  // the free block that ends at the end of the range, if any
};

}  // namespace Qel::Memory
