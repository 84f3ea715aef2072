// SimpleHeap: the bookkeeping of a fixed memory range that its owner hands out by moving a
// pointer, and the process-wide tree of every live heap, so that the whole memory layout
// can be printed (Dump, Memory::MemInfo, Memory::MemAssert).
//
// A heap whose start lies inside another heap's range is that heap's child; heaps that do
// not overlap are siblings, kept in ascending order of their start address. The library
// keeps only the range, the current position (top), the peak use, the name and the links;
// moving top is the owner's business (SetTop). The heap object and its name text belong to
// the caller and must stay alive from Init to Done.
//
// Threads: the tree is guarded by one recursive lock, mAccess, built at load. Dump, Done and
// the unlinking take it; Init does not, so callers that create heaps on several threads
// bracket Init with Enter and Leave.
#pragma once

#include <cstdint>

#include "system/memory/manual_static.h"
#include "system/platform/export.h"
#include "system/thread/critical_section.h"

namespace Yr::Detail {
// Load and unload steps of the heap-tree lock.
void BuildSimpleHeapLock();
void DestroySimpleHeapLock();
}  // namespace Yr::Detail

namespace Yr {

// Receives heap dump lines in engines that print them elsewhere; in this library it does
// nothing. A dump's first column is the address of the printer it used.
class YR_API HeapDumpBase {
 public:
  void Print(const char* format, void* printer, unsigned int a, unsigned int b, const char* c,
             unsigned int d, unsigned int e, unsigned int& f);
};

class YR_API SimpleHeap {
 public:
  constexpr SimpleHeap() = default;
  SimpleHeap(const SimpleHeap&) = delete;
  SimpleHeap& operator=(const SimpleHeap&) = delete;

  // Sets the range and the position only; the heap does not enter the tree.
  void InitBasic(void* p, unsigned int size);
  // Sets the range, the position and the name, and links the heap into the tree. The name
  // is not copied.
  void Init(void* p, unsigned int size, const char* name);
  // Clears the range and takes the heap out of the tree. Its children stay in the tree,
  // placed where the heap was.
  void Done();
  // The range comes from the application's persistent allocator (null when none is set).
  void InitPersistent(unsigned int size, const char* name);
  // Hands the range back to the application's persistent allocator, then Done.
  void DonePersistent();

  // Prints one line per heap of the tree, in pre-order. With toLog the lines go to the log
  // channel while logging is allowed; otherwise to the debug output.
  static void Dump(bool toLog);
  static void Enter();
  static void Leave();
  static void InitProfiling() {}

  void* Base() const { return mBase; }
  void* Top() const { return mTop; }
  unsigned int Size() const { return mSize; }
  unsigned int Peak() const { return mPeak; }
  const char* Name() const { return mName; }
  SimpleHeap* Next() const { return mNext; }
  SimpleHeap* Child() const { return mChild; }
  // Owners hand out memory by moving the position.
  void SetTop(void* top) { mTop = top; }
  static SimpleHeap* Root() { return mRoot; }

  // Indentation of the name column: the first (depth) characters are printed.
  static const char* const mIndent;

 protected:
  // The deepest heap, searching from this heap along its sibling chain, whose range holds p.
  SimpleHeap* FindParent(void* p);
  // Searches target depth-first from this heap and takes it out of its chain; true when
  // found. The target's children are left hanging from it for the caller to place.
  bool RemoveLinks(SimpleHeap* parent, SimpleHeap* prev, SimpleHeap* target);

 private:
  friend void Detail::BuildSimpleHeapLock();
  friend void Detail::DestroySimpleHeapLock();

  bool Holds(const void* p) const {
    return reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(mBase) < mSize;
  }
  bool SameRange(const SimpleHeap& other) const {
    return mBase == other.mBase && mSize == other.mSize;
  }
  // Places a heap (with its own children) into the tree by the rules of Init.
  static void Link(SimpleHeap* heap);
  static void InsertOrdered(SimpleHeap*& chain, SimpleHeap* heap);
  // Merges two chains, each in ascending order of base, into one; on equal bases the heaps
  // of `first` come first.
  static SimpleHeap* MergeChains(SimpleHeap* first, SimpleHeap* second);
  static void DumpChain(SimpleHeap* heap, int depth, const void* printer, bool toLog);

  void* mBase = nullptr;
  void* mTop = nullptr;
  uint32_t mSize = 0;
  uint32_t mPeak = 0;
  const char* mName = nullptr;
  SimpleHeap* mNext = nullptr;
  SimpleHeap* mChild = nullptr;

  static SimpleHeap* mRoot;
  static Detail::ManualStatic<CriticalSection> mAccess;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SimpleHeap) == 7 * sizeof(uint32_t), "a heap is seven 32-bit fields");
#endif

}  // namespace Yr
