// Allocation tracing: records shared per site and size, statistics and size classes, the
// report's exact lines, bad frees, the depth rules, and tracing through a hook on 4 threads.
#include "system/memory/alloc_trace.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "system/debug/debug_output.h"
#include "system/memory/allocator.h"
#include "system/options/options.h"
#include "tests/debug/debug_capture.h"

namespace {

using namespace Yr;
using Detail::GetAllocTraceState;

// Fake block addresses: tracing never touches the blocks themselves.
void* Block(uintptr_t n) { return reinterpret_cast<void*>(n * 64); }

// The allocation path as a hook sees it: the site, the entry point, the hook's method.
__attribute__((noinline)) void HookAlloc(void* p, unsigned int size) {
  Memory::AllocTrace(p, size);
  asm volatile("");
}
__attribute__((noinline)) void EntryAlloc(void* p, unsigned int size) {
  HookAlloc(p, size);
  asm volatile("");
}
__attribute__((noinline)) void HookFree(void* p) {
  Memory::FreeTrace(p);
  asm volatile("");
}
__attribute__((noinline)) void EntryFree(void* p) {
  HookFree(p);
  asm volatile("");
}
__attribute__((noinline)) void AllocSiteA(void* p, unsigned int size) {
  EntryAlloc(p, size);
  asm volatile("");
}
__attribute__((noinline)) void AllocSiteB(void* p, unsigned int size) {
  EntryAlloc(p, size);
  asm volatile("");
}
__attribute__((noinline)) void FreeSite(void* p) {
  EntryFree(p);
  asm volatile("");
}

class AllocTraceTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    Options::Set("--debug.output");
    Debug::Init();
  }
  void SetUp() override { Memory::SetAllocTrace(Detail::kDefaultTraceDepth, 0); }
  void TearDown() override { Memory::SetAllocTrace(Detail::kDefaultTraceDepth, 0); }

  // The report's lines (each piece written is one line ending in a line feed).
  static std::vector<std::string> Lines(const YrTest::DebugCapture& capture) {
    std::vector<std::string> lines;
    for (const std::string& piece : capture.Pieces()) {
      EXPECT_FALSE(piece.empty());
      if (!piece.empty()) {
        EXPECT_EQ(piece.back(), '\n') << piece;
      }
      lines.push_back(piece.substr(0, piece.size() - 1));
    }
    return lines;
  }
  static size_t CountLines(const std::vector<std::string>& lines, const std::string& line) {
    size_t count = 0;
    for (const std::string& each : lines) count += each == line;
    return count;
  }
};

TEST_F(AllocTraceTest, SizeClassesAndRecordSize) {
  EXPECT_EQ(Detail::AllocTraceSizeClass(1), 0u);
  EXPECT_EQ(Detail::AllocTraceSizeClass(16), 0u);
  EXPECT_EQ(Detail::AllocTraceSizeClass(17), 1u);
  EXPECT_EQ(Detail::AllocTraceSizeClass(32), 1u);
  EXPECT_EQ(Detail::AllocTraceSizeClass(33), 2u);
  EXPECT_EQ(Detail::AllocTraceSizeClass(1024), 6u);
  EXPECT_EQ(Detail::AllocTraceSizeClass(2048), 7u);
  EXPECT_EQ(Detail::AllocTraceSizeClass(2049), Detail::kSizeClassCount);
  EXPECT_EQ(Detail::AllocTraceSizeClass(1u << 30), Detail::kSizeClassCount);
#if UINTPTR_MAX == 0xFFFFFFFFu
  EXPECT_EQ(Detail::TraceRecordSize(32), 24u + 4u * 33u);
#endif
  EXPECT_EQ(Detail::TraceRecordSize(0) + sizeof(void*) * 32, Detail::TraceRecordSize(32));

  for (unsigned int size : {16u, 17u, 2048u, 2049u}) AllocSiteA(Block(size), size);
  Detail::AllocTraceState state = GetAllocTraceState();
  EXPECT_EQ(state.sizeClasses[0], 1u);
  EXPECT_EQ(state.sizeClasses[1], 1u);
  EXPECT_EQ(state.sizeClasses[7], 1u);
  EXPECT_EQ(state.overflow, 1u);
}

