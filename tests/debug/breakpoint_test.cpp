#include "system/debug/breakpoint.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "system/debug/bug_report.h"
#include "system/platform/breakpoint_platform.h"
#include "system/platform/signal_platform.h"
#include "tests/debug/report_text.h"

namespace {

using Yr::Breakpoint;

volatile int gWatched = 0;
volatile int gOther = 0;

__attribute__((noinline)) int WatchedFunction(int value) {
  asm volatile("");
  return value + 1;
}

void* AddressOf(volatile int& variable) { return const_cast<int*>(&variable); }

bool SystemRefuses() { return Yr::Platform::ProbeBreakpoints() == Yr::Platform::BreakpointProbe::kRefused; }

// Runs body on a thread of its own, whose debug registers start clear.
template <typename Body>
void OnFreshThread(Body body) {
  std::thread thread(body);
  thread.join();
}

// DR7 as the processor defines it, from a slot-by-slot description: for each slot, its
// access field and whether it is enabled; '-' for a slot never touched.
struct Slot {
  char access;  // '0'-'3', or '-'
  bool enabled;
};
uintptr_t Dr7(const Slot (&slots)[Breakpoint::kSlots]) {
  uintptr_t control = 0;
  for (int i = 0; i < Breakpoint::kSlots; ++i) {
    if (slots[i].access == '-') continue;
    control |= static_cast<uintptr_t>(slots[i].access - '0') << (16 + 4 * i);
    if (slots[i].enabled) control |= uintptr_t{1} << (2 * i);
  }
  return control;
}

TEST(BreakpointTest, SetAndClearLeaveTheRegisterViewAsTheProcessorWould) {
  if (SystemRefuses()) GTEST_SKIP() << Breakpoint::WhyNotDelivered() << "; nothing can be set";
  const uintptr_t p = reinterpret_cast<uintptr_t>(AddressOf(gWatched));
  const uintptr_t q = reinterpret_cast<uintptr_t>(AddressOf(gOther));
  const uintptr_t f = reinterpret_cast<uintptr_t>(&WatchedFunction);
  enum Op { kSet, kClear };
  constexpr Slot kOff = {'-', false};
  struct Step {
    Op op;
    int index;
    uintptr_t address;
    int access;
    Slot after[Breakpoint::kSlots];  // DR7 after the step
    uintptr_t slotAddress;           // the slot's address after the step (index 0-3 only)
  };
  const Step steps[] = {
      {kSet, 2, p, Breakpoint::Write, {kOff, kOff, {'1', true}, kOff}, p},
      {kClear, 2, 0, 0, {kOff, kOff, {'1', false}, kOff}, p},  // address and access stay, disabled
      {kSet, 0, f, Breakpoint::Execute, {{'0', true}, kOff, {'1', false}, kOff}, f},
      {kSet, 1, q, Breakpoint::ReadWrite, {{'0', true}, {'3', true}, {'1', false}, kOff}, q},
      // Setting a slot again replaces its access field rather than adding to it.
      {kSet, 1, p, Breakpoint::Write, {{'0', true}, {'1', true}, {'1', false}, kOff}, p},
      // I/O-port breakpoints are refused: nothing changes.
      {kSet, 3, q, Breakpoint::IoAccess, {{'0', true}, {'1', true}, {'1', false}, kOff}, 0},
      // Only the low two bits of the access value count: 7 is read-write.
      {kSet, 2, q, 7, {{'0', true}, {'1', true}, {'3', true}, kOff}, q},
      {kClear, 0, 0, 0, {{'0', false}, {'1', true}, {'3', true}, kOff}, f},
      // Indices outside 0-3 do nothing.
      {kSet, 4, p, Breakpoint::Write, {{'0', false}, {'1', true}, {'3', true}, kOff}, 0},
      {kSet, -1, p, Breakpoint::Write, {{'0', false}, {'1', true}, {'3', true}, kOff}, 0},
      {kClear, 4, 0, 0, {{'0', false}, {'1', true}, {'3', true}, kOff}, 0},
      {kClear, 1, 0, 0, {{'0', false}, {'1', false}, {'3', true}, kOff}, p},
      {kClear, 2, 0, 0, {{'0', false}, {'1', false}, {'3', false}, kOff}, q},
  };
  const Breakpoint::Registers before = Breakpoint::GetRegisters();
  OnFreshThread([&] {
    Breakpoint::Registers start = Breakpoint::GetRegisters();
    EXPECT_EQ(start.control, 0u);
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
      const Step& step = steps[i];
      SCOPED_TRACE(testing::Message() << "step " << i);
      if (step.op == kSet) {
        Breakpoint::Set(step.index, reinterpret_cast<void*>(step.address), static_cast<Breakpoint::Access>(step.access));
      } else {
        Breakpoint::Clear(step.index);
      }
      Breakpoint::Registers now = Breakpoint::GetRegisters();
      EXPECT_EQ(now.control, Dr7(step.after)) << std::hex << now.control;
      if (step.index >= 0 && step.index < Breakpoint::kSlots) {
        EXPECT_EQ(now.address[step.index], step.slotAddress);
      }
      // The length fields stay 0 (one byte) throughout.
      for (int slot = 0; slot < Breakpoint::kSlots; ++slot) {
        EXPECT_EQ((now.control >> Breakpoint::LengthShift(slot)) & 3u, 0u);
      }
    }
  });
  // Another thread's registers are its own.
  const Breakpoint::Registers after = Breakpoint::GetRegisters();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  EXPECT_FALSE(Yr::InDebugger());
}

