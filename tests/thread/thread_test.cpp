#include "system/thread/thread.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "system/memory/allocator.h"
#include "system/platform/platform.h"
#include "system/thread/timer.h"
#include "tests/thread_sanitizer.h"

namespace {

using namespace std::chrono_literals;
using Yr::Thread;

// Liveness bound for "eventually" checks: generous, so a loaded machine never trips it.
constexpr auto kPatience = 30s;
// How long a suspended thread is watched for progress it must not make.
constexpr auto kWatch = 100ms;

template <typename Predicate>
bool Eventually(Predicate predicate) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// What the system keeps of a thread, read through the system's own interface: its name
// ("" where the system keeps none), the processors it may run on, its priority as a level
// (-15..15) and whether it has ended.
#ifdef _WIN32
// A handle of the thread with the given rights, closed with the object.
class OpenedThread {
 public:
  OpenedThread(unsigned long id, DWORD rights) : mHandle(::OpenThread(rights, FALSE, static_cast<DWORD>(id))) {}
  ~OpenedThread() {
    if (mHandle) ::CloseHandle(mHandle);
  }
  HANDLE get() const { return mHandle; }

 private:
  HANDLE mHandle;
};

std::string NameOf(unsigned long id) {
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  auto get = reinterpret_cast<GetDescription>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "GetThreadDescription")));
  OpenedThread thread(id, THREAD_QUERY_LIMITED_INFORMATION);
  PWSTR wide = nullptr;
  std::string name;
  if (get && thread.get() && SUCCEEDED(get(thread.get(), &wide)) && wide) {
    for (PWSTR c = wide; *c; ++c) name += static_cast<char>(*c);
    ::LocalFree(wide);
  }
  return name;
}

bool SystemKeepsNames() {
  return ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "GetThreadDescription") != nullptr;
}

// Read by setting the process's processors and putting the previous ones back.
uint64_t AffinityOf(unsigned long id) {
  OpenedThread thread(id, THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION);
  DWORD_PTR process = 0, system = 0;
  ::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system);
  const DWORD_PTR previous = ::SetThreadAffinityMask(thread.get(), process);
  if (previous) ::SetThreadAffinityMask(thread.get(), previous);
  return previous;
}

uint64_t ProcessAffinity() {
  DWORD_PTR process = 0, system = 0;
  ::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system);
  return process;
}

int SystemLevelOf(unsigned long id) {
  OpenedThread thread(id, THREAD_QUERY_LIMITED_INFORMATION);
  return ::GetThreadPriority(thread.get());
}

bool Gone(unsigned long id) {
  OpenedThread thread(id, SYNCHRONIZE);
  return thread.get() == nullptr || ::WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0;
}
#else
std::string ReadText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string TaskFile(unsigned long id, const char* name) {
  return "/proc/self/task/" + std::to_string(id) + "/" + name;
}

std::string NameOf(unsigned long id) {
  std::string name = ReadText(TaskFile(id, "comm"));
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

bool SystemKeepsNames() { return true; }

uint64_t MaskOf(pid_t id) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(id, sizeof set, &set) != 0) return 0;
  uint64_t mask = 0;
  for (unsigned int i = 0; i < 64; ++i) {
    if (CPU_ISSET(i, &set)) mask |= uint64_t{1} << i;
  }
  return mask;
}

uint64_t AffinityOf(unsigned long id) { return MaskOf(static_cast<pid_t>(id)); }
uint64_t ProcessAffinity() { return MaskOf(getpid()); }

// The nice value, field 19 of the stat line (counted after the parenthesised name).
int NiceOf(unsigned long id) {
  std::string stat = ReadText(TaskFile(id, "stat"));
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 19; ++i) fields >> field;
  return std::stoi(field);
}

int SystemLevelOf(unsigned long id) { return -NiceOf(id); }

bool Gone(unsigned long id) { return !std::filesystem::exists(TaskFile(id, "")); }
#endif

// A thread subclass so tests can wrap the handle of another Thread.
class ThreadView : public Thread {
 public:
  ThreadView() : Thread(nullptr, 0, false) {}
  using Thread::operator=;
};

struct Worker {
  std::atomic<unsigned long> counter{0};
  std::atomic<unsigned long> seenId{0};
  std::atomic<bool> sawItself{false};
  Thread* thread = nullptr;
};