TEST_F(AllocTraceTest, ZeroSizeAndDisabledTracingChangeNothing) {
  AllocSiteA(Block(1), 0);
  Memory::AllocTraceDisable();
  AllocSiteA(Block(2), 8);
  FreeSite(Block(3));  // would be a bad free while on
  EXPECT_TRUE(Memory::AllocTraceEnable() == false);
  Detail::AllocTraceState state = GetAllocTraceState();
  EXPECT_EQ(state.totalCount, 0u);
  EXPECT_EQ(state.sites, 0u);
  EXPECT_EQ(state.live, 0u);
  EXPECT_TRUE(Memory::sAllocTraceEnabled);
}

TEST_F(AllocTraceTest, SameSiteAndSizeShareOneRecord) {
  volatile uintptr_t twice = 2;  // a loop that stays a loop: one call site
  for (uintptr_t i = 1; i <= twice; ++i) AllocSiteA(Block(i), 24);
  AllocSiteA(Block(3), 40);  // same site, other size: its own record
  AllocSiteB(Block(4), 24);  // other site
  Detail::AllocTraceState state = GetAllocTraceState();
  EXPECT_EQ(state.sites, 3u);
  EXPECT_EQ(state.live, 4u);
  {
    YrTest::DebugCapture capture;
    Memory::AllocTraceLog("ignored");
    std::vector<std::string> lines = Lines(capture);
    EXPECT_EQ(CountLines(lines, "Allocation size=24, count=2"), 1u);
    EXPECT_EQ(CountLines(lines, "Allocation size=24, count=1"), 1u);
    EXPECT_EQ(CountLines(lines, "Allocation size=40, count=1"), 1u);
  }
  FreeSite(Block(1));
  {
    YrTest::DebugCapture capture;
    Memory::AllocTraceLog(nullptr);
    EXPECT_EQ(CountLines(Lines(capture), "Allocation size=24, count=1"), 2u);
  }
  FreeSite(Block(2));
  {
    YrTest::DebugCapture capture;
    Memory::AllocTraceLog(nullptr);
    std::vector<std::string> lines = Lines(capture);
    EXPECT_EQ(CountLines(lines, "Allocation size=24, count=1"), 1u);  // only site B is left
    EXPECT_EQ(CountLines(lines, "Allocation size=24, count=2"), 0u);
  }
  state = GetAllocTraceState();
  EXPECT_EQ(state.live, 2u);
  EXPECT_EQ(state.freed, 2u);
}