#ifdef _WIN32
// Hits caught by a vectored handler of the test's own, first in the chain, in place of the
// crash handler: a hit is a single-step exception whose debug status names the slot; an
// instruction breakpoint stops before the instruction, so the thread goes on with the
// resume flag set.
struct HitRecorder {
  static inline std::atomic<int> hits{0};
  static inline std::atomic<uintptr_t> lastAddress{0};
  static LONG WINAPI Handler(EXCEPTION_POINTERS* pointers) {
    constexpr DWORD kSlotHits = 0xF;
    constexpr DWORD kResumeFlag = 0x10000;
    if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_SINGLE_STEP) return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT& context = *pointers->ContextRecord;
    int slot = 0;
    while (slot < Breakpoint::kSlots && !(context.Dr6 & (1u << slot))) ++slot;
    if (slot == Breakpoint::kSlots || !(context.Dr6 & kSlotHits)) return EXCEPTION_CONTINUE_SEARCH;
    ++hits;
    const decltype(context.Dr0) addresses[] = {context.Dr0, context.Dr1, context.Dr2, context.Dr3};
    lastAddress = static_cast<uintptr_t>(addresses[slot]);
    context.Dr6 = 0;
    context.EFlags |= kResumeFlag;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  HitRecorder() {
    hits = 0;
    mHandler = AddVectoredExceptionHandler(1, &Handler);
  }
  ~HitRecorder() { RemoveVectoredExceptionHandler(mHandler); }
  void* mHandler;
};

// A death test runs the whole test again in a process of its own: the directory is named
// after the test, so that both processes find the same one.
std::string NewTemporaryDirectory() {
  char base[MAX_PATH];
  DWORD length = GetTempPathA(sizeof base, base);
  std::string path = std::string(base, length) + "yr-breakpoint-" +
                     testing::UnitTest::GetInstance()->current_test_info()->name();
  CreateDirectoryA(path.c_str(), nullptr);
  std::error_code ignored;
  std::filesystem::remove(path + "/report.pcrpt", ignored);
  return path;
}
// The facts the crash handler reads from a hit.
constexpr Yr::Platform::SignalFacts kHitFacts = {5, static_cast<int>(0x80000004u), 0, false};
#else
// Hits caught by a SIGTRAP handler of the test's own, in place of the crash handler.
struct HitRecorder {
  static inline std::atomic<int> hits{0};
  static inline std::atomic<uintptr_t> lastAddress{0};
  static void Handler(int, siginfo_t* info, void*) {
    constexpr int kTrapPerf = 6;
    if (info->si_code != kTrapPerf) return;
    ++hits;
    lastAddress = reinterpret_cast<uintptr_t>(info->si_addr);
  }
  HitRecorder() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = &Handler;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGTRAP, &action, &mPrevious);
    hits = 0;
  }
  ~HitRecorder() { sigaction(SIGTRAP, &mPrevious, nullptr); }
  struct sigaction mPrevious;
};