unsigned int CountUntilAsked(void* argument) {
  auto* worker = static_cast<Worker*>(argument);
  worker->seenId = Thread::GetCurrentThreadID();
  while (!worker->thread->IsTerminationRequested()) {
    worker->counter.fetch_add(1, std::memory_order_relaxed);
    std::this_thread::yield();
  }
  return 41;
}

TEST(ThreadTest, NamedThreadRunsEntryAndStopReturnsExitCode) {
  Thread thread("worker");
  EXPECT_FALSE(thread.IsStarted());
  EXPECT_TRUE(thread.IsSuspended());
  EXPECT_EQ(thread.GetID(), 0u);
  EXPECT_EQ(thread.GetPriority(), 0);
  EXPECT_EQ(thread.Stop(), 0u);

  // A null argument hands the Thread object itself to the entry function.
  static std::atomic<Thread*> received{nullptr};
  static std::atomic<bool> itself{false};
  thread.Start(
      [](void* argument) -> unsigned int {
        auto* self = static_cast<Thread*>(argument);
        // Published before `received`: the test reads it once it sees `received`.
        itself = self->IsThisThread();
        received = self;
        while (!self->IsTerminationRequested()) std::this_thread::yield();
        return 1234;
      },
      nullptr, false, -1);
  ASSERT_TRUE(thread.IsStarted());
  EXPECT_FALSE(thread.IsSuspended());
  EXPECT_NE(thread.GetID(), 0u);
  EXPECT_FALSE(thread.IsThisThread());
  ASSERT_TRUE(Eventually([] { return received.load() != nullptr; }));
  EXPECT_EQ(received.load(), &thread);
  EXPECT_TRUE(itself.load());
  EXPECT_EQ(thread.Stop(), 1234u);
  EXPECT_FALSE(thread.IsStarted());
  EXPECT_TRUE(thread.IsSuspended());
  EXPECT_TRUE(thread.IsTerminationRequested());

  // The same object starts a new thread, this time with an argument of its own.
  Worker worker;
  worker.thread = &thread;
  thread.Start(&CountUntilAsked, &worker, false, -1);  // termination is still requested
  EXPECT_EQ(thread.Stop(), 41u);
  EXPECT_EQ(worker.seenId.load(), thread.GetID());
}

TEST(ThreadTest, NameAndProcessorReachTheSystem) {
  Thread thread("a-name-longer-than-fifteen");
  Worker worker;
  worker.thread = &thread;
  // The first processor the process may run on.
  const uint64_t allowed = ProcessAffinity();
  ASSERT_NE(allowed, 0u);
  int processor = 0;
  while ((allowed >> processor & 1) == 0) ++processor;
  thread.Start(&CountUntilAsked, &worker, true, processor);
  ASSERT_TRUE(thread.IsStarted());
  if (SystemKeepsNames()) {
    EXPECT_EQ(NameOf(thread.GetID()), "a-name-longer-t");
  }
  EXPECT_EQ(AffinityOf(thread.GetID()), uint64_t{1} << processor);
  thread.Resume();
  EXPECT_TRUE(Eventually([&] { return worker.counter.load() > 0; }));
  thread.Stop();

  // Without an ideal processor the thread keeps the process's processors.
  Thread plain("plain");
  worker.thread = &plain;
  plain.Start(&CountUntilAsked, &worker, true, -1);
  EXPECT_EQ(AffinityOf(plain.GetID()), allowed);
  plain.RequestTermination();
  EXPECT_EQ(plain.Stop(), 41u);
}

TEST(ThreadTest, StartSuspendedWaitsUntilResumed) {
  Thread thread("gated");
  Worker worker;
  worker.thread = &thread;
  thread.Start(&CountUntilAsked, &worker, true, -1);
  EXPECT_TRUE(thread.IsSuspended());
  std::this_thread::sleep_for(kWatch);
  EXPECT_EQ(worker.counter.load(), 0u);
  EXPECT_EQ(worker.seenId.load(), 0u);
  thread.Resume();
  EXPECT_FALSE(thread.IsSuspended());
  EXPECT_TRUE(Eventually([&] { return worker.counter.load() > 0; }));
  EXPECT_EQ(thread.Stop(), 41u);

  // Stop on a thread that never left its gate lets it run to its end.
  Thread never("never-resumed");
  worker.thread = &never;
  never.Start(&CountUntilAsked, &worker, true, -1);
  EXPECT_EQ(never.Stop(), 41u);
}

