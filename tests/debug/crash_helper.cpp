// yr_crash_helper: a process that crashes on purpose so the crash handler can be checked
// from outside. Usage: yr_crash_helper <case> <report directory> [dump kind]
// Cases: null, divide, illegal, overflow, threadoverflow, abort, double, assert, minidump, thread, both,
// malloc (inside the C library's allocator, other threads allocating), descriptors (at the
// descriptor limit); the last two on Linux only.
// On Windows, with YR_CRASH_HELPER_STAYS set and no case named, the helper waits two minutes
// (a symbol helper that never answers).
// Each faulting function is a small named function of its own, so a test can look for its
// name in the report and in a debugger's backtrace.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "system/debug/bug_report.h"
#include "system/debug/crash_handler.h"
#include "system/thread/thread.h"

namespace {

// The faults must reach the crash handler: the sanitizers' own checks stay out of the way.
#define YR_REAL_FAULT __attribute__((noinline, no_sanitize("undefined", "address")))

volatile int gZero = 0;
volatile int* volatile gNull = nullptr;

YR_REAL_FAULT void CrashNullWrite() {
  *gNull = 42;
}

YR_REAL_FAULT int CrashDivide(int numerator) {
  return numerator / gZero;
}

__attribute__((noinline)) void CrashIllegal() {
  __builtin_trap();
}

__attribute__((noinline)) int CrashOverflow(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (gZero == 0) return CrashOverflow(depth + 1) + pad[0];
  return pad[0];
}

// A thread started by the library overflows its stack: its own signal stack carries the report.
__attribute__((noinline)) void CrashOverflowOnLibraryThread() {
  Yr::Thread worker("overflowing worker");
  worker.Start([](void*) -> unsigned int { return static_cast<unsigned int>(CrashOverflow(0)); }, nullptr, false, -1);
  worker.Stop();
}

__attribute__((noinline)) void CrashAbort() {
  std::abort();
}

// A client filter of its own that hands the fault on with a text that cannot be read: the
// report faults while it is being written.
#ifdef _WIN32
// A client takes faults first through a vectored handler: the C runtime's own frame handler
// hands faults in the program's code to the filter that was there before it, the library's.
LONG WINAPI ClientFilter(EXCEPTION_POINTERS* system) {
  if (system->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
  Yr::ExceptionPointers pointers = {system->ExceptionRecord, system->ContextRecord};
  Yr::BugReport::ExceptionHandler(0xC0000005u, &pointers, reinterpret_cast<const char*>(16));
  return EXCEPTION_CONTINUE_SEARCH;
}

__attribute__((noinline)) void CrashTwice() {
  AddVectoredExceptionHandler(1, &ClientFilter);
  CrashNullWrite();
}
#else
void ClientFilter(int, siginfo_t* info, void* context) {
  Yr::ExceptionPointers pointers = {info, context};
  Yr::BugReport::ExceptionHandler(0xC0000005u, &pointers, reinterpret_cast<const char*>(16));
}

__attribute__((noinline)) void CrashTwice() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = &ClientFilter;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigaction(SIGSEGV, &action, nullptr);
  CrashNullWrite();
}
#endif

// The empty asm statements keep the calls from becoming tail calls in optimised builds, so
// each named function keeps its frame.
#define YR_KEEP_FRAME() asm volatile("")

__attribute__((noinline)) void AssertHere() {
  Yr::BugReport::AssertReportFmt("assertion %s failed at %d", "x > 0", 7);
  YR_KEEP_FRAME();
}

__attribute__((noinline)) void DumpHere() {
  Yr::PCBugReport::MiniDump();
  YR_KEEP_FRAME();
}

std::atomic<bool> gWorkerReady{false};

__attribute__((noinline)) void WorkerWaits() {
  gWorkerReady = true;
#ifdef _WIN32
  for (;;) Sleep(INFINITE);
#else
  for (;;) pause();
#endif
}

__attribute__((noinline)) void CrashWithWorker() {
  std::thread worker(&WorkerWaits);
  while (!gWorkerReady) std::this_thread::yield();
  CrashNullWrite();
  worker.join();
}

std::atomic<int> gReady{0};

__attribute__((noinline)) void CrashTogether() {
  ++gReady;
  while (gReady < 2) {
  }
  CrashNullWrite();
}

__attribute__((noinline)) void CrashOnTwoThreads() {
  std::thread other(&CrashTogether);
  CrashTogether();
  other.join();
}

#ifndef _WIN32
// Threads that keep allocating while the main thread corrupts its arena: the crash report
// must not need the allocator, whoever holds which of its locks.
std::atomic<bool> gAllocating{false};
std::atomic<int> gAllocators{0};

void KeepAllocating() {
  ++gAllocators;
  std::vector<void*> blocks(64);
  for (unsigned int round = 0; gAllocating; ++round) {
    void*& slot = blocks[round % blocks.size()];
    std::free(slot);
    slot = std::malloc(16 + round % 2048);
  }
}

// A freed 0x500-byte block lies in the allocator's unsorted list; its links are overwritten
// to point at itself, and the next large request finds the list broken and aborts while it
// holds the arena's lock.
YR_REAL_FAULT void CorruptFreeListAndAllocate() {
  void* block = std::malloc(0x500);
  // Keeps the block from merging into the top chunk; too large for the per-thread cache,
  // so it comes from the same place the block came from.
  void* guard = std::malloc(0x500);
  // The address goes through a volatile: writing to freed memory is the point here.
  volatile uintptr_t address = reinterpret_cast<uintptr_t>(block);
  std::free(block);
  void* volatile* links = reinterpret_cast<void* volatile*>(address);
  links[0] = reinterpret_cast<void*>(address);
  links[1] = reinterpret_cast<void*>(address);
  links[2] = nullptr;
  void* volatile result = std::malloc(0x600);
  std::free(result);
  std::free(guard);
}

__attribute__((noinline)) void CrashInsideMalloc() {
  constexpr int kAllocators = 3;
  gAllocating = true;
  std::vector<std::thread> threads;
  for (int i = 0; i < kAllocators; ++i) threads.emplace_back(&KeepAllocating);
  while (gAllocators < kAllocators) std::this_thread::yield();
  CorruptFreeListAndAllocate();
  YR_KEEP_FRAME();
  // Reached only when the allocator did not notice (a sanitizer's allocator).
  gAllocating = false;
  for (std::thread& thread : threads) thread.join();
}

// Every descriptor the process may have is taken, then it faults.
__attribute__((noinline)) void CrashWithoutDescriptors() {
  constexpr rlim_t kLimit = 64;
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = kLimit;
  setrlimit(RLIMIT_NOFILE, &limit);
  while (open("/dev/null", O_RDONLY) >= 0) {
  }
  if (errno != EMFILE) std::exit(3);
  CrashNullWrite();
  YR_KEEP_FRAME();
}

#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  constexpr const char* kCases[] = {"null", "divide", "illegal", "overflow", "threadoverflow", "abort", "double",
                                    "assert", "minidump", "thread", "both"};
  bool named = false;
  for (const char* name : kCases) named = named || (argc > 1 && !std::strcmp(argv[1], name));
  if (!named && std::getenv("YR_CRASH_HELPER_STAYS")) {
    Sleep(120 * 1000);
    return 2;
  }
