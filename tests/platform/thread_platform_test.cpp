// Threads of the platform layer: the start gate, counted suspension, waiting, priorities,
// names and processors, read back from the system where it keeps them.
#include "system/platform/thread_platform.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#include <sys/resource.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/thread_sanitizer.h"

namespace {

using namespace Yr;
using namespace std::chrono_literals;

constexpr auto kPatience = 30s;
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

struct Shared {
  std::atomic<uint32_t> counter{0};
  std::atomic<uint32_t> seenId{0};
  std::atomic<bool> stop{false};
  std::atomic<int> finished{0};
};

unsigned int Count(void* argument) {
  auto* shared = static_cast<Shared*>(argument);
  shared->seenId = Platform::CurrentThreadId();
  while (!shared->stop.load()) shared->counter.fetch_add(1, std::memory_order_relaxed);
  return 77;
}

void Finished(void* context) { static_cast<Shared*>(context)->finished.fetch_add(1); }

// A record in its own storage, destroyed and freed with the fixture.
class ThreadPlatformTest : public testing::Test {
 protected:
  Platform::ThreadRecord* Create(Platform::ThreadEntry entry = &Count) {
    mStorage.emplace_back(Platform::ThreadRecordSize() + 16);
    void* aligned = reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(mStorage.back().data()) + 15) & ~uintptr_t{15});
    Platform::ThreadRecord* record = Platform::ThreadCreate(aligned, entry, &mShared, &Finished, &mShared);
    if (record) mRecords.push_back(record);
    return record;
  }
  void TearDown() override {
    mShared.stop = true;
    for (Platform::ThreadRecord* record : mRecords) {
      while (Platform::ThreadResume(record) > 1) {
      }
      Platform::ThreadWait(record);
      Platform::ThreadRecordDestroy(record);
    }
  }
  Shared mShared;
  std::vector<std::vector<unsigned char>> mStorage;
  std::vector<Platform::ThreadRecord*> mRecords;
};

TEST_F(ThreadPlatformTest, GateHoldsUntilTheCountReachesZero) {
  Platform::ThreadRecord* record = Create();
  ASSERT_NE(record, nullptr);
  EXPECT_NE(Platform::ThreadId(record), 0u);
  EXPECT_NE(Platform::ThreadId(record), Platform::CurrentThreadId());
  EXPECT_EQ(Platform::ThreadId(nullptr), 0u);
  // Counted at the gate as anywhere: 1 from creation, 2 more here.
  EXPECT_EQ(Platform::ThreadSuspend(record), 1u);
  EXPECT_EQ(Platform::ThreadSuspend(record), 2u);
  EXPECT_EQ(Platform::ThreadResume(record), 3u);
  EXPECT_EQ(Platform::ThreadResume(record), 2u);
  std::this_thread::sleep_for(kWatch);
  EXPECT_EQ(mShared.counter.load(), 0u) << "ran before the gate opened";
  EXPECT_FALSE(Platform::ThreadEnded(record));
  EXPECT_EQ(Platform::ThreadResume(record), 1u);
  ASSERT_TRUE(Eventually([&] { return mShared.counter.load() > 0; }));
  EXPECT_EQ(mShared.seenId.load(), Platform::ThreadId(record));
  EXPECT_EQ(Platform::ThreadResume(record), 0u) << "a count of 0 stays 0";

  mShared.stop = true;
  EXPECT_EQ(Platform::ThreadWait(record), 77u);
  EXPECT_TRUE(Platform::ThreadEnded(record));
  EXPECT_EQ(Platform::ThreadWait(record), 77u) << "waiting again gives the same code";
  EXPECT_EQ(mShared.finished.load(), 1);
}

TEST_F(ThreadPlatformTest, SuspensionStopsARunningThreadAndCounts) {
  if (YrTest::kThreadSanitizer) {
    GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("suspension is by signal, which it delivers at its own safe points");
  }
  Platform::ThreadRecord* record = Create();
  ASSERT_NE(record, nullptr);
  Platform::ThreadResume(record);
  ASSERT_TRUE(Eventually([&] { return mShared.counter.load() > 0; }));
  // Suspend returns once the thread has stopped: from then on it makes no progress.
  for (unsigned int depth : {1u, 2u, 3u}) {
    SCOPED_TRACE(depth);
    for (unsigned int i = 0; i < depth; ++i) EXPECT_EQ(Platform::ThreadSuspend(record), i);
    const uint32_t stopped = mShared.counter.load();
    std::this_thread::sleep_for(kWatch);
    EXPECT_EQ(mShared.counter.load(), stopped);
    for (unsigned int i = depth; i > 1; --i) EXPECT_EQ(Platform::ThreadResume(record), i);
    std::this_thread::sleep_for(kWatch / 4);
    EXPECT_EQ(mShared.counter.load(), stopped) << "ran before the last resume";
    EXPECT_EQ(Platform::ThreadResume(record), 1u);
    EXPECT_TRUE(Eventually([&] { return mShared.counter.load() > stopped; }));
  }
  // The calling thread's pseudo-record: suspension and waiting do nothing.
  EXPECT_EQ(Platform::ThreadSuspend(nullptr), 0u);
  EXPECT_EQ(Platform::ThreadResume(nullptr), 0u);
  EXPECT_EQ(Platform::ThreadWait(nullptr), 0u);
}

