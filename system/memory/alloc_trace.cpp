#include "system/memory/alloc_trace.h"

#include <cinttypes>
#include <cstddef>
#include <cstring>

#include "system/debug/debug_output.h"
#include "system/debug/stack_info.h"
#include "system/debug/symbols.h"
#include "system/memory/allocator.h"
#include "system/memory/manual_static.h"
#include "system/memory/memory_pool.h"
#include "system/memory/rb_tree.h"
#include "system/memory/static_singleton.h"
#include "system/platform/process_platform.h"
#include "system/thread/critical_section.h"

namespace Yr {

namespace Memory {
bool sAllocTraceEnabled = false;
}

namespace Detail {
namespace {

using RBTreeDetail::Node;

// ---- Red-black tree on the shared sentinel ------------------------------------------------
// Intrusive: the element embeds the Node as its first member. The caller serialises all use
// (the trace lock), which also covers the sentinel's parent link that deletion writes.
Node* Nil() { return &RBTreeDetail::nil; }

struct Tree {
  Node* root;
  size_t size;
};

// The child on one side; the fix-ups below are written once for a side and its mirror.
Node*& Child(Node* n, bool right) { return right ? n->right : n->left; }

// Turns x down towards `right`: its child on the other side takes its place.
void Rotate(Tree& tree, Node* x, bool right) {
  Node* y = Child(x, !right);
  Child(x, !right) = Child(y, right);
  if (Child(y, right) != Nil()) Child(y, right)->parent = x;
  y->parent = x->parent;
  if (x->parent == Nil()) {
    tree.root = y;
  } else {
    Child(x->parent, x == x->parent->right) = y;
  }
  Child(y, right) = x;
  x->parent = y;
}

// Links z below parent (on the given side) and restores the colours.
void InsertAt(Tree& tree, Node* parent, bool left, Node* z) {
  z->parent = parent;
  z->left = z->right = Nil();
  z->red = true;
  if (parent == Nil()) {
    tree.root = z;
  } else {
    Child(parent, !left) = z;
  }
  ++tree.size;
  while (z->parent->red) {
    Node* grand = z->parent->parent;
    bool side = z->parent != grand->left;  // the parent's side below grand
    Node* uncle = Child(grand, !side);
    if (uncle->red) {
      z->parent->red = uncle->red = false;
      grand->red = true;
      z = grand;
    } else {
      if (z == Child(z->parent, !side)) {
        z = z->parent;
        Rotate(tree, z, side);
      }
      z->parent->red = false;
      z->parent->parent->red = true;
      Rotate(tree, z->parent->parent, !side);
    }
  }
  tree.root->red = false;
}

void Transplant(Tree& tree, Node* u, Node* v) {
  if (u->parent == Nil()) {
    tree.root = v;
  } else {
    Child(u->parent, u != u->parent->left) = v;
  }
  v->parent = u->parent;
}

Node* Minimum(Node* x) {
  while (x->left != Nil()) x = x->left;
  return x;
}

void Erase(Tree& tree, Node* z) {
  Node* y = z;
  bool yWasRed = y->red;
  Node* x;
  if (z->left == Nil()) {
    x = z->right;
    Transplant(tree, z, z->right);
  } else if (z->right == Nil()) {
    x = z->left;
    Transplant(tree, z, z->left);
  } else {
    y = Minimum(z->right);
    yWasRed = y->red;
    x = y->right;
    if (y->parent == z) {
      x->parent = y;
    } else {
      Transplant(tree, y, y->right);
      y->right = z->right;
      y->right->parent = y;
    }
    Transplant(tree, z, y);
    y->left = z->left;
    y->left->parent = y;
    y->red = z->red;
  }
  --tree.size;
  if (!yWasRed) {
    while (x != tree.root && !x->red) {
      bool side = x != x->parent->left;  // x's side below its parent
      Node* w = Child(x->parent, !side);
      if (w->red) {
        w->red = false;
        x->parent->red = true;
        Rotate(tree, x->parent, side);
        w = Child(x->parent, !side);
      }
      if (!Child(w, side)->red && !Child(w, !side)->red) {
        w->red = true;
        x = x->parent;
      } else {
        if (!Child(w, !side)->red) {
          Child(w, side)->red = false;
          w->red = true;
          Rotate(tree, w, !side);
          w = Child(x->parent, !side);
        }
        w->red = x->parent->red;
        x->parent->red = false;
        Child(w, !side)->red = false;
        Rotate(tree, x->parent, side);
        x = tree.root;
      }
    }
    x->red = false;
  }
  // The sentinel may have served as x: give it back its own links.
  Nil()->parent = Nil()->left = Nil()->right = Nil();
  Nil()->red = false;
}

// ---- Records and tables -----------------------------------------------------------------
struct TraceRecord {
  Node node;
  uint32_t count;  // live blocks from this site
  int32_t size;    // -1: the record of a bad free
  void* stack[1];  // trace depth + 1 slots: the return addresses, then a zero entry
};
constexpr unsigned int kRecordHeader = offsetof(TraceRecord, stack);
constexpr int32_t kBadFreeSize = -1;
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(kRecordHeader == 24, "a trace record starts with 24 bytes on 32-bit builds");
#endif

// A live-table or freed-table node: block address to the record of its site.
struct AddressNode {
  Node node;
  uintptr_t key;
  TraceRecord* value;
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(AddressNode) == 24, "address nodes are 24 bytes on 32-bit builds");
#endif

// The frames left out of a captured stack: the trace code's own two (the capture and the
// trace operation) and the function that reported to the tracer (the hook's method), then
// the allocation path up to the last frame inside this library's code among the next
// kAllocationPathFrames (the library's entry points), so the first entry is the code that
// asked for the memory or gave it back, however many frames the entry point took to reach
// the hook (none, where it reaches the hook by a tail call).
constexpr int kOwnFrames = 3;
constexpr unsigned int kAllocationPathFrames = 8;

struct TraceState {
  CriticalSection lock;
  SimpleMemoryPool pool;
  Tree sites;
  Tree live;
  Tree freed;
  bool busy;  // the re-entrancy flag
  unsigned int depth;
  unsigned int value;
  uintptr_t libraryCodeBegin, libraryCodeEnd;
  uint32_t currentCount, currentBytes, totalCount, totalBytes, peakCount, peakBytes;
  uint32_t sizeClasses[kSizeClassCount];
  uint32_t overflow;
};

ManualStatic<TraceState> gTrace;

constexpr unsigned int kSymbolTextLimit = 1022;

int CompareRecords(const TraceRecord* a, const TraceRecord* b, unsigned int slots) {
  for (unsigned int i = 0; i < slots; ++i) {
    uintptr_t left = reinterpret_cast<uintptr_t>(a->stack[i]);
    uintptr_t right = reinterpret_cast<uintptr_t>(b->stack[i]);
    if (left != right) return left < right ? -1 : 1;
    if (left == 0) break;
  }
  if (a->size != b->size) return a->size < b->size ? -1 : 1;
  return 0;
}

AddressNode* FindAddress(Tree& tree, uintptr_t key) {
  Node* x = tree.root;
  while (x != Nil()) {
    AddressNode* node = reinterpret_cast<AddressNode*>(x);
    if (key == node->key) return node;
    x = key < node->key ? x->left : x->right;
  }
  return nullptr;
}

// Finds or inserts the node for key; null when no node can be allocated.
AddressNode* FindOrInsertAddress(Tree& tree, uintptr_t key) {
  Node* parent = Nil();
  Node* x = tree.root;
  bool left = false;
  while (x != Nil()) {
    AddressNode* node = reinterpret_cast<AddressNode*>(x);
    if (key == node->key) return node;
    parent = x;
    left = key < node->key;
    x = left ? x->left : x->right;
  }
  AddressNode* node = static_cast<AddressNode*>(Allocate(sizeof(AddressNode)));
  if (!node) return nullptr;
  node->key = key;
  node->value = nullptr;
  InsertAt(tree, parent, left, &node->node);
  return node;
}

void FreeAddressNodes(Node* x) {
  while (x != Nil()) {
    FreeAddressNodes(x->right);
    Node* left = x->left;
    Free(x);
    x = left;
  }
}

void ClearAddressTree(Tree& tree) {
  FreeAddressNodes(tree.root);
  tree.root = Nil();
  tree.size = 0;
}

unsigned int Slots(const TraceState& trace) { return trace.depth + 1; }

// The record for the current call site with this size: an equal record already in the site
// table is shared, otherwise the new one is inserted. Its count goes up by one. Null when the
// pool cannot grow.
__attribute__((noinline)) TraceRecord* RecordForThisSite(TraceState& trace, int32_t size) {
  TraceRecord* record = static_cast<TraceRecord*>(trace.pool.Alloc());
  if (!record) return nullptr;
  std::memset(record, 0, kRecordHeader);
  record->size = size;
  void* captured[kMaxTraceDepth + 1 + kAllocationPathFrames];
  StackInfo::GetStack(captured, static_cast<int>(Slots(trace) + kAllocationPathFrames), kOwnFrames);
  unsigned int first = 0;
  for (unsigned int i = 0; i < kAllocationPathFrames && captured[i]; ++i) {
    uintptr_t address = reinterpret_cast<uintptr_t>(captured[i]);
    if (address >= trace.libraryCodeBegin && address < trace.libraryCodeEnd) first = i + 1;
  }
  unsigned int slot = 0;
  for (; slot < trace.depth && captured[first + slot]; ++slot) record->stack[slot] = captured[first + slot];
  record->stack[slot] = nullptr;
  Node* parent = Nil();
  Node* x = trace.sites.root;
  bool left = false;
  while (x != Nil()) {
    TraceRecord* other = reinterpret_cast<TraceRecord*>(x);
    int order = CompareRecords(record, other, Slots(trace));
    if (order == 0) {
      trace.pool.Free(record);
      ++other->count;
      return other;
    }
    parent = x;
    left = order < 0;
    x = left ? x->left : x->right;
  }
  InsertAt(trace.sites, parent, left, &record->node);
  record->count = 1;
  return record;
}

void PrintRecord(const TraceRecord* record) {
  if (record->size == kBadFreeSize) {
    Debug::OutputFmtCR("Allocation deleted from ..");
  } else {
    Debug::OutputFmtCR("Allocation size=%d, count=%d", record->size, static_cast<int>(record->count));
  }
  constexpr unsigned int kCompactEntry = 5;  // "XXXX,"
  char compact[(kMaxTraceDepth + 1) * kCompactEntry + 1];
  size_t used = 0;
  for (unsigned int i = 0; record->stack[i]; ++i) {
    static const char kDigits[] = "0123456789ABCDEF";
    unsigned int low = static_cast<unsigned int>(reinterpret_cast<uintptr_t>(record->stack[i]) & 0xFFFFu);
    for (int shift = 12; shift >= 0; shift -= 4) compact[used++] = kDigits[(low >> shift) & 0xF];
    compact[used++] = ',';
  }
  compact[used] = '\0';
  Debug::OutputFmtCR("  %s", compact);
  const Symbols& symbols = StaticSingleton<Symbols>::Ref();
  for (unsigned int i = 0; record->stack[i]; ++i) {
    char text[Symbols::kTextCapacity];
    // The call lies just before the return address.
    symbols.GetFunction(static_cast<char*>(record->stack[i]) - 1, text, kSymbolTextLimit + 1, true);
    Debug::OutputFmtCR("  %s  (%0*" PRIXPTR ")", text, static_cast<int>(2 * sizeof(void*)),
                       reinterpret_cast<uintptr_t>(record->stack[i]));
  }
  Debug::OutputFmtCR("%s", "");
}

void PrintSites(Node* x) {
  if (x == Nil()) return;
  PrintSites(x->left);
  const TraceRecord* record = reinterpret_cast<const TraceRecord*>(x);
  if (record->count != 0) PrintRecord(record);
  PrintSites(x->right);
}

// Runs with the lock held and the re-entrancy flag set.
class Busy {
 public:
  explicit Busy(TraceState& trace) : mTrace(trace) {
    mTrace.lock.Lock();
    mEntered = !mTrace.busy;
    if (mEntered) mTrace.busy = true;
  }
  ~Busy() {
    if (mEntered) mTrace.busy = false;
    mTrace.lock.Unlock();
  }
  // False when the call came from inside tracing.
  bool Entered() const { return mEntered; }