#endif
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <case> <report directory> [dump kind]\n", argv[0]);
    return 2;
  }
  const char* which = argv[1];
  Yr::BugReport::SetBasePath(argv[2]);
  Yr::BugReport::SetCrashDumpFormat(argc > 3 ? std::atoi(argv[3]) : 1);
  int result = 0;
  if (!std::strcmp(which, "null")) CrashNullWrite();
  if (!std::strcmp(which, "divide")) result = CrashDivide(argc);
  if (!std::strcmp(which, "illegal")) CrashIllegal();
  if (!std::strcmp(which, "overflow")) result = CrashOverflow(0);
  if (!std::strcmp(which, "threadoverflow")) CrashOverflowOnLibraryThread();
  if (!std::strcmp(which, "abort")) CrashAbort();
  if (!std::strcmp(which, "double")) CrashTwice();
  if (!std::strcmp(which, "thread")) CrashWithWorker();
  if (!std::strcmp(which, "both")) CrashOnTwoThreads();
#ifndef _WIN32
  if (!std::strcmp(which, "malloc")) CrashInsideMalloc();
  if (!std::strcmp(which, "descriptors")) CrashWithoutDescriptors();
#endif
  YR_KEEP_FRAME();
  if (result != 0) return result;
  if (!std::strcmp(which, "assert")) {
    AssertHere();
    return 0;
  }
  if (!std::strcmp(which, "minidump")) {
    DumpHere();
    return 0;
  }
  std::fprintf(stderr, "unknown case %s\n", which);
  return 2;
}
