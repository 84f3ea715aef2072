#include "system/memory/intrusive_heap.h"

#include <cinttypes>

#include "system/debug/debug_output.h"

namespace Qel::Memory {
namespace {

constexpr int kAddressDigits = 2 * sizeof(void*);
constexpr uintptr_t kWordMask = sizeof(uint32_t) - 1;

uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }
char* Ptr(uintptr_t a) { return reinterpret_cast<char*>(a); }

// Any alignment value works, not only powers of two; 0 means no rounding. The arithmetic is
// done in 64 bits so that no request can wrap around the address space.
uint64_t RoundUp(uint64_t x, uint64_t a) { return a == 0 ? x : (x + a - 1) / a * a; }
uint64_t RoundDown(uint64_t x, uint64_t a) { return a == 0 ? x : x / a * a; }
uintptr_t RoundUpWord(uintptr_t x) { return (x + kWordMask) & ~kWordMask; }

}  // namespace

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(IntrusiveHeap) == 29 * sizeof(uint32_t), "a heap object is 29 words");
#endif

// ---- Layout helpers -------------------------------------------------------------------------

unsigned int IntrusiveHeap::AllocHeaderSize() const { return kHeaderSize + mUserHeaderSize; }
unsigned int IntrusiveHeap::AllocHeaderUserDataOfs() const { return kHeaderSize; }
unsigned int IntrusiveHeap::FreeHeaderSize() const { return kFreeHeaderSize; }

char* IntrusiveHeap::BlockEnd(const Header* next) const {
  return next != nullptr ? Ptr(Addr(next)) : RangeEnd();
}

void IntrusiveHeap::GetGap(const Header* h, uintptr_t& start, unsigned int& size) const {
  start = Addr(h) + AllocHeaderSize() + (h->mSizeWord & kSizeMask);
  size = static_cast<unsigned int>(Addr(BlockEnd(h->mNext)) - start);
}

unsigned int IntrusiveHeap::CalculateBlockSz0(Header* next, Header* h) const {
  return static_cast<unsigned int>(Addr(BlockEnd(next)) - Addr(h));
}

bool IntrusiveHeap::Outside(const void* p) const {
  return mBase == nullptr || Addr(p) - Addr(mBase) > mCapacity;
}

IntrusiveHeap::Header* IntrusiveHeap::UsedHeader(void* p) const {
  return reinterpret_cast<Header*>(Ptr(Addr(p) - AllocHeaderSize()));
}

// Every used block must be able to become a free block later, header and all.
unsigned int IntrusiveHeap::MinimumSize(unsigned int size) const {
  if (AllocHeaderSize() < kFreeHeaderSize) {
    const unsigned int minimum = kFreeHeaderSize - AllocHeaderSize();
    if (size < minimum) size = minimum;
  }
  return size;
}

// ---- Block list -----------------------------------------------------------------------------

void IntrusiveHeap::UnlinkBlock(Header* h) {
  if (h->mPrev != nullptr)
    h->mPrev->mNext = h->mNext;
  else
    mFirst = h->mNext;
  if (h->mNext != nullptr) h->mNext->mPrev = h->mPrev;
}

void IntrusiveHeap::LinkAllocBlockAfter(Header* prev, Header* h) {
  Header* next = prev != nullptr ? prev->mNext : mFirst;
  h->mPrev = prev;
  h->mNext = next;
  if (prev != nullptr)
    prev->mNext = h;
  else
    mFirst = h;
  if (next != nullptr) next->mPrev = h;
}

// ---- Free index (bin 0, ascending address order) --------------------------------------------

// Writes the size word of the free block [at, end): a new one, or one that grows or shrinks.
// Its links are the caller's to set.
IntrusiveHeap::FreeHeader* IntrusiveHeap::MakeFree(char* at, char* end) {
  auto* g = reinterpret_cast<FreeHeader*>(at);
  g->mSizeWord = static_cast<uint32_t>(end - at) | kFreeFlag;
  return g;
}