TEST_F(AllocTraceTest, ReportLinesAndStatistics) {
  AllocSiteA(Block(1), 100);
  AllocSiteA(Block(2), 50);
  FreeSite(Block(1));
  AllocSiteB(Block(3), 3000);
  FreeSite(Block(3));
  Detail::AllocTraceState state = GetAllocTraceState();
  EXPECT_EQ(state.currentCount, 1u);
  EXPECT_EQ(state.currentBytes, 50u);
  EXPECT_EQ(state.peakCount, 2u);
  EXPECT_EQ(state.peakBytes, 3050u);
  EXPECT_EQ(state.totalCount, 3u);
  EXPECT_EQ(state.totalBytes, 3150u);

  YrTest::DebugCapture capture;
  Memory::AllocTraceLog(nullptr);
  std::vector<std::string> lines = Lines(capture);
  ASSERT_GE(lines.size(), 9u);
  // One live site: its heading, the compact stack, one line per address, an empty line.
  EXPECT_EQ(lines[0], "Allocation size=50, count=1");
  std::string compact = lines[1];
  ASSERT_GE(compact.size(), 2u + 5u);
  EXPECT_EQ(compact.substr(0, 2), "  ");
  size_t frames = (compact.size() - 2) / 5;
  for (size_t i = 0; i < frames; ++i) {
    std::string entry = compact.substr(2 + 5 * i, 5);
    EXPECT_EQ(entry[4], ',') << compact;
    for (int d = 0; d < 4; ++d) EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(entry[d])) && !std::islower(entry[d]));
  }
  ASSERT_GE(lines.size(), 2 + frames + 1 + 4);
  const std::string width = std::to_string(2 * sizeof(void*));
  // The trace's own frames and the reporting function (the hook) are left out: the stack
  // starts at the entry point that called the hook.
  EXPECT_NE(lines[2].find("alloc_trace_test.cpp("), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("EntryAlloc"), std::string::npos) << lines[2];
  bool siteNamed = false;
  for (size_t i = 0; i < frames; ++i) siteNamed = siteNamed || lines[2 + i].find("AllocSiteA") != std::string::npos;
  EXPECT_TRUE(siteNamed);
  for (size_t i = 0; i < frames; ++i) {
    const std::string& line = lines[2 + i];
    size_t open = line.rfind("  (");
    ASSERT_NE(open, std::string::npos) << line;
    EXPECT_EQ(line.size() - open, 3 + 2 * sizeof(void*) + 1) << line;
  }
  EXPECT_EQ(lines[2 + frames], "");
  std::vector<std::string> tail(lines.begin() + static_cast<long>(3 + frames), lines.end());
  std::vector<std::string> expected = {
      "Totals:",
      "  Current ..        1 -       50 bytes",
      "     Peek ..        2 -     3050 bytes",
      "    Total ..        3 -     3150 bytes",
      "     Size ..        1 - (64)",
      "     Size ..        1 - (128)",
      "     Size .. " + std::string("       1") + " - (>=2048)",
  };
  EXPECT_EQ(tail, expected);

  Memory::AllocTraceReset();
  state = GetAllocTraceState();
  EXPECT_EQ(state.peakBytes, 0u);
  EXPECT_EQ(state.totalCount, 0u);
  EXPECT_EQ(state.sites + state.live + state.freed, 0u);
  EXPECT_TRUE(Memory::sAllocTraceEnabled);
}

TEST_F(AllocTraceTest, DoubleFreeReportsBothStacksAndSwitchesTracingOff) {
  AllocSiteA(Block(7), 32);
  FreeSite(Block(7));
  YrTest::DebugCapture capture;
  FreeSite(Block(7));
  std::vector<std::string> lines = Lines(capture);
  char heading[64];
  std::snprintf(heading, sizeof heading, "Allocation already freed!: %0*" PRIXPTR, static_cast<int>(2 * sizeof(void*)),
                reinterpret_cast<uintptr_t>(Block(7)));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], heading);
  EXPECT_EQ(lines[1], "Allocation deleted from ..");
  EXPECT_EQ(CountLines(lines, "Last called here:"), 1u);
  // After it, the stack that freed the block the first time, with the block's size.
  size_t last = 0;
  while (last < lines.size() && lines[last] != "Last called here:") ++last;
  ASSERT_LT(last + 1, lines.size());
  EXPECT_EQ(lines[last + 1], "Allocation size=32, count=0");
  bool freeSiteNamed = false;
  for (size_t i = last + 1; i < lines.size(); ++i) freeSiteNamed = freeSiteNamed || lines[i].find("FreeSite") != std::string::npos;
  EXPECT_TRUE(freeSiteNamed);
  EXPECT_FALSE(Memory::sAllocTraceEnabled);
  // Nothing is counted for the bad free; tracing is back with AllocTraceEnable.
  EXPECT_EQ(GetAllocTraceState().currentCount, 0u);
  EXPECT_FALSE(Memory::AllocTraceEnable());
  EXPECT_TRUE(Memory::sAllocTraceEnabled);
}

TEST_F(AllocTraceTest, FreeOfANeverTracedBlockHasNothingAfterLastCalledHere) {
  YrTest::DebugCapture capture;
  FreeSite(Block(99));
  std::vector<std::string> lines = Lines(capture);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Allocation deleted from ..");
  EXPECT_EQ(lines.back(), "Last called here:");
  EXPECT_EQ(CountLines(lines, "Last called here:"), 1u);
  EXPECT_FALSE(Memory::sAllocTraceEnabled);
}

