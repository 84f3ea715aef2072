#include "system/platform/thread_platform.h"
#include "system/platform/platform.h"
#include "system/platform/signal_platform.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>

namespace Yr::Platform {

namespace {

constexpr int kLowestLevel = -15;
constexpr int kHighestLevel = 15;
constexpr size_t kNameCharacters = 15;
// What a debugger attached to the process takes as "name this thread" (the way threads were
// named before the system kept names), with its record's type.
constexpr DWORD kNameThreadException = 0x406D1388;
constexpr DWORD kNameThreadRecordType = 0x1000;

// Values of ThreadRecord::state.
constexpr uint32_t kRunning = 0;  // running, or waiting at the start gate
constexpr uint32_t kEnded = 1;    // entry returned

// The system's priorities, lowest first; each is also the level it stands for.
constexpr int kSystemPriorities[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                     THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                     THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                     THREAD_PRIORITY_TIME_CRITICAL};
static_assert(THREAD_PRIORITY_IDLE == kLowestLevel && THREAD_PRIORITY_TIME_CRITICAL == kHighestLevel,
              "the extreme levels are the extreme priorities");

}  // namespace

struct ThreadRecord {
  HANDLE handle = nullptr;
  DWORD id = 0;
  ThreadEntry entry = nullptr;
  void* argument = nullptr;
  ThreadFinished finished = nullptr;
  void* context = nullptr;
  std::atomic<uint32_t> state{kRunning};
  std::atomic<int> level{0};  // last level read or set
  uint32_t exitCode = 0;      // written before state becomes kEnded
  // Guarded by control, which only controllers take, never the thread itself.
  uint32_t suspendCount = 1;  // the start gate is the creation's own suspension
  bool started = false;
  // A SuspendThread of ours is in force (or, for a thread stopping itself, about to be).
  bool systemSuspended = false;
  bool waited = false;
  MutexStorage control;
};

namespace {

DWORD WINAPI ThreadMain(void* argument) {
  auto* record = static_cast<ThreadRecord*>(argument);
  // A fault on this thread, stack overflow included, still has room to be reported.
  void* faultStack = AcquireThreadSignalStack();
  const unsigned int code = record->entry(record->argument);
  ReleaseThreadSignalStack(faultStack);
  record->exitCode = code;
  record->state.store(kEnded);
  if (record->finished) record->finished(record->context);  // may destroy the record
  return code;
}

struct ControlGuard {
  explicit ControlGuard(ThreadRecord* record) : mRecord(record) { MutexLock(record->control); }
  ~ControlGuard() { Unlock(); }
  void Unlock() {
    if (mRecord) MutexUnlock(mRecord->control);
    mRecord = nullptr;
  }
  ThreadRecord* mRecord;
};

HANDLE HandleOf(ThreadRecord* record) { return record ? record->handle : ::GetCurrentThread(); }

bool IsCallingThread(const ThreadRecord* record) { return record->id == ::GetCurrentThreadId(); }

int ClampLevel(int level) { return std::clamp(level, kLowestLevel, kHighestLevel); }

// The system priority a level asks for. Only the extremes reach idle and time critical,
// which can starve other threads; levels between take the nearest ordinary priority on
// their side of normal.
int SystemPriorityFor(int level) {
  level = ClampLevel(level);
  if (level == kLowestLevel) return THREAD_PRIORITY_IDLE;
  if (level == kHighestLevel) return THREAD_PRIORITY_TIME_CRITICAL;
  return std::clamp(level, static_cast<int>(THREAD_PRIORITY_LOWEST), static_cast<int>(THREAD_PRIORITY_HIGHEST));
}

// Names the thread for a debugger that is attached now: it hears of the name through the
// naming exception, which a handler of ours then dismisses when the debugger passes it on.
LONG CALLBACK DismissNameException(EXCEPTION_POINTERS* pointers) {
  return pointers->ExceptionRecord->ExceptionCode == kNameThreadException ? EXCEPTION_CONTINUE_EXECUTION
                                                                           : EXCEPTION_CONTINUE_SEARCH;
}

void TellDebugger(DWORD id, const char* name) {
  if (!::IsDebuggerPresent()) return;
  struct {
    DWORD type;
    const char* name;
    DWORD threadId;
    DWORD flags;
  } info = {kNameThreadRecordType, name, id, 0};
  void* handler = ::AddVectoredExceptionHandler(1, &DismissNameException);
  if (handler == nullptr) return;
  ::RaiseException(kNameThreadException, 0, sizeof info / sizeof(ULONG_PTR), reinterpret_cast<ULONG_PTR*>(&info));
  ::RemoveVectoredExceptionHandler(handler);
}

// SetThreadDescription came with Windows 10; older systems lack it, so it is looked up.
using SetDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetDescriptionFunction SetDescription() {
  static const SetDescriptionFunction function = [] {
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel ? ::GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    return reinterpret_cast<SetDescriptionFunction>(reinterpret_cast<void*>(found));
  }();
  return function;
}

void NameThread(HANDLE handle, DWORD id, const char* name) {
  char shortName[kNameCharacters + 1];
  std::strncpy(shortName, name, kNameCharacters);
  shortName[kNameCharacters] = '\0';
  if (SetDescriptionFunction set = SetDescription()) {
    wchar_t wide[kNameCharacters + 1];
    if (::MultiByteToWideChar(CP_ACP, 0, shortName, -1, wide, static_cast<int>(kNameCharacters + 1)) > 0) {
      set(handle, wide);
    }
  }
  TellDebugger(id, shortName);
}

}  // namespace

size_t ThreadRecordSize() { return sizeof(ThreadRecord); }

ThreadRecord* ThreadCreate(void* storage, ThreadEntry entry, void* argument, ThreadFinished finished,
                           void* context) {
  auto* record = new (storage) ThreadRecord;
  record->entry = entry;
  record->argument = argument;
  record->finished = finished;
  record->context = context;
  MutexInit(record->control);
  // Created suspended: the thread has its id at once and runs nothing until the first
  // Resume, which is its start gate.
  record->handle = ::CreateThread(nullptr, 0, &ThreadMain, record, CREATE_SUSPENDED, &record->id);
  if (record->handle == nullptr) {
    MutexDestroy(record->control);
    record->~ThreadRecord();
    return nullptr;
  }
  record->level.store(ThreadGetPriority(record));
  return record;
}

void ThreadRecordDestroy(ThreadRecord* record) {
  if (record == nullptr) return;
  // Closing the handle detaches a thread that was never waited for: it runs on.
  ::CloseHandle(record->handle);
  MutexDestroy(record->control);
  record->~ThreadRecord();
}

uint32_t ThreadId(const ThreadRecord* record) { return record ? record->id : 0; }

uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

void ThreadSetName(ThreadRecord* record, const char* name) {
  if (name == nullptr) return;
  if (record == nullptr) {
    NameThread(::GetCurrentThread(), ::GetCurrentThreadId(), name);
    return;
  }
  ControlGuard guard(record);
  NameThread(record->handle, record->id, name);
}

bool ThreadSetProcessor(ThreadRecord* record, unsigned int processor) {
  if (processor >= sizeof(DWORD_PTR) * CHAR_BIT) return false;
  if (record && record->state.load() == kEnded) return false;
  const DWORD_PTR mask = DWORD_PTR{1} << processor;
  DWORD_PTR processMask = 0, systemMask = 0;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &processMask, &systemMask) || (processMask & mask) == 0) {
    return false;
  }
  HANDLE handle = HandleOf(record);
  if (::SetThreadAffinityMask(handle, mask) == 0) return false;
  // Bound to one processor, that one is also where the scheduler should prefer it.
  ::SetThreadIdealProcessor(handle, processor);
  return true;
}

