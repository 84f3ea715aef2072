// The operating-system layer. Every facility the rest of the library needs from the system
// is one small function here, named for what the caller needs; this folder is the only
// place that includes system headers. All functions are safe to call before main().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "system/platform/export.h"

namespace Yr::Platform {

// ---- Debug sink ------------------------------------------------------------------------
// The process's debugger output. On Linux each call is one write(2) of the given bytes: to
// standard error by default, appended to the file named by YR_DEBUG_OUTPUT when that is
// set. On Windows each call goes to OutputDebugStringA (the attached debugger), and also
// appended, one write per call, to the YR_DEBUG_OUTPUT file when that is set.
YR_API void DebuggerOutput(const char* text);
YR_API void DebuggerOutputBytes(const char* bytes, size_t count);

// Test hook: while a capture is installed every piece goes to it instead of the sink, one
// call per piece, in order. Pass null to remove it. Returns the previous capture.
using DebugCapture = void (*)(void* context, const char* bytes, size_t count);
struct DebugCaptureSlot {
  DebugCapture function;
  void* context;
};
YR_API DebugCaptureSlot SetDebugCapture(DebugCaptureSlot slot);
namespace Detail {
// Each system's own sink, behind the capture: one piece, written as one.
void WriteDebugSink(const char* bytes, size_t count);
}  // namespace Detail

// ---- Standard streams --------------------------------------------------------------------
// Linux writes standard output through stdio, in order with the application's printf.
// Windows writes both streams straight to their handles, unbuffered; FlushStandardOutput
// flushes what the application's printf still holds.
YR_API void StandardOutput(const char* bytes, size_t count);
YR_API void FlushStandardOutput();
// Flushes standard output unless another holder has its lock (a crashed thread may); then
// does nothing. Takes no lock it would wait for.
YR_API void FlushStandardOutputIfFree();
YR_API void StandardError(const char* bytes, size_t count);

// ---- Aligned heap ------------------------------------------------------------------------
// The default allocator stands behind every function here. On Linux it is chosen when the
// library is configured (YR_DEFAULT_ALLOCATOR): "mimalloc" or "system" (posix_memalign,
// free and malloc_usable_size). mimalloc is loaded privately on the first call, so its own
// malloc never replaces the process's; when it cannot be loaded, the system allocator
// serves instead. The choice is made once: a block from one allocator never reaches the
// other. On Windows it is always the system one, the C runtime's aligned heap
// (_aligned_offset_malloc, _aligned_free); each block carries its size in the word before
// it, as that runtime has no call that tells the size of an aligned block.
//
// Alignment must be a power of two; smaller than a pointer is raised to a pointer.
// Returns null only when the system has no memory left.
YR_API void* AlignedAlloc(size_t size, size_t alignment);
// The allocator that serves: "mimalloc" or "system".
YR_API const char* DefaultAllocatorName();
// The shared mimalloc library opened, by its soname as Debian's runtime package installs it.
inline constexpr const char* kMimallocLibrary = "libmimalloc.so.2";
// As AlignedAlloc, but never returns null: exhaustion is the fatal out-of-memory stop. A
// zero-byte request that the system answers with null is retried as one byte.
YR_API void* AlignedAllocOrStopSlow(size_t size, size_t alignment);
// The allocation fast path: inline, so the default allocator is one call away from the
// library's entry points.
#if defined(_WIN32)
namespace Detail {
// The word before each block holds the size asked for.
inline constexpr size_t kAlignedSizePrefix = sizeof(size_t);
// What the runtime adds to a request at most: the alignment, its own pointer and ours.
inline constexpr size_t kAlignedOverhead = 2 * sizeof(void*) + kAlignedSizePrefix;
[[gnu::always_inline, gnu::artificial]] inline void* SystemAlignedBlock(size_t size, size_t alignment) {
  // Some runtimes do not check that sum for overflow, and would hand out a small block for a
  // request near the top of the address space.
  if (size > SIZE_MAX - kAlignedOverhead - alignment) [[unlikely]]
    return nullptr;
  // The runtime refuses an offset that is not below the size, so an empty block gets a byte.
  const size_t bytes = (size ? size : 1) + kAlignedSizePrefix;
  auto* base = static_cast<unsigned char*>(::_aligned_offset_malloc(bytes, alignment, kAlignedSizePrefix));
  if (base == nullptr) return nullptr;
  *reinterpret_cast<size_t*>(base) = size;
  return base + kAlignedSizePrefix;
}
}  // namespace Detail
[[gnu::always_inline, gnu::artificial]] inline void* AlignedAllocOrStop(size_t size, size_t alignment) {
  // Alignments the runtime would refuse (not a power of two) and small ones go the slow way.
  if (alignment >= sizeof(void*) && (alignment & (alignment - 1)) == 0) [[likely]] {
    if (void* block = Detail::SystemAlignedBlock(size, alignment)) [[likely]]
      return block;
  }
  return AlignedAllocOrStopSlow(size, alignment);
}
[[gnu::always_inline, gnu::artificial]] inline void AlignedFreeInline(void* block) {
  if (block) ::_aligned_free(static_cast<unsigned char*>(block) - Detail::kAlignedSizePrefix);
}
#elif YR_DEFAULT_ALLOCATOR_MIMALLOC
namespace Detail {
using AllocateAlignedFunction = void* (*)(size_t size, size_t alignment);
using FreeFunction = void (*)(void* block);
using UsableSizeFunction = size_t (*)(const void* block);
// Until the first call has made the choice, these point at functions that make it.
struct DefaultAllocator {
  std::atomic<AllocateAlignedFunction> allocate;
  std::atomic<FreeFunction> free;
  std::atomic<UsableSizeFunction> usableSize;
};
YR_API extern DefaultAllocator gDefaultAllocator;
// mimalloc 2.0 serves a size that is a multiple of an alignment above its natural 16 from a
// plain size class, taking such blocks to be aligned; at 256 and 512 bytes some are not.
// One byte more sends the request down its aligning path.
inline constexpr size_t kMimallocNaturalAlignment = 16;
[[gnu::always_inline, gnu::artificial]] inline size_t AlignedRequestSize(size_t size, size_t alignment) {
  return alignment > kMimallocNaturalAlignment && (size & (alignment - 1)) == 0 ? size + 1 : size;
}
}  // namespace Detail
[[gnu::always_inline, gnu::artificial]] inline void* AlignedAllocOrStop(size_t size, size_t alignment) {
  auto allocate = Detail::gDefaultAllocator.allocate.load(std::memory_order_relaxed);
  if (void* block = allocate(Detail::AlignedRequestSize(size, alignment), alignment)) [[likely]]
    return block;
  return AlignedAllocOrStopSlow(size, alignment);
}
[[gnu::always_inline, gnu::artificial]] inline void AlignedFreeInline(void* block) {
  Detail::gDefaultAllocator.free.load(std::memory_order_relaxed)(block);
}
#else
[[gnu::always_inline, gnu::artificial]] inline void* AlignedAllocOrStop(size_t size, size_t alignment) {
  void* block = nullptr;
  if (alignment >= sizeof(void*) && ::posix_memalign(&block, alignment, size) == 0 && block) [[likely]]
    return block;
  return AlignedAllocOrStopSlow(size, alignment);
}
[[gnu::always_inline, gnu::artificial]] inline void AlignedFreeInline(void* block) { ::free(block); }
#endif
YR_API void AlignedFree(void* block);
// Usable bytes of a block from AlignedAlloc; 0 for null.
YR_API size_t AlignedUsableSize(void* block);

// Writes one line naming the size and alignment to the debug sink and to standard error,
// then ends the process. Used when the default allocator is exhausted.
[[noreturn]] YR_API void FatalOutOfMemory(size_t size, size_t alignment);
// Writes the line to both sinks and ends the process; for broken invariants.
[[noreturn]] YR_API void FatalError(const char* line);

// ---- Recursive mutex ---------------------------------------------------------------------
// Opaque storage big enough for the system's recursive mutex on every build: a recursive
// pthread mutex on Linux, a critical section on Windows.
struct alignas(8) MutexStorage {
  unsigned char bytes[sizeof(void*) == 8 ? 40 : 24];
};
YR_API void MutexInit(MutexStorage& mutex);
YR_API void MutexDestroy(MutexStorage& mutex);
YR_API void MutexLock(MutexStorage& mutex);
YR_API bool MutexTryLock(MutexStorage& mutex);
YR_API void MutexUnlock(MutexStorage& mutex);

// ---- Environment -------------------------------------------------------------------------
// Value of an environment variable, or null.
YR_API const char* Environment(const char* name);

}  // namespace Yr::Platform