TEST_F(ThreadPlatformTest, EndedThreadsOnlyCount) {
  Platform::ThreadRecord* record = Create();
  ASSERT_NE(record, nullptr);
  mShared.stop = true;
  Platform::ThreadResume(record);
  ASSERT_TRUE(Eventually([&] { return Platform::ThreadEnded(record); }));
  EXPECT_EQ(Platform::ThreadSuspend(record), 0u);
  EXPECT_EQ(Platform::ThreadSuspend(record), 1u);
  EXPECT_EQ(Platform::ThreadResume(record), 2u);
  EXPECT_EQ(Platform::ThreadResume(record), 1u);
  EXPECT_FALSE(Platform::ThreadSetProcessor(record, 0));
  EXPECT_EQ(Platform::ThreadWait(record), 77u);
}

// A thread that suspends itself stays stopped until another thread resumes it, however
// soon that resume comes.
TEST_F(ThreadPlatformTest, SelfSuspensionWaitsForAnotherThread) {
  if (YrTest::kThreadSanitizer) {
    GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("suspension is by signal, which it delivers at its own safe points");
  }
  static Platform::ThreadRecord* self;
  static std::atomic<int> stage;
  for (int round = 0; round < 20; ++round) {
    stage = 0;
    self = Create([](void*) -> unsigned int {
      stage = 1;
      Platform::ThreadSuspend(self);
      stage = 2;
      return 5;
    });
    ASSERT_NE(self, nullptr);
    Platform::ThreadResume(self);
    ASSERT_TRUE(Eventually([] { return stage.load() == 1; }));
    if (round == 0) {
      std::this_thread::sleep_for(kWatch);
      EXPECT_EQ(stage.load(), 1);
    }
    // Wait until the thread's own suspension is counted (a second suspension of ours then
    // only counts too); a suspension of ours that came first stopped it early and is undone.
    for (;;) {
      if (Platform::ThreadSuspend(self) >= 1) {
        EXPECT_EQ(Platform::ThreadResume(self), 2u);
        break;
      }
      Platform::ThreadResume(self);
      std::this_thread::yield();
    }
    // Later rounds resume at once, racing the thread to its stop.
    EXPECT_EQ(Platform::ThreadResume(self), 1u) << round;
    ASSERT_TRUE(Eventually([] { return stage.load() == 2; })) << round;
    EXPECT_EQ(Platform::ThreadWait(self), 5u);
  }
}

// Levels and what the system keeps of them, both ways.
TEST_F(ThreadPlatformTest, PriorityLevelsMapOntoTheSystemAndBack) {
#ifndef _WIN32
  // Raising a thread's priority again needs the privilege on Linux.
  bool privileged = false;
  std::thread([&] { privileged = setpriority(PRIO_PROCESS, 0, -1) == 0; }).join();
  if (!privileged) GTEST_SKIP() << "raising a thread's priority is not permitted here (no CAP_SYS_NICE)";
#endif
  Platform::ThreadRecord* record = Create();
  ASSERT_NE(record, nullptr);
  Platform::ThreadResume(record);
  struct Case {
    int level;
    int readBack;
  };
#ifdef _WIN32
  const Case cases[] = {{-100, -15}, {-15, -15}, {-14, -2}, {-3, -2}, {-2, -2}, {-1, -1}, {0, 0},
                        {1, 1},      {2, 2},      {9, 2},    {14, 2},  {15, 15}, {99, 15}, {0, 0}};
#else
  const Case cases[] = {{-100, -15}, {-15, -15}, {-14, -14}, {-3, -3}, {-1, -1}, {0, 0},
                        {1, 1},      {9, 9},      {15, 15},   {99, 15}, {0, 0}};
#endif
  for (const Case& c : cases) {
    Platform::ThreadSetPriority(record, c.level);
    EXPECT_EQ(Platform::ThreadGetPriority(record), c.readBack) << "level " << c.level;
  }
  // An ended thread keeps the last level set.
  mShared.stop = true;
  Platform::ThreadWait(record);
  Platform::ThreadSetPriority(record, 3);
  EXPECT_EQ(Platform::ThreadGetPriority(record), 3);
  Platform::ThreadSetPriority(record, -40);
  EXPECT_EQ(Platform::ThreadGetPriority(record), -15);
}

