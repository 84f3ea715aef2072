#include "system/memory/simple_heap.h"

#include <cinttypes>

#include "system/debug/bug_report.h"
#include "system/debug/debug_output.h"
#include "system/memory/allocator.h"

namespace Yr {

SimpleHeap* SimpleHeap::mRoot = nullptr;
Detail::ManualStatic<CriticalSection> SimpleHeap::mAccess;
const char* const SimpleHeap::mIndent = ">>>>|>>>>|>>>>|>";

namespace {

constexpr int kAddressDigits = 2 * sizeof(void*);

uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Heap dumps reach the log channel only while bug reports allow logging (not by default).
// The log channel of this library formats its lines and discards them.
bool LogChannelOpen() { return !BugReport::sDisableLogging; }

}  // namespace

void HeapDumpBase::Print(const char*, void*, unsigned int, unsigned int, const char*, unsigned int,
                         unsigned int, unsigned int&) {}

// ---- Tree ---------------------------------------------------------------------------------

void SimpleHeap::InitBasic(void* p, unsigned int size) {
  mBase = p;
  mTop = p;
  mSize = size;
}

void SimpleHeap::Init(void* p, unsigned int size, const char* name) {
  mName = name;
  InitBasic(p, size);
  Link(this);
}

void SimpleHeap::InsertOrdered(SimpleHeap*& chain, SimpleHeap* heap) {
  // Before the first heap whose base is greater or equal: of two equal bases the newer
  // comes first.
  SimpleHeap** link = &chain;
  while (*link != nullptr && Address((*link)->mBase) < Address(heap->mBase)) link = &(*link)->mNext;
  heap->mNext = *link;
  *link = heap;
}

void SimpleHeap::Link(SimpleHeap* heap) {
  if (mRoot == nullptr) {
    mRoot = heap;
    return;
  }
  if (SimpleHeap* parent = mRoot->FindParent(heap->mBase)) {
    InsertOrdered(parent->mChild, heap);
    return;
  }
  if (Address(mRoot->mBase) < Address(heap->mBase)) {
    InsertOrdered(mRoot->mNext, heap);
    return;
  }
  heap->mNext = mRoot;
  mRoot = heap;
}

SimpleHeap* SimpleHeap::FindParent(void* p) {
  for (SimpleHeap* c = this; c != nullptr; c = c->mNext) {
    if (!c->Holds(p)) continue;
    if (c->mChild != nullptr) {
      // A child with exactly its parent's range is never chosen: a new heap there becomes
      // that child's sibling.
      SimpleHeap* d = c->mChild->FindParent(p);
      if (d != nullptr && !d->SameRange(*c)) return d;
    }
    return c;
  }
  return nullptr;
}

bool SimpleHeap::RemoveLinks(SimpleHeap* parent, SimpleHeap* prev, SimpleHeap* target) {
  Enter();
  bool found = false;
  for (SimpleHeap* x = this; x != nullptr && !found; prev = x, parent = nullptr, x = x->mNext) {
    if (x == target) {
      // The target's children are live heaps: they take its place in the chain, in order
      // with the siblings that followed it.
      SimpleHeap* rest = MergeChains(x->mChild, x->mNext);
      if (parent != nullptr) parent->mChild = rest;
      if (prev != nullptr) prev->mNext = rest;
      found = true;
    } else if (x->mChild != nullptr) {
      found = x->mChild->RemoveLinks(x, nullptr, target);
    }
  }
  Leave();
  return found;
}

void SimpleHeap::Done() {
  mBase = nullptr;
  mTop = nullptr;
  mSize = 0;
  Enter();
  if (mRoot == this) {
    mRoot = MergeChains(mChild, mNext);
  } else if (mRoot != nullptr) {
    mRoot->RemoveLinks(nullptr, nullptr, this);
  }
  Leave();
  mNext = nullptr;
  mChild = nullptr;
}

void SimpleHeap::InitPersistent(unsigned int size, const char* name) {
  Init(PersistentAllocator::Alloc(size), size, name);
}

void SimpleHeap::DonePersistent() {
  if (PersistentAllocator::sFreeFunc != nullptr) PersistentAllocator::Free(mBase);
  Done();
}

// ---- Lock ---------------------------------------------------------------------------------

// Before the lock is built at load and after it is deleted at unload only one thread runs
// the library, so there is nothing to exclude.
void SimpleHeap::Enter() {
  if (mAccess.Built()) mAccess->Lock();
}

void SimpleHeap::Leave() {
  if (mAccess.Built()) mAccess->Unlock();
}

// ---- Dump ---------------------------------------------------------------------------------

void SimpleHeap::DumpChain(SimpleHeap* h, int depth, const void* printer, bool toLog) {
  for (; h != nullptr; h = h->mNext) {
    // Dumping is what records the peak.
    uint32_t used = static_cast<uint32_t>(Address(h->mTop) - Address(h->mBase));
    if (used > h->mPeak) h->mPeak = used;

    if (toLog && LogChannelOpen()) {
      // The log channel of this library discards its lines.
    } else {
      // The line feed is a piece of its own.
      Debug::OutputFmt(" %0*" PRIXPTR ": %0*" PRIXPTR "-%0*" PRIXPTR " %10u %9u %9u %.*s %s", kAddressDigits,
                       Address(printer), kAddressDigits, Address(h->mBase), kAddressDigits,
                       Address(h->mBase) + h->mSize, h->mSize, h->mPeak, used, depth, mIndent,
                       h->mName != nullptr ? h->mName : "");
      Debug::Output("\n");
    }
    if (h->mChild != nullptr) DumpChain(h->mChild, depth + 1, printer, toLog);
  }
}

void SimpleHeap::Dump(bool toLog) {
  HeapDumpBase printer;
  Enter();
  DumpChain(mRoot, 0, &printer, toLog);
  Leave();
}

SimpleHeap* SimpleHeap::MergeChains(SimpleHeap* first, SimpleHeap* second) {
  SimpleHeap* head = nullptr;
  SimpleHeap** link = &head;
  while (first != nullptr && second != nullptr) {
    SimpleHeap*& lower = Address(second->mBase) < Address(first->mBase) ? second : first;
    *link = lower;
    link = &lower->mNext;
    lower = lower->mNext;
  }
  *link = first != nullptr ? first : second;
  return head;
}

}  // namespace Yr

namespace Yr::Detail {

void BuildSimpleHeapLock() { SimpleHeap::mAccess.Build(); }
void DestroySimpleHeapLock() { SimpleHeap::mAccess.Destroy(); }

}  // namespace Yr::Detail