TEST_F(AllocTraceTest, DepthIsClampedAndZeroLeavesTracingUnset) {
  EXPECT_EQ(Memory::SetAllocTrace(500, 7), Detail::kDefaultTraceDepth);
  Detail::AllocTraceState state = GetAllocTraceState();
  EXPECT_EQ(state.depth, Detail::kMaxTraceDepth);
  EXPECT_EQ(state.value, 7u);
  EXPECT_TRUE(Memory::sAllocTraceEnabled);
  AllocSiteA(Block(1), 8);  // a deep record still works
  EXPECT_EQ(GetAllocTraceState().live, 1u);

  EXPECT_EQ(Memory::SetAllocTrace(0, 0), Detail::kMaxTraceDepth);
  EXPECT_FALSE(Memory::sAllocTraceEnabled);
  EXPECT_EQ(GetAllocTraceState().live, 0u);
  YrTest::DebugCapture capture;
  EXPECT_FALSE(Memory::AllocTraceEnable());
  EXPECT_EQ(capture.Joined(), "AllocTraceEnable: AllocTrace not initialized\n");
  EXPECT_FALSE(Memory::sAllocTraceEnabled);
  capture.Clear();
  Memory::AllocTraceLog(nullptr);  // off: prints nothing
  EXPECT_EQ(capture.Joined(), "");
}

// A hook that traces every allocation and free of the library's entry points. Its methods
// keep frames of their own: the trace leaves out exactly one frame for the hook, and an
// optimiser that sees the hook's type could otherwise inline it into the caller.
class TracingHook : public AllocatorHook {
 public:
  [[gnu::noinline]] void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    void* block = OrigAlignedMalloc(size, static_cast<int>(alignment), nullptr, 0);
    Memory::AllocTrace(block, size);
    return block;
  }
  [[gnu::noinline]] void AlignedFree(void* block) override {
    Memory::FreeTrace(block);
    OrigAlignedFree(block);
  }
  unsigned int GetAllocationSize(void* block, unsigned int alignment) override {
    return OrigGetAllocationSize(block, alignment);
  }
};

TEST_F(AllocTraceTest, FourThreadsAllocatingThroughAHook) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  TracingHook hook;
  AllocatorHook* previous = AllocatorHook::Install(&hook);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::vector<void*> held;
      for (int i = 0; i < kRounds; ++i) {
        held.push_back(_AlignedMalloc(static_cast<unsigned int>(16 + (i % 7) * 100 + t), 16, nullptr, 0));
        if (i % 3 == 2) {
          _AlignedFree(held.back());
          held.pop_back();
        }
      }
      for (void* block : held) _AlignedFree(block);
    });
  }
  for (std::thread& thread : threads) thread.join();
  AllocatorHook::Install(previous);
  Detail::AllocTraceState state = GetAllocTraceState();
  EXPECT_TRUE(Memory::sAllocTraceEnabled);  // no bad free was seen
  EXPECT_EQ(state.totalCount, static_cast<uint32_t>(kThreads * kRounds));
  EXPECT_EQ(state.currentCount, 0u);
  EXPECT_EQ(state.currentBytes, 0u);
  EXPECT_EQ(state.live, 0u);
  EXPECT_GE(state.peakCount, static_cast<uint32_t>(kRounds * 2 / 3));
  // Records start at the code that called the entry point, past the hook and the library.
  {
    std::vector<void*> kept;
    AllocatorHook::Install(&hook);
    kept.push_back(_AlignedMalloc(48, 16, nullptr, 0));
    AllocatorHook::Install(previous);
    YrTest::DebugCapture capture;
    Memory::AllocTraceLog(nullptr);
    std::vector<std::string> lines = Lines(capture);
    size_t heading = 0;
    while (heading < lines.size() && lines[heading] != "Allocation size=48, count=1") ++heading;
    ASSERT_LT(heading + 2, lines.size());
    EXPECT_NE(lines[heading + 2].find("TestBody"), std::string::npos) << lines[heading + 2];
    // The entry point is inlined into the test: the line named is the test's own call.
    EXPECT_NE(lines[heading + 2].find("alloc_trace_test.cpp("), std::string::npos) << lines[heading + 2];
    AllocatorHook::Install(&hook);
    _AlignedFree(kept[0]);
    AllocatorHook::Install(previous);
  }
  uint32_t classes = state.overflow;
  for (uint32_t count : state.sizeClasses) classes += count;
  EXPECT_EQ(classes, state.totalCount);
}

}  // namespace