TEST(ThreadTest, PriorityIsClampedAndReadBackFromTheSystem) {
#ifndef _WIN32
  // Raising a priority needs the privilege; without it the test cannot tell the values apart.
  bool privileged = false;
  std::thread([&] { privileged = setpriority(PRIO_PROCESS, 0, -1) == 0; }).join();
  if (!privileged) GTEST_SKIP() << "raising a thread's priority is not permitted here (no CAP_SYS_NICE)";
#endif

  Thread thread("prio");
  Worker worker;
  worker.thread = &thread;
  thread.Start(&CountUntilAsked, &worker, false, -1);
  // Linux keeps every level (as a nice value); Windows keeps seven, and 14 is its highest
  // short of time critical.
  struct Case {
    int level;
    int readBack;
  };
#ifdef _WIN32
  const Case cases[] = {{-100, -15}, {14, 2}, {99, 15}, {0, 0}};
#else
  const Case cases[] = {{-100, -15}, {14, 14}, {99, 15}, {0, 0}};
#endif
  for (const Case& c : cases) {
    thread.SetPriority(c.level);
    EXPECT_EQ(thread.GetPriority(), c.readBack) << c.level;
    EXPECT_EQ(SystemLevelOf(thread.GetID()), c.readBack) << c.level;
  }
  thread.RequestTermination();
  thread.Stop();
  EXPECT_EQ(thread.GetPriority(), 0);  // no handle
}

#ifndef _WIN32
// Gives up root's privileges, keeping whatever RLIMIT_NICE allows, then asks for more.
// Exits 0 when the thread went exactly as far as allowed. (Windows lets every process set
// any of its threads' priorities within its class: there is no such limit to test there.)
void RaisePriorityWithoutPrivilege() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) != 0) _exit(2);
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NICE, &limit) != 0 || setresgid(65534, 65534, 65534) != 0 ||
      setresuid(65534, 65534, 65534) != 0) {
    _exit(2);
  }
  // The lowest nice value the limit allows is 20 - limit.
  const int floorNice = limit.rlim_cur == RLIM_INFINITY ? -20 : 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40));
  Thread thread("unprivileged");
  Worker worker;
  worker.thread = &thread;
  thread.Start(&CountUntilAsked, &worker, false, -1);
  thread.SetPriority(-4);  // nice 4: lowering is always allowed
  const int lowered = thread.GetPriority();
  thread.SetPriority(15);
  const int raised = thread.GetPriority();
  const int expected = -std::max(-15, std::min(4, floorNice));
  const int nice = NiceOf(thread.GetID());
  thread.RequestTermination();
  thread.Stop();
  _exit(lowered == -4 && raised == expected && nice == -expected ? 0 : 1);
}

TEST(ThreadTest, PriorityRaisedOnlyAsFarAsAllowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give up its privileges in a child";
  EXPECT_EXIT(RaisePriorityWithoutPrivilege(), testing::ExitedWithCode(0), "");
}
#endif

// The counting hook serialises with a mutex, so a thread suspended inside an allocation
// holds it: any allocation by Suspend or Resume would then hang.
class CountingHook : public Yr::AllocatorHook {
 public:
  void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    std::lock_guard<std::mutex> lock(mMutex);
    if (Thread::GetCurrentThreadID() == mWatched) ++mWatchedCalls;
    return Yr::OrigAlignedMalloc(size, static_cast<int>(alignment), nullptr, 0);
  }
  void AlignedFree(void* block) override {
    std::lock_guard<std::mutex> lock(mMutex);
    if (Thread::GetCurrentThreadID() == mWatched) ++mWatchedCalls;
    Yr::OrigAlignedFree(block);
  }
  unsigned int GetAllocationSize(void* block, unsigned int alignment) override {
    return Yr::OrigGetAllocationSize(block, alignment);
  }
  std::mutex mMutex;
  std::atomic<unsigned long> mWatched{0};
  std::atomic<unsigned long> mWatchedCalls{0};
};