 private:
  TraceState& mTrace;
  bool mEntered;
};

void ResetLocked(TraceState& trace) {
  ClearAddressTree(trace.live);
  ClearAddressTree(trace.freed);
  trace.sites.root = Nil();
  trace.sites.size = 0;
  trace.pool.Reset();
  trace.currentCount = trace.currentBytes = trace.totalCount = trace.totalBytes = 0;
  trace.peakCount = trace.peakBytes = 0;
  std::memset(trace.sizeClasses, 0, sizeof trace.sizeClasses);
  trace.overflow = 0;
}

// A totals line: its label, then a count and a byte count.
constexpr char kTotalsLine[] = "%s .. %8u - %8u bytes";

void LogLocked(TraceState& trace) {
  PrintSites(trace.sites.root);
  Debug::OutputFmtCR("%s:", "Totals");
  Debug::OutputFmtCR(kTotalsLine, "  Current", trace.currentCount, trace.currentBytes);
  Debug::OutputFmtCR(kTotalsLine, "     Peek", trace.peakCount, trace.peakBytes);
  Debug::OutputFmtCR(kTotalsLine, "    Total", trace.totalCount, trace.totalBytes);
  for (unsigned int c = 0; c < kSizeClassCount; ++c)
    if (trace.sizeClasses[c] != 0) Debug::OutputFmtCR("     Size .. %8u - (%u)", trace.sizeClasses[c], kSizeClassUnit << c);
  if (trace.overflow != 0) Debug::OutputFmtCR("     Size .. %8u - (>=%u)", trace.overflow, kLargestClassSize);
}

}  // namespace

unsigned int AllocTraceSizeClass(unsigned int size) {
  unsigned int units = size / kSizeClassUnit + (size % kSizeClassUnit != 0 ? 1u : 0u);
  unsigned int c = 0;
  while ((1u << c) < units && c < kSizeClassCount) ++c;
  return c;
}

unsigned int TraceRecordSize(unsigned int depth) {
  unsigned int size = kRecordHeader + static_cast<unsigned int>(sizeof(void*)) * (depth + 1);
  return size < sizeof(void*) ? static_cast<unsigned int>(sizeof(void*)) : size;
}

AllocTraceState GetAllocTraceState() {
  TraceState& trace = gTrace.Get();
  CriticalSection::Guard guard(trace.lock);
  AllocTraceState state = {};
  state.currentCount = trace.currentCount;
  state.currentBytes = trace.currentBytes;
  state.totalCount = trace.totalCount;
  state.totalBytes = trace.totalBytes;
  state.peakCount = trace.peakCount;
  state.peakBytes = trace.peakBytes;
  std::memcpy(state.sizeClasses, trace.sizeClasses, sizeof state.sizeClasses);
  state.overflow = trace.overflow;
  state.depth = trace.depth;
  state.value = trace.value;
  state.sites = trace.sites.size;
  state.live = trace.live.size;
  state.freed = trace.freed.size;
  return state;
}

void BuildAllocTrace() {
  TraceState& trace = gTrace.Build();
  trace.sites = trace.live = trace.freed = Tree{Nil(), 0};
  trace.busy = false;
  trace.depth = trace.value = 0;
  trace.libraryCodeBegin = trace.libraryCodeEnd = 0;
  Platform::CodeMappingOf(reinterpret_cast<const void*>(&RecordForThisSite), trace.libraryCodeBegin,
                          trace.libraryCodeEnd);
  // The symbol handler is built here, first of all, so it is released last at unload.
  StaticSingleton<Symbols>::Ref();
  Memory::SetAllocTrace(kDefaultTraceDepth, 0);
}

void DestroyAllocTrace() {
  if (!gTrace.Built()) return;
  TraceState& trace = gTrace.Get();
  if (Memory::sAllocTraceEnabled) Memory::AllocTraceLog(nullptr);
  {
    Busy busy(trace);
    ResetLocked(trace);
    Memory::sAllocTraceEnabled = false;
  }
  gTrace.Destroy();
}

}  // namespace Detail

namespace Memory {

using Detail::gTrace;

void AllocTrace(void* p, unsigned int size) {
  if (size == 0 || !sAllocTraceEnabled || !gTrace.Built()) return;
  Detail::TraceState& trace = gTrace.Get();
  Detail::Busy busy(trace);
  if (!busy.Entered()) return;
  ++trace.currentCount;
  ++trace.totalCount;
  if (trace.currentCount > trace.peakCount) trace.peakCount = trace.currentCount;
  trace.currentBytes += size;
  trace.totalBytes += size;
  if (trace.currentBytes > trace.peakBytes) trace.peakBytes = trace.currentBytes;
  unsigned int sizeClass = Detail::AllocTraceSizeClass(size);
  if (sizeClass < Detail::kSizeClassCount) {
    ++trace.sizeClasses[sizeClass];
  } else {
    ++trace.overflow;
  }
  Detail::TraceRecord* record = Detail::RecordForThisSite(trace, static_cast<int32_t>(size));
  if (!record) return;
  if (Detail::AddressNode* node = Detail::FindOrInsertAddress(trace.live, reinterpret_cast<uintptr_t>(p)))
    node->value = record;
}

void AllocTrace(void* p, unsigned int size, unsigned int, unsigned int, const char*, int, const char*, unsigned int,
                unsigned int) {
  AllocTrace(p, size);
}

void FreeTrace(void* p, const char*, unsigned int, unsigned int) {
  if (!p || !sAllocTraceEnabled || !gTrace.Built()) return;
  Detail::TraceState& trace = gTrace.Get();
  Detail::Busy busy(trace);
  if (!busy.Entered()) return;
  uintptr_t key = reinterpret_cast<uintptr_t>(p);
  if (Detail::AddressNode* live = Detail::FindAddress(trace.live, key)) {
    Detail::TraceRecord* allocated = live->value;
    --allocated->count;
    --trace.currentCount;
    trace.currentBytes -= static_cast<uint32_t>(allocated->size);
    int32_t size = allocated->size;
    Detail::Erase(trace.live, &live->node);
    Detail::Free(live);
    Detail::TraceRecord* freeing = Detail::RecordForThisSite(trace, size);
    if (!freeing) return;
    freeing->count = 0;  // freeing sites hold no live blocks
    if (Detail::AddressNode* freed = Detail::FindOrInsertAddress(trace.freed, key)) freed->value = freeing;
    return;
  }
  // A bad free: a second free, or a block that was never traced.
  Detail::AddressNode* earlier = Detail::FindAddress(trace.freed, key);
  if (earlier)
    Debug::OutputFmtCR("Allocation already freed!: %0*" PRIXPTR, static_cast<int>(2 * sizeof(void*)), key);
  if (Detail::TraceRecord* here = Detail::RecordForThisSite(trace, Detail::kBadFreeSize)) Detail::PrintRecord(here);
  Debug::OutputFmtCR("Last called here:");
  if (earlier && earlier->value) Detail::PrintRecord(earlier->value);
  Platform::DebugBreakIfAttached();
  sAllocTraceEnabled = false;
}

unsigned int SetAllocTrace(unsigned int depth, unsigned int value) {
  Detail::TraceState& trace = gTrace.Get();
  Detail::Busy busy(trace);
  Detail::ResetLocked(trace);
  if (depth > Detail::kMaxTraceDepth) depth = Detail::kMaxTraceDepth;
  unsigned int previous = trace.depth;
  trace.value = value;
  trace.depth = depth;
  sAllocTraceEnabled = false;
  if (depth != 0) {
    trace.pool.Init(Detail::TraceRecordSize(depth), Detail::kTraceRecordsPerChunk,
                    static_cast<unsigned int>(alignof(Detail::TraceRecord)), false);
    sAllocTraceEnabled = true;
  }
  return previous;
}

void AllocTraceReset() {
  Detail::TraceState& trace = gTrace.Get();
  Detail::Busy busy(trace);
  Detail::ResetLocked(trace);
}

void AllocTraceLog(const char*) {
  Detail::TraceState& trace = gTrace.Get();
  Detail::Busy busy(trace);
  if (!sAllocTraceEnabled) return;
  Detail::LogLocked(trace);
}

bool AllocTraceEnable() {
  Detail::TraceState& trace = gTrace.Get();
  CriticalSection::Guard guard(trace.lock);
  bool previous = sAllocTraceEnabled;
  if (trace.depth != 0) {
    sAllocTraceEnabled = true;
  } else {
    Debug::OutputFmtCR("AllocTraceEnable: AllocTrace not initialized");
  }
  return previous;
}

void AllocTraceDisable() {
  Detail::TraceState& trace = gTrace.Get();
  CriticalSection::Guard guard(trace.lock);
  sAllocTraceEnabled = false;
}

}  // namespace Memory
}  // namespace Yr