// after null: g becomes the new head (the only member of an empty bin).
void IntrusiveHeap::InsertFree(FreeHeader* after, FreeHeader* g) {
  FreeHeader*& head = mFreeIndex.mBins[0];
  g->mBinIndex = 0;
  if (after == nullptr) {
    if (head == nullptr) {
      g->mFreeNext = g;
      g->mFreePrev = g;
    } else {
      g->mFreeNext = head;
      g->mFreePrev = head->mFreePrev;
      head->mFreePrev->mFreeNext = g;
      head->mFreePrev = g;
    }
    head = g;
    return;
  }
  g->mFreeNext = after->mFreeNext;
  g->mFreePrev = after;
  after->mFreeNext->mFreePrev = g;
  after->mFreeNext = g;
}

void IntrusiveHeap::RemoveFree(FreeHeader* f) {
  FreeHeader*& head = mFreeIndex.mBins[0];
  if (f->mFreeNext == f) {
    head = nullptr;
    return;
  }
  f->mFreePrev->mFreeNext = f->mFreeNext;
  f->mFreeNext->mFreePrev = f->mFreePrev;
  if (head == f) head = f->mFreeNext;
}

// The free block that precedes f in bin 0, or null when f is the head.
IntrusiveHeap::FreeHeader* IntrusiveHeap::LastInBin(FreeHeader* f) const {
  return f == mFreeIndex.mBins[0] ? nullptr : f->mFreePrev;
}

// The backward walk: the nearest free block at or below h.
IntrusiveHeap::FreeHeader* IntrusiveHeap::NearestFreeBelow(Header* h) const {
  for (Header* x = h; x != nullptr; x = x->mPrev) {
    if (IsFree(x)) return static_cast<FreeHeader*>(x);
  }
  return nullptr;
}

// ---- Set-up ---------------------------------------------------------------------------------

int IntrusiveHeap::Initialize(void* p, unsigned int size, unsigned int userHeaderSize) {
  mBase = nullptr;
  mCapacity = 0;
  mFirst = nullptr;
  mDebuggingLevel = 255;
  mUserHeaderSize = userHeaderSize;

  // Room for at least two blocks.
  const uint64_t twoHeaders = 2 * (uint64_t{userHeaderSize} + kHeaderSize);
  const uint64_t twoFreeHeaders = 2 * uint64_t{kFreeHeaderSize};
  if (p == nullptr || size < (twoHeaders > twoFreeHeaders ? twoHeaders : twoFreeHeaders)) return 0;

  const uint64_t rawEnd = uint64_t{Addr(p)} + size;
  if (rawEnd > UINTPTR_MAX) return 0;
  const uintptr_t begin = RoundUpWord(Addr(p));
  const uintptr_t end = static_cast<uintptr_t>(rawEnd) & ~kWordMask;
  // A free block's length lives in 31 bits of its size word.
  if (end - begin > kSizeMask) return 0;

  mBase = Ptr(begin);
  mCapacity = static_cast<uint32_t>(end - begin);
  mAvailable = mCapacity;
  mDebuggingLevel = 1;
  mValidateEveryN = 100;

  mFreeIndex = FreeIndex{};
  mFreeIndex.mHeap = this;
  FreeHeader* f = MakeFree(mBase, RangeEnd());
  f->mNext = nullptr;
  f->mPrev = nullptr;
  mFirst = f;
  InsertFree(nullptr, f);
  return 1;
}

void IntrusiveHeap::Reset() { Initialize(mBase, mCapacity, mUserHeaderSize); }

// ---- Allocation -----------------------------------------------------------------------------

bool IntrusiveHeap::Fits(const FreeHeader* f, unsigned int alignment, unsigned int size) const {
  const uint64_t at = Addr(f);
  const uint64_t needed = RoundUp(at + AllocHeaderSize(), alignment) - at + size;
  return (f->mSizeWord & kSizeMask) >= needed;
}

// First fit over the small buckets, each walked once from its head: upwards along mFreeNext,
// or, from the top, the head first and then downwards from the highest free block. The tree
// bins would be searched next; nothing is ever filed there.
IntrusiveHeap::FreeHeader* IntrusiveHeap::FindFree(unsigned int alignment, unsigned int size,
                                                   bool fromTop) const {
  for (unsigned int bin = 0; bin < kSmallBuckets; ++bin) {
    FreeHeader* head = mFreeIndex.mBins[bin];
    if (head == nullptr) continue;
    FreeHeader* f = head;
    do {
      if (Fits(f, alignment, size)) return f;
      f = fromTop ? f->mFreePrev : f->mFreeNext;
    } while (f != head);
  }
  return nullptr;
}