unsigned int AllocateUntilAsked(void* argument) {
  auto* worker = static_cast<Worker*>(argument);
  while (!worker->thread->IsTerminationRequested()) {
    Yr::Detail::Free(Yr::Detail::Allocate(64));
    worker->counter.fetch_add(1, std::memory_order_relaxed);
  }
  return 5;
}

TEST(ThreadTest, SuspendedThreadMakesNoProgressUntilResumed) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("suspension is by signal, which the sanitizer delivers only at its own safe points");
  static CountingHook* hook = new CountingHook;
  Yr::AllocatorHook* previous = Yr::AllocatorHook::Install(hook);
  hook->mWatched = Thread::GetCurrentThreadID();

  Thread thread("allocator");
  Worker worker;
  worker.thread = &thread;
  thread.Start(&AllocateUntilAsked, &worker, false, -1);
  ASSERT_TRUE(Eventually([&] { return worker.counter.load() > 100; }));

  for (int round = 0; round < 3; ++round) {
    const unsigned long callsBefore = hook->mWatchedCalls.load();
    thread.Suspend();
    EXPECT_TRUE(thread.IsSuspended());
    const unsigned long stopped = worker.counter.load();
    std::this_thread::sleep_for(kWatch);
    EXPECT_EQ(worker.counter.load(), stopped) << "round " << round;
    // Suspension counts: a second Suspend needs a second Resume.
    thread.Suspend();
    thread.Resume();
    std::this_thread::sleep_for(kWatch);
    EXPECT_EQ(worker.counter.load(), stopped) << "round " << round;
    thread.Resume();
    EXPECT_FALSE(thread.IsSuspended());
    EXPECT_EQ(hook->mWatchedCalls.load(), callsBefore) << "Suspend or Resume allocated";
    EXPECT_TRUE(Eventually([&] { return worker.counter.load() > stopped; }));
  }

  // Stop lifts every suspension, however many there are.
  thread.Suspend();
  thread.Suspend();
  EXPECT_EQ(thread.Stop(), 5u);
  Yr::AllocatorHook::Install(previous);
}

// A pipe of the system, for a thread to block in a read of it.
#ifdef _WIN32
class BytePipe {
 public:
  ~BytePipe() {
    if (mRead) ::CloseHandle(mRead);
    if (mWrite) ::CloseHandle(mWrite);
  }
  bool Open() { return ::CreatePipe(&mRead, &mWrite, nullptr, 0) != 0; }
  long Read(char* byte) {
    DWORD got = 0;
    return ::ReadFile(mRead, byte, 1, &got, nullptr) ? static_cast<long>(got) : -1;
  }
  bool Write(char byte) {
    DWORD put = 0;
    return ::WriteFile(mWrite, &byte, 1, &put, nullptr) && put == 1;
  }

 private:
  HANDLE mRead = nullptr;
  HANDLE mWrite = nullptr;
};
#else
class BytePipe {
 public:
  ~BytePipe() {
    if (mEnds[0] >= 0) close(mEnds[0]);
    if (mEnds[1] >= 0) close(mEnds[1]);
  }
  bool Open() { return ::pipe(mEnds) == 0; }
  long Read(char* byte) { return static_cast<long>(::read(mEnds[0], byte, 1)); }
  bool Write(char byte) { return ::write(mEnds[1], &byte, 1) == 1; }

 private:
  int mEnds[2] = {-1, -1};
};
#endif

TEST(ThreadTest, SuspensionDoesNotBreakSystemCalls) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("suspension is by signal, which the sanitizer delivers only at its own safe points");
  BytePipe pipe;
  ASSERT_TRUE(pipe.Open());
  struct Blocked {
    BytePipe* pipe;
    std::atomic<long> readResult{-100};
    std::atomic<long long> sleptNs{0};
  } blocked{&pipe};

  Thread reader("reader");
  reader.Start(
      [](void* argument) -> unsigned int {
        auto* state = static_cast<Blocked*>(argument);
        char byte = 0;
        state->readResult = state->pipe->Read(&byte);
        return static_cast<unsigned char>(byte);
      },
      &blocked, false, -1);
  Thread sleeper("sleeper");
  sleeper.Start(
      [](void* argument) -> unsigned int {
        auto* state = static_cast<Blocked*>(argument);
        const auto start = std::chrono::steady_clock::now();
        Yr::Timer::Sleep(300);
        state->sleptNs = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
                             .count();
        return 0;
      },
      &blocked, false, -1);

  for (int round = 0; round < 5; ++round) {
    reader.Suspend();
    sleeper.Suspend();
    reader.Resume();
    sleeper.Resume();
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(blocked.readResult.load(), -100) << "the read returned early";
  ASSERT_TRUE(pipe.Write('y'));
  EXPECT_EQ(reader.Stop(), static_cast<unsigned int>('y'));
  EXPECT_EQ(blocked.readResult.load(), 1);
  sleeper.Stop();
  // An interrupted sleep carries on to its full length.
  EXPECT_GE(blocked.sleptNs.load(), 300'000'000);
}