void ThreadSetPriority(ThreadRecord* record, int level) {
  level = ClampLevel(level);
  if (record && record->state.load() == kEnded) {
    record->level.store(level);
    return;
  }
  HANDLE handle = HandleOf(record);
  const int wanted = SystemPriorityFor(level);
  if (!::SetThreadPriority(handle, wanted)) {
    // Not allowed that high: the highest priority below it that the system accepts.
    const int current = ::GetThreadPriority(handle);
    for (auto it = std::rbegin(kSystemPriorities); it != std::rend(kSystemPriorities); ++it) {
      if (*it >= wanted) continue;
      if (current != THREAD_PRIORITY_ERROR_RETURN && *it <= current) break;
      if (::SetThreadPriority(handle, *it)) break;
    }
  }
  if (record) ThreadGetPriority(record);
}

int ThreadGetPriority(ThreadRecord* record) {
  if (record && record->state.load() == kEnded) return record->level.load();
  const int priority = ::GetThreadPriority(HandleOf(record));
  if (priority == THREAD_PRIORITY_ERROR_RETURN) return record ? record->level.load() : 0;
  const int level = ClampLevel(priority);
  if (record) record->level.store(level);
  return level;
}

unsigned int ThreadSuspend(ThreadRecord* record) {
  if (record == nullptr) return 0;
  ControlGuard guard(record);
  const uint32_t previous = record->suspendCount++;
  // Only the first suspension of a thread that runs user code stops it; a thread at its
  // gate or one that has ended just counts.
  if (previous != 0 || !record->started || record->state.load() == kEnded) return previous;
  if (IsCallingThread(record)) {
    // Stopping oneself: SuspendThread returns only when another thread resumes us, so the
    // control lock must be free by then. Resume sees the flag and waits for the stop.
    record->systemSuspended = true;
    guard.Unlock();
    ::SuspendThread(record->handle);
    return previous;
  }
  if (::SuspendThread(record->handle) == static_cast<DWORD>(-1)) return previous;  // gone
  record->systemSuspended = true;
  // SuspendThread only asks; reading the thread's registers waits until it has stopped.
  CONTEXT registers;
  std::memset(&registers, 0, sizeof registers);
  registers.ContextFlags = CONTEXT_CONTROL;
  ::GetThreadContext(record->handle, &registers);
  return previous;
}