void* IntrusiveHeap::AllocateIn(unsigned int alignment, unsigned int size, void** userHeader,
                                bool fromTop) {
  if (alignment < kMinAlignment) alignment = kMinAlignment;
  size = MinimumSize(size);
  if (size > kSizeMask) return nullptr;
  FreeHeader* f = FindFree(alignment, size, fromTop);
  if (f == nullptr) return nullptr;

  const uintptr_t at = Addr(f);
  const uint32_t length = f->mSizeWord & kSizeMask;
  const uintptr_t u = static_cast<uintptr_t>(fromTop ? RoundDown(uint64_t{at} + length - size, alignment)
                                                     : RoundUp(uint64_t{at} + AllocHeaderSize(), alignment));
  auto* h = reinterpret_cast<Header*>(Ptr(u - AllocHeaderSize()));

  // Front part: f keeps the space in front of h when a free header fits there; otherwise
  // h takes f's place and those bytes become slack.
  FreeHeader* before;
  if (Addr(h) - at >= kFreeHeaderSize) {
    MakeFree(reinterpret_cast<char*>(f), reinterpret_cast<char*>(h));
    LinkAllocBlockAfter(f, h);
    before = f;
  } else {
    before = LastInBin(f);
    Header* prev = f->mPrev;
    RemoveFree(f);
    UnlinkBlock(f);
    LinkAllocBlockAfter(prev, h);  // h may overlap f's header: f is fully unlinked first
  }
  h->mSizeWord = size;
  mAvailable -= AllocHeaderSize() + size;

  // Tail part: a new free block when a free header fits behind the data.
  char* t = Ptr(RoundUpWord(u + size));
  char* e = BlockEnd(h->mNext);
  if (t < e && static_cast<uintptr_t>(e - t) >= kFreeHeaderSize) {
    FreeHeader* g = MakeFree(t, e);
    LinkAllocBlockAfter(h, g);
    InsertFree(before, g);
  }
  if (userHeader != nullptr) *userHeader = reinterpret_cast<char*>(h) + AllocHeaderUserDataOfs();
  return Ptr(u);
}

void* IntrusiveHeap::Allocate(unsigned int alignment, unsigned int size, void** userHeader) {
  return AllocateIn(alignment, size, userHeader, false);
}

void* IntrusiveHeap::AllocateFromTop(unsigned int alignment, unsigned int size, void** userHeader) {
  return AllocateIn(alignment, size, userHeader, true);
}

int IntrusiveHeap::CanAllocate(unsigned int size, unsigned int alignment) {
  return FindFree(alignment, size, false) != nullptr ? 1 : 0;
}

// ---- Free and resize ------------------------------------------------------------------------

int IntrusiveHeap::Free(void* p) {
  if (p == nullptr) return 1;
  if (Outside(p)) return 0;
  Header* h = UsedHeader(p);
  Header* n = h->mNext;
  Header* v = h->mPrev;
  UnlinkBlock(h);
  mAvailable += AllocHeaderSize() + (h->mSizeWord & kSizeMask);
  char* end = BlockEnd(n);

  FreeHeader* g;
  if (v != nullptr && IsFree(v)) {
    g = MakeFree(reinterpret_cast<char*>(v), end);
  } else if (v != nullptr) {
    // The new free block starts right behind v's data, taking back the slack there. It
    // never starts behind h itself, wherever the caller's alignment placed h.
    uintptr_t start = RoundUpWord(Addr(v) + AllocHeaderSize() + (v->mSizeWord & kSizeMask));
    if (start > Addr(h)) start = Addr(h);
    g = MakeFree(Ptr(start), end);
    LinkAllocBlockAfter(v, g);
    InsertFree(NearestFreeBelow(v), g);
  } else {
    g = MakeFree(mBase, end);
    LinkAllocBlockAfter(nullptr, g);
    InsertFree(nullptr, g);
  }

  if (n != nullptr && IsFree(n)) {
    Header* after = n->mNext;
    RemoveFree(static_cast<FreeHeader*>(n));
    UnlinkBlock(n);
    MakeFree(reinterpret_cast<char*>(g), BlockEnd(after));
  }
  return 1;
}

