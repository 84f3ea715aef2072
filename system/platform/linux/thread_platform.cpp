#include "system/platform/thread_platform.h"
#include "system/platform/platform.h"
#include "system/platform/process_platform.h"
#include "system/platform/signal_platform.h"

#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>

namespace Yr::Platform {

namespace {

constexpr int kLowestLevel = -15;
constexpr int kHighestLevel = 15;
// Offset of the suspension signal above SIGRTMIN; low offsets stay clear of the top of the
// range, which emulators keep for themselves.
constexpr int kSuspendSignalOffset = 4;
// Nice values run from -20 to 19; RLIMIT_NICE is given as 20 - nice.
constexpr int kNiceLimitBase = 20;
constexpr int kStrongestNice = -20;

using Word = std::atomic<uint32_t>;
static_assert(sizeof(Word) == sizeof(uint32_t) && Word::is_always_lock_free, "futex words are plain 32-bit");

// Values of ThreadRecord::state.
constexpr uint32_t kRunning = 0;  // running, or waiting at the start gate
constexpr uint32_t kStopped = 1;  // inside the suspension handler
constexpr uint32_t kEnded = 2;    // entry returned; the signal is blocked for good

void FutexWait(Word& word, uint32_t expected) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWake(Word& word) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// The calling thread's id (OwnThreadId), cached per thread so that hot lookups by id cost no
// system call. A forked child's thread has a new id, so the cache is forgotten in the child.
__attribute__((tls_model("initial-exec"))) thread_local uint32_t tCachedId = 0;

void ForgetCachedId() { tCachedId = 0; }

uint32_t SystemThreadId() {
  uint32_t id = tCachedId;
  if (id != 0) return id;
  static const bool kForkHandler = ::pthread_atfork(nullptr, nullptr, &ForgetCachedId) == 0;
  (void)kForkHandler;
  id = OwnThreadId();
  tCachedId = id;
  return id;
}

int SuspendSignal() { return SIGRTMIN + kSuspendSignalOffset; }

}  // namespace

struct ThreadRecord {
  pthread_t thread;
  ThreadEntry entry;
  void* argument;
  ThreadFinished finished;
  void* context;
  Word tid{0};      // published by the thread before it waits at the gate
  Word gate{0};     // 0 closed, 1 open
  Word state{kRunning};
  Word resume{0};   // set by Resume; the handler leaves once it sees 1
  std::atomic<int> level{0};  // last level read or set
  uint32_t exitCode = 0;      // written before state becomes kEnded
  // Guarded by control, which only controllers take, never the thread itself.
  uint32_t suspendCount = 1;
  bool started = false;
  bool joined = false;
  MutexStorage control;
};

namespace {

// The suspension handler. It runs on the suspended thread and touches nothing but the
// record's atomic words, futex calls and sigsuspend, all async-signal-safe. A signal
// carrying no record is a resume nudge: it only has to end the sigsuspend.
void OnSuspendSignal(int, siginfo_t* info, void*) {
  if (info->si_code != SI_QUEUE || info->si_pid != ::getpid()) return;
  auto* record = static_cast<ThreadRecord*>(info->si_value.sival_ptr);
  if (record == nullptr) return;
  const int savedErrno = errno;
  record->state.store(kStopped);
  FutexWake(record->state);
  // While stopped only the resume nudge may run; every other signal waits for the thread
  // to go on, as it would for a thread that is not scheduled at all.
  sigset_t waitMask;
  ::sigfillset(&waitMask);
  ::sigdelset(&waitMask, SuspendSignal());
  while (record->resume.load() == 0) ::sigsuspend(&waitMask);
  record->state.store(kRunning);
  FutexWake(record->state);
  errno = savedErrno;
}

// Installed when the first suspension is asked for; the previous action is put back when
// the library is unloaded.
class SuspendHandler {
 public:
  SuspendHandler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = &OnSuspendSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    ::sigfillset(&action.sa_mask);
    ::sigaction(SuspendSignal(), &action, &mPrevious);
  }
  ~SuspendHandler() { ::sigaction(SuspendSignal(), &mPrevious, nullptr); }

 private:
  struct sigaction mPrevious;
};

void EnsureSuspendHandler() { static SuspendHandler handler; }

bool Send(ThreadRecord* record, void* value) {
  union sigval data;
  data.sival_ptr = value;
  for (;;) {
    int result = ::pthread_sigqueue(record->thread, SuspendSignal(), data);
    if (result == 0) return true;
    if (result != EAGAIN) return false;  // the thread is gone
    ::sched_yield();                     // the signal queue is full for the moment
  }
}

void SetSuspendSignalBlocked(bool blocked) {
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, SuspendSignal());
  ::pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void* ThreadMain(void* argument) {
  auto* record = static_cast<ThreadRecord*>(argument);
  SetSuspendSignalBlocked(false);
  record->tid.store(SystemThreadId(), std::memory_order_release);
  FutexWake(record->tid);
  while (record->gate.load(std::memory_order_acquire) == 0) FutexWait(record->gate, 0);

  // A fault on this thread, stack overflow included, is reported on a signal stack of its own.
  void* signalStack = AcquireThreadSignalStack();
  const unsigned int code = record->entry(record->argument);
  ReleaseThreadSignalStack(signalStack);

  // From here on no suspension can reach the thread; a signal still queued stays pending
  // and is dropped with the thread, and a waiting Suspend sees kEnded instead.
  SetSuspendSignalBlocked(true);
  record->exitCode = code;
  record->state.store(kEnded);
  FutexWake(record->state);
  if (record->finished) record->finished(record->context);  // may destroy the record
  return nullptr;
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

int ClampLevel(int level) { return std::clamp(level, kLowestLevel, kHighestLevel); }

// The lowest nice value the process may give a thread whose nice value is now `current`:
// it may always keep it or raise it; going below needs RLIMIT_NICE or the privilege, which
// the failed call has already shown is missing.
int LowestAllowedNice(int current) {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NICE, &limit) != 0) return current;
  int floor = kNiceLimitBase;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= static_cast<rlim_t>(kNiceLimitBase - kStrongestNice)) {
    floor = kStrongestNice;
  } else {
    floor = kNiceLimitBase - static_cast<int>(limit.rlim_cur);
  }
  return std::min(current, floor);
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
  if (::pthread_create(&record->thread, nullptr, &ThreadMain, record) != 0) {
    MutexDestroy(record->control);
    record->~ThreadRecord();
    return nullptr;
  }
  // The id is known once the thread has run up to its gate.
  while (record->tid.load(std::memory_order_acquire) == 0) FutexWait(record->tid, 0);
  record->level.store(ThreadGetPriority(record));
  return record;
}