unsigned int ThreadResume(ThreadRecord* record) {
  if (record == nullptr) return 0;
  ControlGuard guard(record);
  const uint32_t previous = record->suspendCount;
  if (previous == 0) return 0;
  if (--record->suspendCount != 0) return previous;
  if (!record->started) {
    record->started = true;
    ::ResumeThread(record->handle);
    return previous;
  }
  if (!record->systemSuspended) return previous;
  record->systemSuspended = false;
  // A thread that stops itself may not have reached its SuspendThread yet (it does nothing
  // else before it): the resume is repeated until it finds the thread stopped.
  for (;;) {
    const DWORD before = ::ResumeThread(record->handle);
    if (before != 0) break;  // resumed, or -1: the thread is gone
    if (::WaitForSingleObject(record->handle, 0) == WAIT_OBJECT_0) break;  // ended on the way
    ::Sleep(0);
  }
  return previous;
}

bool ThreadEnded(const ThreadRecord* record) { return record && record->state.load() == kEnded; }

unsigned int ThreadWait(ThreadRecord* record) {
  if (record == nullptr) return 0;
  ControlGuard guard(record);
  // A thread waiting for itself would wait for ever.
  if (!record->waited && !IsCallingThread(record) &&
      ::WaitForSingleObject(record->handle, INFINITE) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (::GetExitCodeThread(record->handle, &code)) record->exitCode = code;
    record->waited = true;
  }
  return record->waited ? record->exitCode : 0;
}

// Windows suspends threads itself; no signal is involved.
int ThreadSuspendSignal() { return 0; }

}  // namespace Yr::Platform
