#include "system/platform/platform.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Yr::Platform {
namespace {

constexpr const char* kDebugOutputVariable = "YR_DEBUG_OUTPUT";
// OutputDebugStringA takes a terminated string: longer pieces go in slices of this size.
constexpr size_t kDebuggerSlice = 512;

// The YR_DEBUG_OUTPUT file: unopened until the first write, then the handle or none.
HANDLE const kUnopened = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
std::atomic<HANDLE> gSinkFile{kUnopened};

void WriteAll(HANDLE handle, const char* bytes, size_t count) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (count > 0) {
    const DWORD piece = count > MAXDWORD ? MAXDWORD : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!::WriteFile(handle, bytes, piece, &written, nullptr) || written == 0) return;
    bytes += written;
    count -= written;
  }
}

// The file is opened once, at the first write, for appending only: every WriteFile then
// lands at the end, whoever else appends to the same file.
HANDLE SinkFile() {
  HANDLE file = gSinkFile.load(std::memory_order_acquire);
  if (file != kUnopened) return file;
  file = INVALID_HANDLE_VALUE;
  if (const char* path = std::getenv(kDebugOutputVariable); path && *path) {
    file = ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  HANDLE expected = kUnopened;
  if (!gSinkFile.compare_exchange_strong(expected, file) && file != INVALID_HANDLE_VALUE) {
    ::CloseHandle(file);
    file = expected;
  }
  return file;
}

void ToDebugger(const char* bytes, size_t count) {
  char slice[kDebuggerSlice + 1];
  while (count > 0) {
    const size_t piece = count < kDebuggerSlice ? count : kDebuggerSlice;
    std::memcpy(slice, bytes, piece);
    slice[piece] = '\0';
    ::OutputDebugStringA(slice);
    bytes += piece;
    count -= piece;
  }
}

}  // namespace

void Detail::WriteDebugSink(const char* bytes, size_t count) {
  ToDebugger(bytes, count);
  WriteAll(SinkFile(), bytes, count);
}

// Straight to the handle: nothing is buffered on the library's side, so a crash report has
// nothing of its own left to flush, and no stream lock is taken.
void StandardOutput(const char* bytes, size_t count) { WriteAll(::GetStdHandle(STD_OUTPUT_HANDLE), bytes, count); }

void FlushStandardOutput() { std::fflush(stdout); }

// The C runtime offers no way to try a stream's lock, and a crashed thread may hold it: the
// application's buffered printf output is left where it is. The library's own output is
// already at the handle.
void FlushStandardOutputIfFree() {}

void StandardError(const char* bytes, size_t count) { WriteAll(::GetStdHandle(STD_ERROR_HANDLE), bytes, count); }

void* AlignedAlloc(size_t size, size_t alignment) {
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  if ((alignment & (alignment - 1)) != 0) return nullptr;
  return Detail::SystemAlignedBlock(size, alignment);
}

void AlignedFree(void* block) { AlignedFreeInline(block); }

size_t AlignedUsableSize(void* block) {
  return block ? *reinterpret_cast<const size_t*>(static_cast<unsigned char*>(block) - Detail::kAlignedSizePrefix)
               : 0;
}

const char* DefaultAllocatorName() { return "system"; }

void FatalError(const char* line) {
  const size_t length = std::strlen(line);
  DebuggerOutputBytes(line, length);
  // The debug sink is never standard error here: it always gets its own copy.
  StandardError(line, length);
  std::abort();
}

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(MutexStorage::bytes), "MutexStorage too small");
static_assert(alignof(CRITICAL_SECTION) <= alignof(MutexStorage), "MutexStorage under-aligned");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(CRITICAL_SECTION) == 24, "a 32-bit critical section fills the storage");
#else
static_assert(sizeof(CRITICAL_SECTION) == 40, "a 64-bit critical section fills the storage");
#endif

namespace {
CRITICAL_SECTION* AsSection(MutexStorage& mutex) { return reinterpret_cast<CRITICAL_SECTION*>(mutex.bytes); }
}  // namespace

// Critical sections are recursive by nature.
void MutexInit(MutexStorage& mutex) { ::InitializeCriticalSection(AsSection(mutex)); }
void MutexDestroy(MutexStorage& mutex) { ::DeleteCriticalSection(AsSection(mutex)); }
void MutexLock(MutexStorage& mutex) { ::EnterCriticalSection(AsSection(mutex)); }
bool MutexTryLock(MutexStorage& mutex) { return ::TryEnterCriticalSection(AsSection(mutex)) != 0; }
void MutexUnlock(MutexStorage& mutex) { ::LeaveCriticalSection(AsSection(mutex)); }

// The C runtime's copy of the environment, which _putenv and setenv keep current.
const char* Environment(const char* name) { return std::getenv(name); }

}  // namespace Yr::Platform

// The library's state is built by its static constructors, which the runtime runs before
// this is called, and torn down by their destructors at unload. Nothing here needs to hear
// of threads starting and ending.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ::DisableThreadLibraryCalls(instance);
  return TRUE;
}