int IntrusiveHeap::ResizeBlock(void* p, unsigned int size) {
  if (Outside(p)) return 0;
  Header* h = UsedHeader(p);
  const uint32_t old = h->mSizeWord & kSizeMask;
  if (size > old) return 0;
  // Shrinking keeps the minimum Allocate enforces, so the block can still become a free
  // block without its free header reaching into the next block.
  size = MinimumSize(size);

  char* t = Ptr(RoundUpWord(Addr(p) + size));
  Header* n = h->mNext;
  if (n != nullptr && IsFree(n)) {
    auto* nf = static_cast<FreeHeader*>(n);
    FreeHeader* before = LastInBin(nf);
    Header* after = n->mNext;
    RemoveFree(nf);
    UnlinkBlock(n);
    if (t > reinterpret_cast<char*>(n)) t = reinterpret_cast<char*>(n);
    FreeHeader* g = MakeFree(t, BlockEnd(after));
    LinkAllocBlockAfter(h, g);
    InsertFree(before, g);
  } else {
    // Split off a tail only when strictly more than a free header remains.
    char* e = BlockEnd(n);
    if (t < e && static_cast<uintptr_t>(e - t) > kFreeHeaderSize) {
      FreeHeader* g = MakeFree(t, e);
      LinkAllocBlockAfter(h, g);
      InsertFree(NearestFreeBelow(h), g);
    }
  }
  h->mSizeWord = size;
  mAvailable += old - size;
  return 1;
}

// ---- Queries --------------------------------------------------------------------------------

unsigned int IntrusiveHeap::GetAllocationSize(void* p) {
  if (Outside(p)) return 0;
  return UsedHeader(p)->mSizeWord & kSizeMask;
}

int IntrusiveHeap::IsPointerInside(const void* p) const {
  return mBase != nullptr && Addr(p) - Addr(mBase) <= mCapacity ? 1 : 0;
}

IntrusiveHeap::HeapWalkIterator* IntrusiveHeap::HeapWalkStart() {
  Header* h = mBase != nullptr ? mFirst : nullptr;
  while (h != nullptr && IsFree(h)) h = h->mNext;
  return reinterpret_cast<HeapWalkIterator*>(h);
}

IntrusiveHeap::HeapWalkIterator* IntrusiveHeap::HeapWalkGetNext(HeapWalkIterator* it) {
  Header* h = reinterpret_cast<Header*>(it)->mNext;
  while (h != nullptr && IsFree(h)) h = h->mNext;
  return reinterpret_cast<HeapWalkIterator*>(h);
}

int IntrusiveHeap::HeapWalkGetInfo(HeapWalkIterator* it, unsigned int* size, void** userData,
                                   void** userHeader) {
  auto* h = reinterpret_cast<Header*>(it);
  if (size != nullptr) *size = h->mSizeWord & kSizeMask;
  if (userData != nullptr) *userData = reinterpret_cast<char*>(h) + AllocHeaderSize();
  if (userHeader != nullptr) *userHeader = reinterpret_cast<char*>(h) + AllocHeaderUserDataOfs();
  return 1;
}

// ---- Printing -------------------------------------------------------------------------------

void IntrusiveHeap::PrintNode(Header* h) {
  Yr::Debug::OutputFmt("[%.*" PRIxPTR "] P = %.*" PRIxPTR " N = %.*" PRIxPTR " S = 0x%x E = %d",
                   kAddressDigits, Addr(h), kAddressDigits, Addr(h->mPrev), kAddressDigits,
                   Addr(h->mNext), h->mSizeWord & kSizeMask, IsFree(h) ? 1 : 0);
  if (IsFree(h)) {
    auto* f = static_cast<FreeHeader*>(h);
    Yr::Debug::OutputFmt(" EP = %.*" PRIxPTR " EN = %.*" PRIxPTR " I=%x ", kAddressDigits,
                     Addr(f->mFreePrev), kAddressDigits, Addr(f->mFreeNext), f->mBinIndex);
    if (f->mBinIndex > kSmallBuckets) {
      auto* t = static_cast<TreeHeader*>(f);
      Yr::Debug::OutputFmt(" L=%.*" PRIxPTR " R=%.*" PRIxPTR " P=%.*" PRIxPTR " ", kAddressDigits,
                       Addr(t->mLeft), kAddressDigits, Addr(t->mRight), kAddressDigits,
                       Addr(t->mParent));
    }
  }
  Yr::Debug::OutputFmt("\n");
}

