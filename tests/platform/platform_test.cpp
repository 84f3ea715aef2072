// The process-wide facilities of the platform layer: the aligned heap, the recursive mutex,
// the environment and the debug sink's file.
#include "system/platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/portable.h"
#include "tests/thread_sanitizer.h"

namespace {

using namespace Yr;

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(AlignedHeapTest, BlocksAreAlignedSizedAndWritable) {
  const size_t sizes[] = {0, 1, 7, 16, 100, 256, 512, 4096, 65536 + 3, 1 << 20};
  const size_t alignments[] = {1, 2, sizeof(void*), 16, 64, 256, 4096};
  for (size_t alignment : alignments) {
    for (size_t size : sizes) {
      SCOPED_TRACE(testing::Message() << size << " bytes at " << alignment);
      const size_t effective = alignment < sizeof(void*) ? sizeof(void*) : alignment;
      // Both ways in: the library's inline fast path and the out-of-line call.
      void* blocks[] = {Platform::AlignedAllocOrStop(size, alignment), Platform::AlignedAlloc(size, alignment)};
      for (void* block : blocks) {
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % effective, 0u);
        EXPECT_GE(Platform::AlignedUsableSize(block), size);
        std::memset(block, 0xA5, size);
      }
      Platform::AlignedFreeInline(blocks[0]);
      Platform::AlignedFree(blocks[1]);
    }
  }
  EXPECT_EQ(Platform::AlignedUsableSize(nullptr), 0u);
  Platform::AlignedFree(nullptr);
  Platform::AlignedFreeInline(nullptr);
#ifdef _WIN32
  EXPECT_STREQ(Platform::DefaultAllocatorName(), "system");
#endif
}

// Requests the address space cannot hold are refused, never served by a block that a
// wrapped-around size calculation made small.
TEST(AlignedHeapTest, ImpossibleRequestsAreRefused) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reports an impossible request itself";
#endif
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("its allocator reports it itself");
  const size_t sizes[] = {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX - 4 * sizeof(void*), SIZE_MAX - 4096, SIZE_MAX / 2 + 1,
                          sizeof(void*) == 4 ? size_t{0xFFFFFFF0u} : SIZE_MAX - 100};
  for (size_t size : sizes) {
    for (size_t alignment : {size_t{8}, size_t{64}, size_t{4096}}) {
      EXPECT_EQ(Platform::AlignedAlloc(size, alignment), nullptr) << size << " at " << alignment;
    }
  }
}

TEST(AlignedHeapTest, ExhaustionIsAFatalLineNamingTheRequest) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reports an impossible request itself";
#endif
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("its allocator reports it itself");
  const size_t huge = SIZE_MAX / 2;
  EXPECT_DEATH(Platform::AlignedAllocOrStop(huge, 64),
               "Yr: fatal: out of memory: " + std::to_string(huge) + " bytes at alignment 64 could not be allocated");
}

TEST(MutexTest, RecursiveForTheOwnerExclusiveForOthers) {
  Platform::MutexStorage mutex;
  Platform::MutexInit(mutex);
  Platform::MutexLock(mutex);
  ASSERT_TRUE(Platform::MutexTryLock(mutex));  // the owner may enter again
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = Platform::MutexTryLock(mutex); }).join();
  EXPECT_FALSE(otherGotIt);
  Platform::MutexUnlock(mutex);
  std::thread([&] { otherGotIt = Platform::MutexTryLock(mutex); }).join();
  EXPECT_FALSE(otherGotIt) << "still held once";
  Platform::MutexUnlock(mutex);

  // Free again: another thread takes it, and the owner waits until it lets go.
  std::atomic<int> stage{0};
  std::thread other([&] {
    Platform::MutexLock(mutex);
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
    Platform::MutexUnlock(mutex);
  });
  while (stage.load() != 1) std::this_thread::yield();
  EXPECT_FALSE(Platform::MutexTryLock(mutex));
  stage = 2;
  Platform::MutexLock(mutex);
  Platform::MutexUnlock(mutex);
  other.join();
  Platform::MutexDestroy(mutex);
}

TEST(EnvironmentTest, ReadsWhatTheProcessSet) {
  YrTest::SetEnvironment("YR_PLATFORM_TEST_VALUE", "a value");
  ASSERT_NE(Platform::Environment("YR_PLATFORM_TEST_VALUE"), nullptr);
  EXPECT_STREQ(Platform::Environment("YR_PLATFORM_TEST_VALUE"), "a value");
  EXPECT_EQ(Platform::Environment("YR_PLATFORM_TEST_NEVER_SET"), nullptr);
}

// The sink is chosen at a process's first write, so the writes happen in a child that has
// written nothing before and sees the variable set (this process never writes to the sink).
void WritePiecesAndExit() {
  Platform::DebuggerOutput("one ");
  Platform::DebuggerOutputBytes("two\0hidden", 3);
  Platform::DebuggerOutput(nullptr);
  Platform::DebuggerOutputBytes(" three\n", 7);
  std::string big(3000, 'x');  // longer than any slice the debugger's channel takes
  big += '\n';
  Platform::DebuggerOutputBytes(big.data(), big.size());
  std::exit(0);
}

TEST(DebugSinkTest, FileNamedByTheVariableIsAppendedTo) {
  const std::string path = testing::TempDir() + "yr_debug_sink_test.txt";
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << "before\n";
  }
  YrTest::SetEnvironment("YR_DEBUG_OUTPUT", path.c_str());
  // A child that starts afresh (Windows) runs this body up to here again before it writes:
  // what the file holds before is the same for it.
  EXPECT_EXIT(WritePiecesAndExit(), testing::ExitedWithCode(0), "");
  YrTest::UnsetEnvironment("YR_DEBUG_OUTPUT");
  EXPECT_EQ(ReadFile(path), "before\none two three\n" + std::string(3000, 'x') + "\n");
  std::remove(path.c_str());
}

// A capture takes every piece, one call each, instead of the sink.
TEST(DebugSinkTest, CaptureSeesEachPieceOnce) {
  struct Seen {
    std::string text;
    int calls = 0;
  } seen;
  auto capture = [](void* context, const char* bytes, size_t count) {
    auto* s = static_cast<Seen*>(context);
    s->text.append(bytes, count);
    ++s->calls;
  };
  const Platform::DebugCaptureSlot previous = Platform::SetDebugCapture({capture, &seen});
  Platform::DebuggerOutput("alpha");
  Platform::DebuggerOutputBytes("beta-gamma", 4);
  const Platform::DebugCaptureSlot mine = Platform::SetDebugCapture(previous);
  EXPECT_EQ(seen.text, "alphabeta");
  EXPECT_EQ(seen.calls, 2);
  EXPECT_EQ(mine.context, &seen);
}

}  // namespace