void ThreadRecordDestroy(ThreadRecord* record) {
  if (record == nullptr) return;
  if (!record->joined) ::pthread_detach(record->thread);
  MutexDestroy(record->control);
  record->~ThreadRecord();
}

uint32_t ThreadId(const ThreadRecord* record) {
  return record ? record->tid.load(std::memory_order_acquire) : 0;
}

uint32_t CurrentThreadId() { return SystemThreadId(); }

void ThreadSetName(ThreadRecord* record, const char* name) {
  if (name == nullptr) return;
  constexpr size_t kNameCharacters = 15;
  char shortName[kNameCharacters + 1];
  std::strncpy(shortName, name, kNameCharacters);
  shortName[kNameCharacters] = '\0';
  if (record == nullptr) {
    ::pthread_setname_np(::pthread_self(), shortName);
    return;
  }
  ControlGuard guard(record);
  if (!record->joined) ::pthread_setname_np(record->thread, shortName);
}

bool ThreadSetProcessor(ThreadRecord* record, unsigned int processor) {
  if (processor >= CPU_SETSIZE) return false;
  if (record && record->state.load() == kEnded) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(processor, &set);
  const pid_t tid = static_cast<pid_t>(record ? ThreadId(record) : SystemThreadId());
  return ::sched_setaffinity(tid, sizeof set, &set) == 0;
}

void ThreadSetPriority(ThreadRecord* record, int level) {
  level = ClampLevel(level);
  if (record && record->state.load() == kEnded) {
    record->level.store(level);
    return;
  }
  const auto tid = static_cast<id_t>(record ? ThreadId(record) : SystemThreadId());
  const int nice = -level;
  if (::setpriority(PRIO_PROCESS, tid, nice) != 0 && (errno == EPERM || errno == EACCES)) {
    // Not allowed to raise the thread that far: raise it as far as allowed.
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0) {
      const int target = std::max(nice, LowestAllowedNice(current));
      if (target != current) ::setpriority(PRIO_PROCESS, tid, target);
    }
  }
  if (record) ThreadGetPriority(record);
}

int ThreadGetPriority(ThreadRecord* record) {
  if (record && record->state.load() == kEnded) return record->level.load();
  const auto tid = static_cast<id_t>(record ? ThreadId(record) : SystemThreadId());
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, tid);
  if (errno != 0) return record ? record->level.load() : 0;
  const int level = ClampLevel(-nice);
  if (record) record->level.store(level);
  return level;
}

unsigned int ThreadSuspend(ThreadRecord* record) {
  if (record == nullptr) return 0;
  EnsureSuspendHandler();
  ControlGuard guard(record);
  const uint32_t previous = record->suspendCount++;
  // Only the first suspension of a thread that runs user code stops it; a thread at its
  // gate or one that has ended just counts.
  if (previous != 0 || !record->started || record->state.load() == kEnded) return previous;
  record->resume.store(0);
  if (::pthread_equal(record->thread, ::pthread_self())) {
    // Stopping oneself: the handler runs before Send returns and returns when another
    // thread resumes us, so the control lock must be free by then.
    guard.Unlock();
    Send(record, record);
    return previous;
  }
  if (Send(record, record)) {
    // The handshake: return only once the thread has stopped (or ended meanwhile).
    uint32_t state;
    while ((state = record->state.load()) == kRunning) FutexWait(record->state, state);
  }
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
    record->gate.store(1, std::memory_order_release);
    FutexWake(record->gate);
    return previous;
  }
  // Sequentially consistent with the handler's store of kStopped and load of resume: either
  // the handler sees the flag before waiting, or we see it stopped and nudge it.
  record->resume.store(1);
  if (record->state.load() == kStopped && Send(record, nullptr)) {
    uint32_t state;
    while ((state = record->state.load()) == kStopped) FutexWait(record->state, state);
  }
  return previous;
}

bool ThreadEnded(const ThreadRecord* record) { return record && record->state.load() == kEnded; }

unsigned int ThreadWait(ThreadRecord* record) {
  if (record == nullptr) return 0;
  ControlGuard guard(record);
  // A thread waiting for itself would wait for ever; the join refuses that (EDEADLK) and
  // the record stays joinable, to be detached when it is destroyed.
  if (!record->joined && ::pthread_join(record->thread, nullptr) == 0) record->joined = true;
  return record->joined ? record->exitCode : 0;
}

int ThreadSuspendSignal() { return SuspendSignal(); }

}  // namespace Yr::Platform
