// yr_crash_helper: a process that crashes on purpose so the crash handler can be checked
// from outside. Usage: yr_crash_helper <case> <report directory> [dump kind]
// Cases: null, divide, illegal, overflow, threadoverflow, abort, double, assert, minidump, thread, both.
// Each faulting function is a small named function of its own, so a test can look for its
// name in the report and in a debugger's backtrace.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

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
  for (;;) pause();
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

}  // namespace

int main(int argc, char** argv) {
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