#ifdef _WIN32
std::string NameOf(Platform::ThreadRecord* record, bool& known) {
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  auto get = reinterpret_cast<GetDescription>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "GetThreadDescription")));
  known = get != nullptr;
  if (!known) return "";
  HANDLE handle = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, Platform::ThreadId(record));
  PWSTR wide = nullptr;
  std::string name;
  if (handle && SUCCEEDED(get(handle, &wide)) && wide) {
    for (PWSTR c = wide; *c; ++c) name += static_cast<char>(*c);
    ::LocalFree(wide);
  }
  if (handle) ::CloseHandle(handle);
  return name;
}

// The processors the thread may run on, read by setting them and putting them back.
uintptr_t AffinityOf(Platform::ThreadRecord* record) {
  HANDLE handle = ::OpenThread(THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE, Platform::ThreadId(record));
  DWORD_PTR process = 0, system = 0;
  ::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system);
  const DWORD_PTR previous = ::SetThreadAffinityMask(handle, process);
  if (previous) ::SetThreadAffinityMask(handle, previous);
  ::CloseHandle(handle);
  return previous;
}

uintptr_t ProcessAffinity() {
  DWORD_PTR process = 0, system = 0;
  ::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system);
  return process;
}
#else
std::string NameOf(Platform::ThreadRecord*, bool& known) {
  known = false;  // another thread's name would need its pthread_t, which the record hides
  return "";
}

uintptr_t AffinityOf(Platform::ThreadRecord* record) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(static_cast<pid_t>(Platform::ThreadId(record)), sizeof set, &set) != 0) return 0;
  uintptr_t mask = 0;
  for (unsigned int i = 0; i < sizeof(uintptr_t) * 8; ++i) {
    if (CPU_ISSET(i, &set)) mask |= uintptr_t{1} << i;
  }
  return mask;
}

uintptr_t ProcessAffinity() {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  uintptr_t mask = 0;
  for (unsigned int i = 0; i < sizeof(uintptr_t) * 8; ++i) {
    if (CPU_ISSET(i, &set)) mask |= uintptr_t{1} << i;
  }
  return mask;
}
#endif

TEST_F(ThreadPlatformTest, NamesAreCutAndProcessorsBind) {
  Platform::ThreadRecord* record = Create();
  ASSERT_NE(record, nullptr);
  const char* names[][2] = {{"short", "short"},
                            {"exactly-15-char", "exactly-15-char"},
                            {"a-name-longer-than-fifteen", "a-name-longer-t"}};
  for (const auto& name : names) {
    Platform::ThreadSetName(record, name[0]);
    bool known = false;
    const std::string got = NameOf(record, known);
    if (known) {
      EXPECT_EQ(got, name[1]);
    }
  }
  Platform::ThreadSetName(record, nullptr);  // leaves the name alone
  Platform::ThreadSetName(nullptr, "caller");

  const uintptr_t allowed = ProcessAffinity();
  ASSERT_NE(allowed, 0u);
  unsigned int first = 0;
  while ((allowed >> first & 1) == 0) ++first;
  EXPECT_TRUE(Platform::ThreadSetProcessor(record, first));
  EXPECT_EQ(AffinityOf(record), uintptr_t{1} << first);
  EXPECT_FALSE(Platform::ThreadSetProcessor(record, 100000));
  EXPECT_EQ(AffinityOf(record), uintptr_t{1} << first) << "a refused processor changes nothing";
  if (first + 1 < sizeof(uintptr_t) * 8 && (allowed >> (first + 1) & 1) == 0) {
    EXPECT_FALSE(Platform::ThreadSetProcessor(record, first + 1)) << "not available to the process";
  }
  Platform::ThreadResume(record);
  EXPECT_TRUE(Eventually([&] { return mShared.counter.load() > 0; }));
#ifdef _WIN32
  EXPECT_EQ(Platform::ThreadSuspendSignal(), 0);
#else
  EXPECT_GT(Platform::ThreadSuspendSignal(), 0);
#endif
}

}  // namespace
