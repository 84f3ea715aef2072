#include "system/memory/intrusive_heap.h"

#include <cinttypes>
#include <initializer_list>

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

// ---- Treap over the long free blocks ----------------------------------------------------------
// Node is IntrusiveHeap::IndexNode; the helpers are templates so that they can stay here.

constexpr uint32_t kLengthMask = 0x7FFFFFFFu;

template <class Node>
uint32_t Length(const Node* n) {
  return n->mSizeWord & kLengthMask;
}

// A node's priority: the address through a full 64-bit mixing function. Blocks often sit at
// evenly spaced addresses, and a plain multiplicative hash maps those to a regular sequence
// that leaves the treap two to three times deeper than a random one; after full mixing the
// depth is that of random priorities. It is drawn when a block becomes a node and stays with
// the node's place in address order, so that a block taking that place needs no rotation.
uint32_t Priority(const void* p) {
  uint64_t z = uint64_t{Addr(p)} + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
}

uint32_t Larger(uint32_t a, uint32_t b) { return a > b ? a : b; }

// The largest own length or run bound in n's subtree, from n's own figures: each node keeps
// its children's maxima, so that neither a search nor an update touches a child it does
// not descend into.
template <class Node>
uint32_t Max(const Node* n) {
  if (n == nullptr) return 0;
  return Larger(Larger(Length(n), n->mRunMax), Larger(n->mLeftMax, n->mRightMax));
}

template <class Node>
void SetLeft(Node* t, Node* l) {
  t->mLeft = l;
  t->mLeftMax = Max(l);
}

template <class Node>
void SetRight(Node* t, Node* r) {
  t->mRight = r;
  t->mRightMax = Max(r);
}

template <class Node>
Node* RotateRight(Node* t) {
  Node* l = t->mLeft;
  t->mLeft = l->mRight;
  t->mLeftMax = l->mRightMax;
  SetRight(l, t);
  return l;
}

template <class Node>
Node* RotateLeft(Node* t) {
  Node* r = t->mRight;
  t->mRight = r->mLeft;
  t->mRightMax = r->mLeftMax;
  SetLeft(r, t);
  return r;
}

// Inserts x under t. `above` is the lowest node above x met on the way down: x splits its
// run, and the old bound (topRunMax when there is no node above) holds for both parts.
template <class Node>
Node* Insert(Node* t, Node* x, const Node* above, uint32_t topRunMax) {
  if (t == nullptr) {
    x->mRunMax = above != nullptr ? above->mRunMax : topRunMax;
    return x;
  }
  if (Addr(x) < Addr(t)) {
    SetLeft(t, Insert(t->mLeft, x, t, topRunMax));
    if (t->mLeft->mPriority > t->mPriority) return RotateRight(t);
  } else {
    SetRight(t, Insert(t->mRight, x, above, topRunMax));
    if (t->mRight->mPriority > t->mPriority) return RotateLeft(t);
  }
  return t;
}

template <class Node>
Node* Join(Node* a, Node* b) {
  if (a == nullptr) return b;
  if (b == nullptr) return a;
  if (a->mPriority > b->mPriority) {
    SetRight(a, Join(a->mRight, b));
    return a;
  }
  SetLeft(b, Join(a, b->mLeft));
  return b;
}

// Raises the run bound of the lowest node of t to at least bound, keeping the maxima.
template <class Node>
void RaiseLowest(Node* t, uint32_t bound) {
  if (t->mLeft != nullptr) {
    RaiseLowest(t->mLeft, bound);
    t->mLeftMax = Max(t->mLeft);
  } else if (t->mRunMax < bound) {
    t->mRunMax = bound;
  }
}

// Takes x out of t. x's run joins the run of the node above it, whose bound is raised to
// x's: the lowest node of x's right subtree, else `above`, the lowest node above x met on
// the way down, else the bound of the short blocks above every node, topRunMax. The
// maxima of every node on the way are recomputed as the recursion returns.
template <class Node>
Node* Erase(Node* t, Node* x, Node* above, uint32_t& topRunMax) {
  if (t == x) {
    const uint32_t bound = x->mRunMax;
    if (x->mRight != nullptr) RaiseLowest(x->mRight, bound);
    else if (above != nullptr && above->mRunMax < bound) above->mRunMax = bound;
    else if (above == nullptr && topRunMax < bound) topRunMax = bound;
    return Join(x->mLeft, x->mRight);
  }
  if (Addr(x) < Addr(t)) SetLeft(t, Erase(t->mLeft, x, t, topRunMax));
  else SetRight(t, Erase(t->mRight, x, above, topRunMax));
  return t;
}