std::string NewTemporaryDirectory() {
  std::string dir = (std::filesystem::temp_directory_path() / "yr-breakpoint-XXXXXX").string();
  return mkdtemp(dir.data()) ? dir : std::string();
}
// The facts the crash handler reads from a hit: SIGTRAP from a perf event.
constexpr Yr::Platform::SignalFacts kHitFacts = {SIGTRAP, 6, 0, false};
#endif

TEST(BreakpointTest, HitsStopTheSettingThreadOnly) {
  if (!Breakpoint::HitsDelivered()) GTEST_SKIP() << Breakpoint::WhyNotDelivered() << "; real hits are not tested";
  OnFreshThread([] {
    HitRecorder recorder;
    Breakpoint::Set(2, AddressOf(gWatched), Breakpoint::Write);
    gWatched = 1;
    EXPECT_EQ(HitRecorder::hits.load(), 1);
    EXPECT_EQ(HitRecorder::lastAddress.load(), reinterpret_cast<uintptr_t>(AddressOf(gWatched)));
    int read = gWatched;  // a write breakpoint ignores reads
    EXPECT_EQ(read, 1);
    gOther = 1;  // and other addresses
    EXPECT_EQ(HitRecorder::hits.load(), 1);
    std::thread([] { gWatched = 2; }).join();  // another thread writes freely
    EXPECT_EQ(HitRecorder::hits.load(), 1);
    Breakpoint::Clear(2);
    gWatched = 3;
    EXPECT_EQ(HitRecorder::hits.load(), 1);

    Breakpoint::Set(0, reinterpret_cast<void*>(&WatchedFunction), Breakpoint::Execute);
    EXPECT_EQ(WatchedFunction(4), 5);  // the trap comes on entry, and the call carries on
    EXPECT_EQ(HitRecorder::hits.load(), 2);
    Breakpoint::Clear(0);

    Breakpoint::Set(1, AddressOf(gOther), Breakpoint::ReadWrite);
    read = gOther;
    EXPECT_EQ(HitRecorder::hits.load(), 3);
    Breakpoint::Clear(1);
  });
}

// The hit of the death test comes from a thread of its own, in a function without
// sanitizer frames: the crash handler's stack walk then reads only plain frames.
__attribute__((noinline, no_sanitize("address"))) void WriteWatchedUnderBreakpoint() {
  Breakpoint::Set(2, AddressOf(gWatched), Breakpoint::Write);
  gWatched = 7;
}

TEST(BreakpointDeathTest, AHitReachesTheCrashHandlerAsASingleStep) {
  // The code the handler gives a breakpoint's signal, whether or not this machine delivers it.
  EXPECT_EQ(Yr::Platform::ExceptionCodeFor(kHitFacts, 0), Yr::Platform::ExceptionCode::kSingleStep);
  if (!Breakpoint::HitsDelivered()) GTEST_SKIP() << Breakpoint::WhyNotDelivered() << "; real hits are not tested";

  std::string dir = NewTemporaryDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EXIT(
      {
        Yr::BugReport::SetBasePath(dir.c_str());
        Yr::BugReport::SetCrashDumpFormat(0);
        std::thread(&WriteWatchedUnderBreakpoint).join();
        _exit(0);
      },
      testing::ExitedWithCode(1), "");
  std::string report = YrTest::ReadTextFile(dir + "/report.pcrpt");
  EXPECT_NE(report.find("Exception 80000004  EXCEPTION_SINGLE_STEP"), std::string::npos) << report;
  std::filesystem::remove_all(dir);
}

}  // namespace