TEST(ThreadTest, EndedAndSelfSuspendedThreadsDoNotHang) {
  Thread quick("quick");
  quick.Start([](void*) -> unsigned int { return 7; }, nullptr, false, -1);
  const unsigned long id = quick.GetID();
  // Gone from the system, but not yet waited for.
  ASSERT_TRUE(Eventually([&] { return Gone(id); }));
  quick.Suspend();
  EXPECT_TRUE(quick.IsSuspended());
  quick.Resume();
  quick.SetPriority(3);
  EXPECT_EQ(quick.GetPriority(), 3);  // the level last set, as the system has none left
  quick.Suspend();
  EXPECT_EQ(quick.Stop(), 7u);

  // A thread that suspends itself stays stopped until another thread resumes it.
  struct SelfStopper {
    Thread* thread;
    std::atomic<int> stage{0};
  };
  Thread self("self-stopper");
  SelfStopper state{&self};
  self.Start(
      [](void* argument) -> unsigned int {
        auto* s = static_cast<SelfStopper*>(argument);
        s->stage = 1;
        s->thread->Suspend();
        s->stage = 2;
        return 9;
      },
      &state, false, -1);
  ASSERT_TRUE(Eventually([&] { return state.stage.load() == 1; }));
  std::this_thread::sleep_for(kWatch);
  EXPECT_EQ(state.stage.load(), 1);
  self.Resume();
  EXPECT_TRUE(Eventually([&] { return state.stage.load() == 2; }));
  EXPECT_EQ(self.Stop(), 9u);
}

TEST(ThreadTest, CurrentThreadObjectAndCopies) {
  unsigned long threadId = 0, describedId = 0;
  bool started = false, suspended = true, stopped = true;
  int readBack = 0, systemLevel = 0;
  std::thread([&] {
    Thread current = Thread::GetCurrThread();
    threadId = Thread::GetCurrentThreadID();
    describedId = current.GetID();
    started = current.IsStarted();
    suspended = current.IsSuspended();
    stopped = current.Stop() != 0 || !current.IsStarted();
    current.SetPriority(-3);  // acts on the calling thread
    readBack = current.GetPriority();
    systemLevel = SystemLevelOf(threadId);
  }).join();
  EXPECT_EQ(describedId, threadId);
  EXPECT_TRUE(started);
  EXPECT_FALSE(suspended);
  EXPECT_FALSE(stopped);
#ifdef _WIN32
  const int kMinusThree = -2;  // the lowest priority short of idle
#else
  const int kMinusThree = -3;
#endif
  EXPECT_EQ(readBack, kMinusThree);
  EXPECT_EQ(systemLevel, kMinusThree);

  // A copy shares the thread; the thread's record outlives the owner's Stop.
  Thread owner("owner");
  Worker worker;
  worker.thread = &owner;
  owner.Start(&CountUntilAsked, &worker, false, -1);
  ThreadView view;
  view = owner;
  EXPECT_EQ(view.GetID(), owner.GetID());
  EXPECT_TRUE(view.IsStarted());
  owner.RequestTermination();
  EXPECT_EQ(owner.Stop(), 41u);
  EXPECT_EQ(view.Stop(), 41u);  // the copy is owned too: it reads the same exit code
  view = ThreadView();
  EXPECT_FALSE(view.IsStarted());
}

// Runs body in a child process, with a table of thread indices no thread has asked yet;
// body returns an empty string on success, else what went wrong.
void RunChild(std::string (*body)()) {
  const std::string failure = body();
  if (!failure.empty()) Yr::Platform::StandardError(failure.data(), failure.size());
  std::_Exit(failure.empty() ? 0 : 1);
}