// Puts y in x's place: y lies next to x in address order with no node between them, and
// already carries x's links, child maxima and priority; yMax is its subtree maximum, passed
// in so that y's freshly written bytes need not be read back. x's bytes are not read: y may
// overlap them. The maxima on the path are recomputed.
template <class Node>
Node* Substitute(Node* t, const Node* x, Node* y, uint32_t yMax) {
  if (t == x) return y;
  if (Addr(x) < Addr(t)) {
    const bool child = t->mLeft == x;
    t->mLeft = Substitute(t->mLeft, x, y, yMax);
    t->mLeftMax = child ? yMax : Max(t->mLeft);
  } else {
    const bool child = t->mRight == x;
    t->mRight = Substitute(t->mRight, x, y, yMax);
    t->mRightMax = child ? yMax : Max(t->mRight);
  }
  return t;
}

// Recomputes the maxima on the path to x after x's own figures changed.
template <class Node>
void Refresh(Node* t, const Node* x) {
  if (t == x) return;
  if (Addr(x) < Addr(t)) {
    Refresh(t->mLeft, x);
    t->mLeftMax = Max(t->mLeft);
  } else {
    Refresh(t->mRight, x);
    t->mRightMax = Max(t->mRight);
  }
}

template <class Node>
Node* Rightmost(Node* t) {
  while (t->mRight != nullptr) t = t->mRight;
  return t;
}

}  // namespace

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(IntrusiveHeap) == 32 * sizeof(uint32_t), "a heap object is 32 words");
#endif

// ---- Layout helpers -------------------------------------------------------------------------

unsigned int IntrusiveHeap::AllocHeaderSize() const { return kHeaderSize + mUserHeaderSize; }
unsigned int IntrusiveHeap::AllocHeaderUserDataOfs() const { return kHeaderSize; }
unsigned int IntrusiveHeap::FreeHeaderSize() const { return kFreeHeaderSize; }

char* IntrusiveHeap::BlockEnd(const Header* next) const { return next != nullptr ? Ptr(Addr(next)) : RangeEnd(); }

void IntrusiveHeap::GetGap(const Header* h, uintptr_t& start, unsigned int& size) const {
  start = Addr(h) + AllocHeaderSize() + (h->mSizeWord & kSizeMask);
  size = static_cast<unsigned int>(Addr(BlockEnd(h->mNext)) - start);
}

unsigned int IntrusiveHeap::CalculateBlockSz0(Header* next, Header* h) const {
  return static_cast<unsigned int>(Addr(BlockEnd(next)) - Addr(h));
}

bool IntrusiveHeap::Outside(const void* p) const { return mBase == nullptr || Addr(p) - Addr(mBase) > mCapacity; }

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
  if (h->mPrev != nullptr) h->mPrev->mNext = h->mNext;
  else mFirst = h->mNext;
  if (h->mNext != nullptr) h->mNext->mPrev = h->mPrev;
}