// In order: the left subtree, the node's own list, the right subtree.
void IntrusiveHeap::PrintTree(TreeHeader* node) {
  if (node == nullptr) return;
  PrintTree(node->mLeft);
  FreeHeader* f = node;
  do {
    PrintNode(f);
    f = f->mFreeNext;
  } while (f != node);
  PrintTree(node->mRight);
}

void IntrusiveHeap::Print() {
  Yr::Debug::OutputFmt("---- heap -----\n");
  for (Header* h = mBase != nullptr ? mFirst : nullptr; h != nullptr; h = h->mNext) PrintNode(h);
  Yr::Debug::OutputFmt("--- free heap ---\n");
  for (unsigned int i = 0; i < kSmallBuckets; ++i) {
    Yr::Debug::OutputFmt("%d small buckets\n", static_cast<int>(i));
    FreeHeader* head = mFreeIndex.mBins[i];
    if (head == nullptr) continue;
    FreeHeader* f = head;
    do {
      PrintNode(f);
      f = f->mFreeNext;
    } while (f != head);
  }
  for (unsigned int j = 0; j < kTreeBins; ++j) {
    Yr::Debug::OutputFmt("%d tree\n", static_cast<int>(j));
    PrintTree(static_cast<TreeHeader*>(mFreeIndex.mBins[kSmallBuckets + j]));
  }
}

// ---- Validation -----------------------------------------------------------------------------

// Checks every invariant of the block list and the free index. The walk only follows a
// link after the block it leads to has been checked to lie inside the range.
int IntrusiveHeap::Validate0() const {
  if (mBase == nullptr || mFreeIndex.mHeap != this) return 0;
  for (unsigned int bin = 1; bin < kBins; ++bin) {
    if (mFreeIndex.mBins[bin] != nullptr) return 0;
  }
  const uintptr_t begin = Addr(mBase);
  const uintptr_t end = Addr(RangeEnd());
  FreeHeader* const head = mFreeIndex.mBins[0];
  FreeHeader* expected = head;  // the next free block bin 0 should name
  FreeHeader* lastFree = nullptr;
  uint64_t usedBytes = 0;
  const Header* prev = nullptr;
  bool prevFree = false;

  for (const Header* h = mFirst; h != nullptr; h = h->mNext) {
    const uintptr_t at = Addr(h);
    if (at < begin || at >= end) return 0;
    if (prev != nullptr && at <= Addr(prev)) return 0;
    if (h->mPrev != prev) return 0;
    const uintptr_t limit = h->mNext != nullptr ? Addr(h->mNext) : end;
    if (h->mNext != nullptr && (limit <= at || limit >= end)) return 0;
    const uint32_t length = h->mSizeWord & kSizeMask;
    if (IsFree(h)) {
      if (prevFree) return 0;
      if (length < kFreeHeaderSize || at + length != limit) return 0;
      const auto* f = static_cast<const FreeHeader*>(h);
      if (f != expected || f->mBinIndex != 0) return 0;
      if (lastFree != nullptr && f->mFreePrev != lastFree) return 0;
      lastFree = const_cast<FreeHeader*>(f);
      expected = f->mFreeNext;
      if (expected == head) expected = nullptr;  // the circle must close exactly here
      prevFree = true;
    } else {
      if (uint64_t{at} + AllocHeaderSize() + length > limit) return 0;
      usedBytes += AllocHeaderSize() + length;
      prevFree = false;
    }
    prev = h;
  }
  if (expected != nullptr) return 0;  // bin 0 names a block the walk did not meet
  if ((head == nullptr) != (lastFree == nullptr)) return 0;
  if (head != nullptr && (head->mFreePrev != lastFree || lastFree->mFreeNext != head)) return 0;
  if (usedBytes > mCapacity || mAvailable != mCapacity - usedBytes) return 0;
  return 1;
}

}  // namespace Qel::Memory