void ExpectInChild(std::string (*body)()) { EXPECT_EXIT(RunChild(body), testing::ExitedWithCode(0), ""); }

TEST(ThreadIndexTest, DenseIndicesInOrderOfFirstCall) {
  ExpectInChild([]() -> std::string {
    if (Thread::GetMaxThreads() != 0) return "table not empty";
    const unsigned int first = Thread::GetCurrentThreadIndex();
    const unsigned int again = Thread::GetCurrentThreadIndex();
    unsigned int other = 99, otherAgain = 99;
    std::thread([&] {
      other = Thread::GetCurrentThreadIndex();
      otherAgain = Thread::GetCurrentThreadIndex();
    }).join();
    if (first != 0 || again != 0) return "main thread index " + std::to_string(first) + "/" + std::to_string(again);
    if (other != 1 || otherAgain != 1) return "second thread index " + std::to_string(other);
    if (Thread::GetMaxThreads() != 2) return "GetMaxThreads " + std::to_string(Thread::GetMaxThreads());
    if (Thread::GetCurrentThreadIndex() != 0) return "main thread index changed";
    return "";
  });
}

TEST(ThreadIndexTest, SixteenThreadsRaceForIndices) {
  ExpectInChild([]() -> std::string {
    constexpr unsigned int kThreads = Thread::kMaxThreadIndices;
    std::atomic<bool> go{false};
    std::vector<unsigned int> first(kThreads), second(kThreads);
    std::vector<std::thread> threads;
    for (unsigned int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        while (!go.load()) std::this_thread::yield();
        first[i] = Thread::GetCurrentThreadIndex();
        std::this_thread::yield();
        second[i] = Thread::GetCurrentThreadIndex();
      });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    std::set<unsigned int> indices(first.begin(), first.end());
    if (first != second) return "a thread's index changed";
    if (indices.size() != kThreads || *indices.rbegin() != kThreads - 1) return "indices are not 0..15";
    if (Thread::GetMaxThreads() != kThreads) return "GetMaxThreads " + std::to_string(Thread::GetMaxThreads());
    return "";
  });
}

// Threads that live at the same time never share an index, however often each asks, and a
// thread started after others ended still answers with an index of the table.
TEST(ThreadIndexTest, CachedIndicesStayDistinctAcrossThreadGenerations) {
  ExpectInChild([]() -> std::string {
    constexpr unsigned int kRounds = 3;
    constexpr unsigned int kPerRound = 4;
    for (unsigned int round = 0; round < kRounds; ++round) {
      std::atomic<unsigned int> arrived{0};
      std::vector<unsigned int> seen(kPerRound * 3, 99);
      std::vector<std::thread> threads;
      for (unsigned int i = 0; i < kPerRound; ++i) {
        threads.emplace_back([&, i] {
          seen[i * 3] = Thread::GetCurrentThreadIndex();
          arrived.fetch_add(1);
          while (arrived.load() < kPerRound) std::this_thread::yield();  // all alive at once
          seen[i * 3 + 1] = Thread::GetCurrentThreadIndex();
          seen[i * 3 + 2] = Thread::GetCurrentThreadIndex();
        });
      }
      for (auto& thread : threads) thread.join();
      std::set<unsigned int> distinct;
      for (unsigned int i = 0; i < kPerRound; ++i) {
        if (seen[i * 3] != seen[i * 3 + 1] || seen[i * 3] != seen[i * 3 + 2]) return "a thread's index changed";
        if (seen[i * 3] >= Thread::GetMaxThreads()) return "index beyond the table";
        distinct.insert(seen[i * 3]);
      }
      if (distinct.size() != kPerRound) return "live threads shared an index in round " + std::to_string(round);
    }
    return "";
  });
}

TEST(ThreadIndexTest, SeventeenthThreadIsAFatalError) {
  EXPECT_DEATH(
      {
        for (unsigned int i = 0; i < Thread::kMaxThreadIndices; ++i) {
          std::thread([] { Thread::GetCurrentThreadIndex(); }).join();
        }
        Thread::GetCurrentThreadIndex();
      },
      "Yr: fatal: thread index table full: thread .+ asked for an index after all 16 were handed out");
}

}  // namespace