void IntrusiveHeap::LinkAllocBlockAfter(Header* prev, Header* h) {
  Header* next = prev != nullptr ? prev->mNext : mFirst;
  h->mPrev = prev;
  h->mNext = next;
  if (prev != nullptr) prev->mNext = h;
  else mFirst = h;
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

// The nearest free block at or below h, which lies below the top block. A few steps back
// through the blocks usually meet one; a longer walk would touch a cold header per used
// block, so past those steps the index answers instead: the highest node below h, then
// forward through the short free blocks of the run above it (or from the lowest free block
// when no node lies below).
IntrusiveHeap::FreeHeader* IntrusiveHeap::NearestFreeBelow(Header* h) const {
  Header* x = h;
  for (unsigned int step = 0; step < kBackwardSteps; ++step, x = x->mPrev) {
    if (x == nullptr) return nullptr;
    if (IsFree(x)) return static_cast<FreeHeader*>(x);
  }
  FreeHeader* const head = mFreeIndex.mBins[0];
  const uintptr_t at = Addr(h);
  FreeHeader* f = nullptr;
  for (IndexNode* n = mIndexRoot; n != nullptr;) {
    if (Addr(n) < at) {
      f = n;
      n = n->mRight;
    } else {
      n = n->mLeft;
    }
  }
  if (f == nullptr) {
    if (head == nullptr || Addr(head) > at) return nullptr;
    f = head;
  }
  while (f->mFreeNext != head && Addr(f->mFreeNext) <= at) f = f->mFreeNext;
  return f;
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
  mIndexRoot = nullptr;
  mTopRunMax = 0;
  mTop = nullptr;
  InsertFree(nullptr, f);
  File(f);
  return 1;
}

void IntrusiveHeap::Reset() { Initialize(mBase, mCapacity, mUserHeaderSize); }

// ---- Allocation -----------------------------------------------------------------------------

bool IntrusiveHeap::Fits(const FreeHeader* f, unsigned int alignment, unsigned int size) const {
  const uint64_t at = Addr(f);
  const uint64_t needed = RoundUp(at + AllocHeaderSize(), alignment) - at + size;
  return (f->mSizeWord & kSizeMask) >= needed;
}

// ---- Treap upkeep --------------------------------------------------------------------------

// The lowest treap node above the address, or null.
IntrusiveHeap::IndexNode* IntrusiveHeap::NodeAbove(uintptr_t at) const {
  IndexNode* best = nullptr;
  for (IndexNode* n = mIndexRoot; n != nullptr;) {
    if (Addr(n) > at) {
      best = n;
      n = n->mLeft;
    } else {
      n = n->mRight;
    }
  }
  return best;
}

// A short free block of this length now lies in the run below the node above it.
void IntrusiveHeap::RaiseRunBound(uintptr_t at, uint32_t length) {
  IndexNode* above = NodeAbove(at);
  RaiseBound(above, length);
}

// Raises the run bound of `above` (the heap's own top bound when null) to at least length.
// Nodes may sit at any address the caller's header size gives, so no reference to their
// packed fields is taken. A bound that stays within the node's subtree maximum leaves every
// maximum as it is, and the path needs no walk.
void IntrusiveHeap::RaiseBound(IndexNode* above, uint32_t length) {
  if (above == nullptr) {
    if (mTopRunMax < length) mTopRunMax = length;
    return;
  }
  if (above->mRunMax >= length) return;
  const uint32_t subtreeMax = Max(above);
  above->mRunMax = length;
  if (length <= subtreeMax) return;
  Refresh(mIndexRoot, above);
}

// Files a free block, already in bin 0 with its final length and links: as the top block,
// in the treap, or in a run bound.
void IntrusiveHeap::File(FreeHeader* f) {
  if (f->mNext == nullptr) {
    mTop = f;
    return;
  }
  if (!Indexed(f)) {
    RaiseRunBound(Addr(f), Length(f));
    return;
  }
  auto* node = static_cast<IndexNode*>(f);
  node->mPriority = Priority(node);
  node->mLeft = nullptr;
  node->mRight = nullptr;
  node->mLeftMax = 0;
  node->mRightMax = 0;
  mIndexRoot = Insert(mIndexRoot, node, static_cast<IndexNode*>(nullptr), mTopRunMax);
}

// Takes a free block out of the index before its length, links or memory change. Short
// blocks leave their run bound as it is: it stays an upper bound. When s is the search that
// found f, f's children are joined in its place along the recorded path.
void IntrusiveHeap::Unfile(FreeHeader* f, const Search* s) {
  if (f == mTop) {
    mTop = nullptr;
    return;
  }
  if (!Indexed(f)) return;
  auto* node = static_cast<IndexNode*>(f);
  if (s == nullptr || !s->OnPath(f)) {
    mIndexRoot = Erase(mIndexRoot, node, static_cast<IndexNode*>(nullptr), mTopRunMax);
    return;
  }
  // As Erase does, along the recorded path: the node above is the lowest of the right
  // subtree, else the nearest ancestor the path leaves to the left.
  IndexNode* const right = node->mRight;
  const uint32_t bound = node->mRunMax;
  IndexNode* above = nullptr;
  for (unsigned int i = 1; right == nullptr && above == nullptr && i < s->mDepth; ++i) {
    if (s->mPath[i]->mLeft == s->mPath[i - 1]) above = s->mPath[i];
  }
  if (right != nullptr) RaiseLowest(right, bound);
  IndexNode* const joined = Join(node->mLeft, right);
  Relink(*s, joined, Max(joined));
  if (right == nullptr) RaiseBound(above, bound);
}

// A filed block below the top kept its address and links while its length changed from
// oldLength, and its node fields are intact. A node that stays one (callers never shrink a
// node below kIndexedLength here) only has its path's maxima refreshed, and not even that
// when its subtree's maximum is the same as before, which a longer block below it decides.
void IntrusiveHeap::Regrown(FreeHeader* f, uint32_t oldLength) {
  if (oldLength < kIndexedLength) {
    File(f);
    return;
  }
  auto* node = static_cast<IndexNode*>(f);
  const uint32_t others = Larger(node->mRunMax, Larger(node->mLeftMax, node->mRightMax));
  if (Larger(oldLength, others) != Max(node)) Refresh(mIndexRoot, node);
}

// g, a long free block below the top filed nowhere yet, takes the place in address order
// of the node `old`, whose fields were read before g's bytes were written: no free block
// lies between them, so old's run below is g's run. g's length comes from the caller, who
// has just computed it, rather than from g's header, whose line may still be on its way.
void IntrusiveHeap::TakePlace(IndexNode* old, const NodeFields& fields, FreeHeader* g, uint32_t length,
                              const Search* s) {
  auto* node = static_cast<IndexNode*>(g);
  CopyFields(node, fields);
  const uint32_t m = Larger(Larger(length, fields.mRunMax), Larger(fields.mLeftMax, fields.mRightMax));
  if (s != nullptr && s->OnPath(old)) Relink(*s, node, m);
  else mIndexRoot = Substitute(mIndexRoot, static_cast<const IndexNode*>(old), node, m);
}

void IntrusiveHeap::CopyFields(IndexNode* node, const NodeFields& fields) {
  node->mLeft = fields.mLeft;
  node->mRight = fields.mRight;
  node->mLeftMax = fields.mLeftMax;
  node->mRightMax = fields.mRightMax;
  node->mRunMax = fields.mRunMax;
  node->mPriority = fields.mPriority;
}

// Puts `with` (a subtree, or null) where the search's node was, and carries its maximum m
// up the recorded path as far as it changes anything.
void IntrusiveHeap::Relink(const Search& s, IndexNode* with, uint32_t m) {
  const IndexNode* old = s.mPath[0];
  if (s.mDepth == 1) {
    mIndexRoot = with;
    return;
  }
  bool left = s.mPath[1]->mLeft == old;
  if (left) s.mPath[1]->mLeft = with;
  else s.mPath[1]->mRight = with;
  for (unsigned int i = 1; i < s.mDepth; ++i) {
    IndexNode* a = s.mPath[i];
    if (left) {
      if (a->mLeftMax == m) return;
      a->mLeftMax = m;
    } else {
      if (a->mRightMax == m) return;
      a->mRightMax = m;
    }
    if (i + 1 == s.mDepth) return;
    m = Max(a);
    left = s.mPath[i + 1]->mLeft == a;
  }
}

// ---- Search ---------------------------------------------------------------------------------

// The run above `below` (or from the lowest free block), lowest first, up to the next node
// or the top block: the first fitting short block. exactMax receives the longest block
// seen, exact when nothing fits.
IntrusiveHeap::FreeHeader* IntrusiveHeap::WalkRunUp(IndexNode* below, uint64_t least, unsigned int alignment,
                                                    unsigned int size, uint32_t& exactMax) {
  FreeHeader* const head = mFreeIndex.mBins[0];
  exactMax = 0;
  FreeHeader* f = below == nullptr ? head : (below->mFreeNext == head ? nullptr : below->mFreeNext);
  for (; f != nullptr && f != mTop && !Indexed(f); f = f->mFreeNext == head ? nullptr : f->mFreeNext) {
    const uint32_t length = Length(f);
    if (length >= least && Fits(f, alignment, size)) return f;
    if (length > exactMax) exactMax = length;
  }
  return nullptr;
}

// The run below `start` downwards to the next node or the lowest free block: the first
// fitting short block from the top. start null: the run between the highest node and the
// top block (or above the highest node when there is no top block).
IntrusiveHeap::FreeHeader* IntrusiveHeap::WalkRunDown(IndexNode* start, uint64_t least, unsigned int alignment,
                                                      unsigned int size, uint32_t& exactMax) {
  FreeHeader* const head = mFreeIndex.mBins[0];
  exactMax = 0;
  FreeHeader* const above = start != nullptr ? start : mTop;
  if (head == nullptr || above == head) return nullptr;
  for (FreeHeader* f = above != nullptr ? above->mFreePrev : head->mFreePrev; !Indexed(f); f = f->mFreePrev) {
    const uint32_t length = Length(f);
    if (length >= least && Fits(f, alignment, size)) return f;
    if (length > exactMax) exactMax = length;
    if (f == head) break;
  }
  return nullptr;
}

// In address order: the left subtree, the node's run, the node, the right subtree. `below`
// is the nearest node below n's subtree. A subtree is entered only when its maximum, kept in
// n, admits the request; bounds made exact on the way are carried back up.
void IntrusiveHeap::FindLow(IndexNode* n, IndexNode* below, Search& s) {
  if (n->mLeftMax >= s.mLeast) {
    FindLow(n->mLeft, below, s);
    if (s.mTightened) n->mLeftMax = Max(n->mLeft);
  }
  if (s.mFound == nullptr && n->mRunMax >= s.mLeast) {
    uint32_t exact = 0;
    s.mFound = WalkRunUp(n->mLeft != nullptr ? Rightmost(n->mLeft) : below, s.mLeast, s.mAlignment, s.mSize, exact);
    if (s.mFound == nullptr) {
      n->mRunMax = exact;
      s.mTightened = true;
    }
  }
  if (s.mFound == nullptr && Length(n) >= s.mLeast && Fits(n, s.mAlignment, s.mSize)) s.mFound = n;
  if (s.mFound == nullptr && n->mRightMax >= s.mLeast) {
    FindLow(n->mRight, n, s);
    if (s.mTightened) n->mRightMax = Max(n->mRight);
  }
  if (s.mFound != nullptr) s.Record(n);
}

// The mirror order: the right subtree, the node, the node's run, the left subtree.
void IntrusiveHeap::FindHigh(IndexNode* n, Search& s) {
  if (n->mRightMax >= s.mLeast) {
    FindHigh(n->mRight, s);
    if (s.mTightened) n->mRightMax = Max(n->mRight);
  }
  if (s.mFound == nullptr && Length(n) >= s.mLeast && Fits(n, s.mAlignment, s.mSize)) s.mFound = n;
  if (s.mFound == nullptr && n->mRunMax >= s.mLeast) {
    uint32_t exact = 0;
    s.mFound = WalkRunDown(n, s.mLeast, s.mAlignment, s.mSize, exact);
    if (s.mFound == nullptr) {
      n->mRunMax = exact;
      s.mTightened = true;
    }
  }
  if (s.mFound == nullptr && n->mLeftMax >= s.mLeast) {
    FindHigh(n->mLeft, s);
    if (s.mTightened) n->mLeftMax = Max(n->mLeft);
  }
  if (s.mFound != nullptr) s.Record(n);
}

// The first fit of the plain walk of bin 0: upwards from the lowest free block, or, from the
// top, the lowest free block first and then downwards from the highest one. The top block is
// the highest free block, so it comes last upwards and second downwards. The treap and the
// run bounds only skip blocks that cannot fit: none is shorter than the header plus the
// size. The tree bins would be searched next; nothing is ever filed there.
void IntrusiveHeap::FindFree(Search& s, bool fromTop) {
  FreeHeader* const head = mFreeIndex.mBins[0];
  if (head == nullptr) return;
  s.mLeast = uint64_t{AllocHeaderSize()} + s.mSize;
  uint32_t exact = 0;
  if (!fromTop) {
    if (Max(mIndexRoot) >= s.mLeast) FindLow(mIndexRoot, nullptr, s);
    if (s.mFound == nullptr && mTopRunMax >= s.mLeast) {
      s.mFound = WalkRunUp(mIndexRoot != nullptr ? Rightmost(mIndexRoot) : nullptr, s.mLeast, s.mAlignment, s.mSize,
                           exact);
      if (s.mFound == nullptr) mTopRunMax = exact;
    }
    if (s.mFound == nullptr && mTop != nullptr && Fits(mTop, s.mAlignment, s.mSize)) s.mFound = mTop;
    return;
  }
  if (Fits(head, s.mAlignment, s.mSize)) {
    s.mFound = head;
    return;
  }
  if (mTop != nullptr && mTop != head && Fits(mTop, s.mAlignment, s.mSize)) {
    s.mFound = mTop;
    return;
  }
  if (mTopRunMax >= s.mLeast) {
    s.mFound = WalkRunDown(nullptr, s.mLeast, s.mAlignment, s.mSize, exact);
    if (s.mFound != nullptr) return;
    mTopRunMax = exact;
  }
  if (Max(mIndexRoot) >= s.mLeast) FindHigh(mIndexRoot, s);
}

void* IntrusiveHeap::AllocateIn(unsigned int alignment, unsigned int size, void** userHeader, bool fromTop) {
  if (alignment < kMinAlignment) alignment = kMinAlignment;
  size = MinimumSize(size);
  if (size > kSizeMask) return nullptr;
  Search s;
  s.mAlignment = alignment;
  s.mSize = size;
  FindFree(s, fromTop);
  FreeHeader* const f = s.mFound;
  if (f == nullptr) return nullptr;

  const uintptr_t at = Addr(f);
  const uint32_t length = Length(f);
  const uintptr_t u = static_cast<uintptr_t>(fromTop ? RoundDown(uint64_t{at} + length - size, alignment)
                                                     : RoundUp(uint64_t{at} + AllocHeaderSize(), alignment));
  auto* h = reinterpret_cast<Header*>(Ptr(u - AllocHeaderSize()));
  // Front part: f keeps the space in front of h when a free header fits there; otherwise
  // h takes f's place and those bytes become slack. Tail part: a new free block when a
  // free header fits behind the data.
  const uintptr_t front = Addr(h) - at;
  const bool keepFront = front >= kFreeHeaderSize;
  char* const t = Ptr(RoundUpWord(u + size));
  char* const e = Ptr(at + length);
  const bool tail = t < e && static_cast<uintptr_t>(e - t) >= kFreeHeaderSize;
  // The lines about to be written are mostly cold: f's neighbours in bin 0, relinked to the
  // tail or to each other, and the tail's header and node. Their loads overlap from here.
  __builtin_prefetch(f->mFreePrev, 1);
  __builtin_prefetch(f->mFreeNext, 1);
  if (tail) {
    __builtin_prefetch(t, 1);
    __builtin_prefetch(t + kIndexedLength - 1, 1);
  }

  // How the index follows, decided before h or the tail overwrite f's node: a node whose
  // front part stays a node shrinks in place; a node whose whole tail becomes a node hands
  // its place over; anything else leaves the index now and is filed again at the end.
  enum class Follow { kRefile, kShrink, kHandOver } follow = Follow::kRefile;
  NodeFields fields{};
  if (f != mTop && Indexed(f)) {
    if (keepFront && front >= kIndexedLength) {
      follow = Follow::kShrink;
    } else if (!keepFront && tail && static_cast<uintptr_t>(e - t) >= kIndexedLength) {
      follow = Follow::kHandOver;
      fields = Fields(static_cast<IndexNode*>(f));
    }
  }
  if (follow == Follow::kRefile) Unfile(f, &s);

  FreeHeader* before;
  FreeHeader* kept = nullptr;
  if (keepFront) {
    MakeFree(reinterpret_cast<char*>(f), reinterpret_cast<char*>(h));
    LinkAllocBlockAfter(f, h);
    before = f;
    kept = f;
  } else {
    before = LastInBin(f);
    Header* prev = f->mPrev;
    RemoveFree(f);
    UnlinkBlock(f);
    LinkAllocBlockAfter(prev, h);  // h may overlap f's header: f is fully unlinked first
  }
  h->mSizeWord = size;
  mAvailable -= AllocHeaderSize() + size;

  FreeHeader* g = nullptr;
  if (tail) {
    g = MakeFree(t, e);
    LinkAllocBlockAfter(h, g);
    InsertFree(before, g);
  }
  switch (follow) {
    case Follow::kShrink:
      if (s.OnPath(f)) Relink(s, static_cast<IndexNode*>(f), Max(static_cast<IndexNode*>(f)));
      else Regrown(f, length);
      if (g != nullptr) File(g);
      break;
    case Follow::kHandOver:
      TakePlace(static_cast<IndexNode*>(f), fields, g, static_cast<uint32_t>(e - t), &s);
      break;
    case Follow::kRefile:
      if (g != nullptr) File(g);
      if (kept != nullptr) File(kept);
      break;
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
  Search s;
  s.mAlignment = alignment;
  s.mSize = size;
  FindFree(s, false);
  return s.mFound != nullptr ? 1 : 0;
}

// ---- Free and resize ------------------------------------------------------------------------

int IntrusiveHeap::Free(void* p) {
  if (p == nullptr) return 1;
  if (Outside(p)) return 0;
  Header* h = UsedHeader(p);
  Header* n = h->mNext;
  Header* v = h->mPrev;
  // Both neighbours' headers are needed: start both loads now rather than one after the other.
  __builtin_prefetch(n);
  __builtin_prefetch(v);
  UnlinkBlock(h);
  mAvailable += AllocHeaderSize() + (h->mSizeWord & kSizeMask);
  auto* nf = n != nullptr && IsFree(n) ? static_cast<FreeHeader*>(n) : nullptr;
  if (nf != nullptr) {
    // n leaves bin 0 or hands its place over: its neighbours there are relinked.
    __builtin_prefetch(nf->mFreePrev, 1);
    __builtin_prefetch(nf->mFreeNext, 1);
  }
  Header* const after = nf != nullptr ? nf->mNext : n;  // the block above the merged free block
  char* const end = BlockEnd(after);

  if (v != nullptr && IsFree(v)) {
    // v grows over h (and n), keeping its address and its place in bin 0.
    auto* g = static_cast<FreeHeader*>(v);
    const uint32_t old = Length(g);
    const bool becomesTop = after == nullptr;
    if (becomesTop) Unfile(g);
    if (nf != nullptr) {
      Unfile(nf);
      RemoveFree(nf);
      UnlinkBlock(nf);
    }
    MakeFree(reinterpret_cast<char*>(g), end);
    if (becomesTop) File(g);
    else Regrown(g, old);
    return 1;
  }

  // A new free block g right behind v's data, taking back the slack there (it never starts
  // behind h itself, wherever the caller's alignment placed h), or at the base.
  uintptr_t start = Addr(mBase);
  if (v != nullptr) {
    start = RoundUpWord(Addr(v) + AllocHeaderSize() + (v->mSizeWord & kSizeMask));
    if (start > Addr(h)) start = Addr(h);
  }
  auto* g = reinterpret_cast<FreeHeader*>(Ptr(start));
  if (nf == nullptr) {
    MakeFree(Ptr(start), end);
    LinkAllocBlockAfter(v, g);
    InsertFree(v != nullptr ? NearestFreeBelow(v) : nullptr, g);
    File(g);
    return 1;
  }
  // g takes n's place in bin 0 and, when n is a node, in the treap. Every used block spans
  // at least a free header, so g's free header lies below n; g's node may overlap n's, so
  // n is read first.
  const bool handOver = nf != mTop && Indexed(nf);
  NodeFields fields{};
  if (handOver) fields = Fields(static_cast<IndexNode*>(nf));
  else Unfile(nf);
  FreeHeader* before = LastInBin(nf);
  RemoveFree(nf);
  UnlinkBlock(nf);
  MakeFree(Ptr(start), end);
  LinkAllocBlockAfter(v, g);
  InsertFree(before, g);
  if (handOver) TakePlace(static_cast<IndexNode*>(nf), fields, g, static_cast<uint32_t>(end - Ptr(start)));
  else File(g);
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
    Unfile(nf);
    RemoveFree(nf);
    UnlinkBlock(n);
    if (t > reinterpret_cast<char*>(n)) t = reinterpret_cast<char*>(n);
    FreeHeader* g = MakeFree(t, BlockEnd(after));
    LinkAllocBlockAfter(h, g);
    InsertFree(before, g);
    File(g);
  } else {
    // Split off a tail only when strictly more than a free header remains.
    char* e = BlockEnd(n);
    if (t<e&& static_cast<uintptr_t>(e - t)> kFreeHeaderSize) {
      FreeHeader* g = MakeFree(t, e);
      LinkAllocBlockAfter(h, g);
      InsertFree(NearestFreeBelow(h), g);
      File(g);
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

int IntrusiveHeap::HeapWalkGetInfo(HeapWalkIterator* it, unsigned int* size, void** userData, void** userHeader) {
  auto* h = reinterpret_cast<Header*>(it);
  if (size != nullptr) *size = h->mSizeWord & kSizeMask;
  if (userData != nullptr) *userData = reinterpret_cast<char*>(h) + AllocHeaderSize();
  if (userHeader != nullptr) *userHeader = reinterpret_cast<char*>(h) + AllocHeaderUserDataOfs();
  return 1;
}

// ---- Printing -------------------------------------------------------------------------------

void IntrusiveHeap::PrintNode(Header* h) {
  Yr::Debug::OutputFmt("[%.*" PRIxPTR "] P = %.*" PRIxPTR " N = %.*" PRIxPTR " S = 0x%x E = %d", kAddressDigits,
                       Addr(h), kAddressDigits, Addr(h->mPrev), kAddressDigits, Addr(h->mNext),
                       h->mSizeWord & kSizeMask, IsFree(h) ? 1 : 0);
  if (IsFree(h)) {
    auto* f = static_cast<FreeHeader*>(h);
    Yr::Debug::OutputFmt(" EP = %.*" PRIxPTR " EN = %.*" PRIxPTR " I=%x ", kAddressDigits, Addr(f->mFreePrev),
                         kAddressDigits, Addr(f->mFreeNext), f->mBinIndex);
    if (f->mBinIndex > kSmallBuckets) {
      auto* t = static_cast<TreeHeader*>(f);
      Yr::Debug::OutputFmt(" L=%.*" PRIxPTR " R=%.*" PRIxPTR " P=%.*" PRIxPTR " ", kAddressDigits, Addr(t->mLeft),
                           kAddressDigits, Addr(t->mRight), kAddressDigits, Addr(t->mParent));
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
  return ValidateIndex();
}

namespace {

// Checks a treap subtree whose addresses lie strictly between lo and hi: order, priority,
// the subtree maxima, and that every node is a long free block. The strict bounds also rule
// out cycles. Counts the nodes.
template <class Node>
bool CheckSubtree(const Node* n, uintptr_t lo, uintptr_t hi, uint32_t indexedLength, uint64_t& count) {
  if (n == nullptr) return true;
  const uintptr_t at = Addr(n);
  if (at <= lo || at >= hi || (n->mSizeWord & 0x80000000u) == 0 || Length(n) < indexedLength) return false;
  for (const Node* child : {n->mLeft, n->mRight}) {
    if (child != nullptr && (Addr(child) <= lo || Addr(child) >= hi || child->mPriority > n->mPriority)) return false;
  }
  if (!CheckSubtree(n->mLeft, lo, at, indexedLength, count)) return false;
  if (!CheckSubtree(n->mRight, at, hi, indexedLength, count)) return false;
  ++count;
  return n->mLeftMax == Max(n->mLeft) && n->mRightMax == Max(n->mRight);
}

}  // namespace

// The top block is the free block that ends the range, when there is one; the treap holds
// exactly the other long free blocks, and each run bound is at least the longest short free
// block of its run. Called once the block list and bin 0 are known sound.
int IntrusiveHeap::ValidateIndex() const {
  uint64_t nodes = 0;
  if (!CheckSubtree(mIndexRoot, Addr(mBase) - 1, Addr(RangeEnd()), kIndexedLength, nodes)) return 0;
  FreeHeader* const head = mFreeIndex.mBins[0];
  FreeHeader* const highest = head != nullptr ? head->mFreePrev : nullptr;
  if (mTop != (highest != nullptr && highest->mNext == nullptr ? highest : nullptr)) return 0;
  uint64_t indexed = 0;
  uint32_t runMax = 0;
  for (FreeHeader* f = head; f != nullptr && f != mTop; f = f->mFreeNext == head ? nullptr : f->mFreeNext) {
    if (!Indexed(f)) {
      if (Length(f) > runMax) runMax = Length(f);
      continue;
    }
    auto* node = static_cast<IndexNode*>(f);
    if (NodeAbove(Addr(f) - 1) != node || node->mRunMax < runMax) return 0;
    runMax = 0;
    ++indexed;
  }
  if (indexed != nodes || mTopRunMax < runMax) return 0;
  return 1;
}

}  // namespace Qel::Memory
