// Allocation tracing and memory statistics.
//
// The application's allocation hook reports every allocation (AllocTrace) and every free
// (FreeTrace) to the library; the library never calls them itself. For each live block it
// keeps the call stack and size of the allocation, shared between blocks of the same call
// site and size; it keeps running statistics (current, peak and total counts and bytes) and
// a histogram of size classes; AllocTraceLog prints every site that still holds live blocks
// with symbolised stacks. A free of a block that was already freed (or never traced) is
// reported with both stacks, stops in the debugger when one is attached, and switches
// tracing off.
//
// Tracing is set up and switched on when the library loads, with a trace depth of 32. Its
// report is written at unload while tracing is on. All lines go to the debug output.
//
// Threads: every operation takes the trace lock (a recursive critical section); a trace
// call made from inside tracing (the trace tables allocate through the entry points, and so
// through the hook) returns at once. The enabled flag is read without the lock.
//
// Recorded stacks leave out the trace's own frames and one frame for the hook method that
// called AllocTrace or FreeTrace: keep that method out of line ([[gnu::noinline]]), or an
// optimiser that sees the hook's type may inline it into the allocating code.
//
// DebugMemStatsTracker exists for callers; its operations do nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

namespace Memory {

// Whether AllocTrace and FreeTrace record anything.
YR_API extern bool sAllocTraceEnabled;

YR_API void AllocTrace(void* p, unsigned int size);
// The further arguments are ignored.
YR_API void AllocTrace(void* p, unsigned int size, unsigned int, unsigned int, const char*, int, const char*,
                       unsigned int, unsigned int);
// Only p is used.
YR_API void FreeTrace(void* p, const char* file = nullptr, unsigned int line = 0, unsigned int flags = 0);
// Resets everything, sets the trace depth (at most 126; 0 switches tracing off and leaves
// it unset) and switches tracing on for a non-zero depth. value is stored and not used.
// Returns the previous depth.
YR_API unsigned int SetAllocTrace(unsigned int depth, unsigned int value);
// Clears every record, table, statistic and the histogram; tracing stays on or off.
YR_API void AllocTraceReset();
// Prints every site with live blocks, the totals and the size histogram; the title is
// ignored. Only while tracing is on.
YR_API void AllocTraceLog(const char* title);
// Switches tracing on when a depth is set (otherwise reports that it is not initialised);
// returns the previous state.
YR_API bool AllocTraceEnable();
YR_API void AllocTraceDisable();

}  // namespace Memory

class YR_API DebugMemStatsTracker {
 public:
  explicit DebugMemStatsTracker(unsigned int) {}
  void CheckPoint(const char*) {}
  void CheckPointEnd() {}
  void Init() {}
  void Print() {}
};

namespace Detail {

constexpr unsigned int kMaxTraceDepth = 126;
constexpr unsigned int kDefaultTraceDepth = 32;
constexpr unsigned int kTraceRecordsPerChunk = 1023;
constexpr unsigned int kSizeClassCount = 8;
constexpr unsigned int kSizeClassUnit = 16;
constexpr unsigned int kLargestClassSize = kSizeClassUnit << (kSizeClassCount - 1);  // 2048

// 0-7 for sizes up to 16, 32, ..., 2048 bytes; kSizeClassCount for larger ones.
YR_API unsigned int AllocTraceSizeClass(unsigned int size);
// Bytes of one trace record for a depth: the node and its two counters, then depth + 1
// stack slots.
YR_API unsigned int TraceRecordSize(unsigned int depth);

// A snapshot of the trace state, for tests and tools.
struct AllocTraceState {
  uint32_t currentCount, currentBytes;
  uint32_t totalCount, totalBytes;
  uint32_t peakCount, peakBytes;
  uint32_t sizeClasses[kSizeClassCount];
  uint32_t overflow;
  unsigned int depth;
  unsigned int value;
  size_t sites, live, freed;
};
YR_API AllocTraceState GetAllocTraceState();

// Load step 1 and its teardown.
void BuildAllocTrace();
void DestroyAllocTrace();

}  // namespace Detail
}  // namespace Yr
