#include "system/io/file.h"

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "system/io/mount.h"
#include "system/platform/completion_platform.h"
#include "tests/io/temp_dir.h"

namespace Yr::Platform {
void PrintTo(PortBackend backend, std::ostream* out) { *out << (backend == PortBackend::kRing ? "io_uring" : "threads"); }
}  // namespace Yr::Platform

namespace {

using Yr::File;
using Yr::Platform::PortBackend;

constexpr size_t kPage = 4096;
// Not a multiple of the block size: the last block of the file is short.
constexpr size_t kFileBytes = 256 * 1024 + 1234;

unsigned char ByteAt(uint64_t position) { return static_cast<unsigned char>(position * 7 + position / 251); }

struct FreeDeleter {
#if defined(_WIN32)
  void operator()(unsigned char* block) const { ::_aligned_free(block); }
#else
  void operator()(unsigned char* block) const { ::free(block); }
#endif
};
using Buffer = std::unique_ptr<unsigned char[], FreeDeleter>;

Buffer PageAligned(size_t bytes) {
  size_t rounded = (bytes + kPage - 1) / kPage * kPage;
#if defined(_WIN32)
  auto* block = static_cast<unsigned char*>(::_aligned_malloc(rounded + kPage, kPage));
#else
  auto* block = static_cast<unsigned char*>(::aligned_alloc(kPage, rounded + kPage));
#endif
  std::memset(block, 0xEE, rounded + kPage);
  return Buffer(block);
}

// Runs every case on both completion back ends.
class FileTest : public YrTest::TempDirTest, public ::testing::WithParamInterface<PortBackend> {
 protected:
  void SetUp() override {
    YrTest::TempDirTest::SetUp();
    if (GetParam() == PortBackend::kRing && !Yr::Platform::RingAvailable()) {
      GTEST_SKIP() << "io_uring is not available in this process; the thread-backed queue runs these cases";
    }
    mPrevious = Yr::Platform::SetPortBackend(GetParam());
    mName = At("data.bin");
    std::string bytes(kFileBytes, '\0');
    for (size_t i = 0; i < kFileBytes; ++i) bytes[i] = static_cast<char>(ByteAt(i));
    WriteText("data.bin", bytes);
  }
  void TearDown() override {
    Yr::Platform::SetPortBackend(mPrevious);
    YrTest::TempDirTest::TearDown();
  }

  void OpenData(File& file, File::FileCompletion& completion) {
    ASSERT_TRUE(file.Open(mName.c_str(), completion));
    ASSERT_TRUE(completion.HasPort());
    ASSERT_EQ(Yr::Platform::PortBackendOf(completion.GetPort()), GetParam());
  }

  static bool Matches(const unsigned char* buffer, uint64_t offset, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
      if (buffer[i] != ByteAt(offset + i)) return false;
    }
    return true;
  }

  PortBackend mPrevious = PortBackend::kAuto;
  std::string mName;
};

TEST_P(FileTest, TwoReadsAtZeroAnd64KiBCompleteWithTheFileBytes) {
  File file;
  File::FileCompletion completion;
  OpenData(file, completion);
  constexpr unsigned int kSize = 65536;
  Buffer first = PageAligned(kSize), second = PageAligned(kSize);
  File::FileAsync a, b;
  EXPECT_FALSE(Yr::Platform::EventIsSet(a.GetEvent()));
  ASSERT_TRUE(file.Read(first.get(), kSize, 0, a));
  ASSERT_TRUE(file.Read(second.get(), kSize, kSize, b));
  EXPECT_EQ(b.GetOffset(), kSize);
  EXPECT_EQ(b.GetOffsetHigh(), 0u);
  EXPECT_TRUE(completion.Wait1(a));
  EXPECT_TRUE(completion.Wait1(b));
  for (File::FileAsync* request : {&a, &b}) {
    EXPECT_EQ(request->GetStatus(), Yr::kAsyncOk);
    EXPECT_EQ(request->GetTransferred(), kSize);
    EXPECT_TRUE(Yr::Platform::EventIsSet(request->GetEvent()));
  }
  EXPECT_TRUE(Matches(first.get(), 0, kSize));
  EXPECT_TRUE(Matches(second.get(), kSize, kSize));
  // Nothing is left: a poll finds nothing and a short wait gives up after its time.
  EXPECT_FALSE(completion.Wait(a, 0));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(completion.Wait(a, 30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
  // A new read resets the event until its completion is taken.
  ASSERT_TRUE(file.Read(first.get(), kSize, 0, a));
  EXPECT_EQ(a.GetStatus(), Yr::kAsyncPending);
  EXPECT_FALSE(Yr::Platform::EventIsSet(a.GetEvent()));
  EXPECT_TRUE(completion.Wait(a, 10000));
  EXPECT_TRUE(Yr::Platform::EventWait(a.GetEvent(), 0));
}

TEST_P(FileTest, WaitBeforeAnyReadAndReadsOnAFailedFileGiveFalse) {
  File file;
  File::FileCompletion completion;
  OpenData(file, completion);
  File::FileAsync request;
  EXPECT_FALSE(completion.Wait(request, 0));

  File missing;
  File::FileCompletion none;
  EXPECT_FALSE(missing.Open(At("missing.bin").c_str(), none));
  EXPECT_FALSE(none.HasPort());
  EXPECT_EQ(missing.GetError(), Yr::kFileOk);  // a refused open records nothing
  Buffer buffer = PageAligned(kPage);
  EXPECT_FALSE(missing.Read(buffer.get(), kPage, 0, request));
  EXPECT_EQ(request.GetStatus(), Yr::kAsyncRefused);
  EXPECT_FALSE(none.Wait(request, 0));
  EXPECT_FALSE(none.Wait1(request));  // no port: nothing to wait for, no hang

  // A mount name without mount points records state 1; then every open fails at once.
  File unmounted;
  EXPECT_FALSE(unmounted.Open(Yr::StringId("file-test-no-such-mount"), "data.bin", none));
  EXPECT_EQ(unmounted.GetError(), Yr::kFileErrorNoMount);
  EXPECT_FALSE(unmounted.Open(mName.c_str(), none));
  EXPECT_FALSE(unmounted.Read(buffer.get(), kPage, 0, request));
}

TEST_P(FileTest, OpensThroughAMount) {
  Yr::StringId mount("file-test-mount");
  Yr::IO::Mount(mount, Yr::Path((mDir.generic_string() + "/").c_str()), false, false);
  File file;
  File::FileCompletion completion;
  ASSERT_TRUE(file.Open(mount, "data.bin", completion));
  EXPECT_NE(file.GetMount(), nullptr);
  Buffer buffer = PageAligned(kPage);
  File::FileAsync request;
  ASSERT_TRUE(file.Read(buffer.get(), kPage, kPage, request));
  EXPECT_TRUE(completion.Wait1(request));
  EXPECT_TRUE(Matches(buffer.get(), kPage, kPage));
  file.Close();
  Yr::IO::Mount(mount, Yr::Path(""), false, false);
}

// Many reads of every shape in flight at once: aligned and not, short at the end of the
// file, past the end, empty. Each completes exactly once with what the file holds there.
TEST_P(FileTest, ManyReadsInFlightEachCompleteOnceWithTheFileBytes) {
  File file;
  File::FileCompletion completion;
  OpenData(file, completion);
  struct Case {
    size_t bufferShift;  // bytes past a page boundary
    unsigned int size;
    unsigned int offset;
  };
  std::vector<Case> cases = {
      {0, 65536, 0},
      {0, kPage, static_cast<unsigned int>(kFileBytes / kPage * kPage)},  // the short last block
      {0, 2 * kPage, static_cast<unsigned int>(kFileBytes / kPage * kPage - kPage)},
      {0, kPage, static_cast<unsigned int>(kFileBytes + kPage)},  // past the end
      {0, 0, 0},                                                  // nothing asked, nothing read
      {1, 100, 0},                                                // unaligned buffer
      {0, 100, 3},                                                // unaligned offset and size
      {17, 5000, 4097},
  };
  std::mt19937 random(1234);
  while (cases.size() < 96) {
    unsigned int offset = static_cast<unsigned int>(random() % (kFileBytes / kPage)) * kPage;
    unsigned int size = static_cast<unsigned int>(1 + random() % 16) * kPage;
    cases.push_back({0, size, offset});
  }
  std::vector<Buffer> buffers;
  std::vector<File::FileAsync> requests(cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    buffers.push_back(PageAligned(cases[i].size + cases[i].bufferShift));
    ASSERT_TRUE(file.Read(buffers[i].get() + cases[i].bufferShift, cases[i].size, cases[i].offset, requests[i])) << i;
  }
  size_t succeeded = 0;
  for (size_t i = 0; i < cases.size(); ++i) succeeded += completion.Wait(requests[0], 20000) ? 1 : 0;
  EXPECT_FALSE(completion.Wait(requests[0], 0));  // exactly one completion per read

  size_t expectedSuccesses = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(testing::Message() << "read " << i << ": " << c.size << " bytes at " << c.offset);
    const File::FileAsync& request = requests[i];
    EXPECT_TRUE(Yr::Platform::EventIsSet(request.GetEvent()));
    if (c.size != 0 && c.offset >= kFileBytes) {
      EXPECT_EQ(request.GetStatus(), Yr::kAsyncEndOfFile);
      continue;
    }
    ++expectedSuccesses;
    size_t expected = std::min<size_t>(c.size, kFileBytes - c.offset);
    EXPECT_EQ(request.GetStatus(), Yr::kAsyncOk);
    EXPECT_EQ(request.GetTransferred(), expected);
    EXPECT_TRUE(Matches(buffers[i].get() + c.bufferShift, c.offset, expected));
  }
  EXPECT_EQ(succeeded, expectedSuccesses);
}

TEST_P(FileTest, WaitsFromOtherThreadsTakeEachCompletionOnce) {
  File file;
  File::FileCompletion completion;
  OpenData(file, completion);
  constexpr int kReads = 64;
  constexpr int kWaiters = 3;
  std::vector<Buffer> buffers;
  std::vector<File::FileAsync> requests(kReads);
  std::atomic<int> taken{0};
  std::vector<std::thread> waiters;
  for (int w = 0; w < kWaiters; ++w) {
    waiters.emplace_back([&] {
      File::FileAsync ignored;
      while (completion.Wait(ignored, 10000)) ++taken;
    });
  }
  for (int i = 0; i < kReads; ++i) {
    buffers.push_back(PageAligned(kPage));
    ASSERT_TRUE(file.Read(buffers[i].get(), kPage, static_cast<unsigned int>(i) * kPage, requests[i]));
  }
  for (int i = 0; i < kReads; ++i) EXPECT_TRUE(Yr::Platform::EventWait(requests[i].GetEvent(), 10000)) << i;
  // Closing ends the waits still asleep: they return false at once instead of timing out.
  auto start = std::chrono::steady_clock::now();
  file.Close();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(taken.load(), kReads);
  for (int i = 0; i < kReads; ++i) EXPECT_TRUE(Matches(buffers[i].get(), static_cast<uint64_t>(i) * kPage, kPage));
}

// Closing the file with reads in flight finishes them before the descriptor goes; every
// holder of the port then sees it closed, and the last holder frees it.
TEST_P(FileTest, CloseFinishesReadsInFlightAndClosesThePortForEveryHolder) {
  File file;
  File::FileCompletion completion;
  OpenData(file, completion);
  File::FileCompletion copy(completion);
  File::FileCompletion assigned;
  assigned = copy;
  EXPECT_EQ(assigned.GetPort(), completion.GetPort());

  constexpr int kReads = 40;
  std::vector<Buffer> buffers;
  std::vector<File::FileAsync> requests(kReads);
  for (int i = 0; i < kReads; ++i) {
    buffers.push_back(PageAligned(2 * kPage));
    ASSERT_TRUE(file.Read(buffers[i].get(), 2 * kPage, static_cast<unsigned int>(i) * kPage, requests[i]));
  }
  // One of them through a copy: copies reach the same port.
  EXPECT_TRUE(copy.Wait(requests[0], 10000));
  file.Close();
  for (int i = 0; i < kReads; ++i) {
    EXPECT_NE(requests[i].GetStatus(), Yr::kAsyncPending) << i;
    EXPECT_TRUE(Yr::Platform::EventIsSet(requests[i].GetEvent())) << i;
    EXPECT_TRUE(Matches(buffers[i].get(), static_cast<uint64_t>(i) * kPage, 2 * kPage)) << i;
  }
  File::FileAsync late;
  EXPECT_FALSE(file.Read(buffers[0].get(), kPage, 0, late));
  for (File::FileCompletion* holder : {&completion, &copy, &assigned}) {
    EXPECT_FALSE(holder->Wait(late, 0));
    EXPECT_FALSE(holder->Wait1(late));  // closed: returns at once
  }
  copy.Release();
  EXPECT_FALSE(copy.HasPort());
  EXPECT_TRUE(completion.HasPort());
}

TEST_P(FileTest, ReopeningMakesANewPortAndClosesTheOldOne) {
  File file;
  File::FileCompletion first;
  OpenData(file, first);
  File::FileCompletion keep(first);
  File::FileCompletion second;
  OpenData(file, second);
  EXPECT_NE(second.GetPort(), keep.GetPort());
  Buffer buffer = PageAligned(kPage);
  File::FileAsync request;
  ASSERT_TRUE(file.Read(buffer.get(), kPage, 0, request));
  EXPECT_FALSE(keep.Wait1(request));  // the old port is closed
  EXPECT_TRUE(second.Wait1(request));
  // Opening into a completion that holds a port lets go of the old one.
  OpenData(file, second);
  EXPECT_TRUE(second.HasPort());
}

INSTANTIATE_TEST_SUITE_P(Backends, FileTest, testing::Values(PortBackend::kRing, PortBackend::kThreads),
                         [](const testing::TestParamInfo<PortBackend>& info) {
                           return std::string(info.param == PortBackend::kRing ? "Ring" : "Threads");
                         });

TEST(FileAsyncTest, CopiesShareTheEventAndCarryAll64Bytes) {
  File::FileAsync original;
  std::memset(original.UserBytes(), 0x5A, 64 - (reinterpret_cast<uintptr_t>(original.UserBytes()) -
                                                reinterpret_cast<uintptr_t>(&original)));
  File::FileAsync assigned;
  intptr_t ownEvent = assigned.GetEvent();
  EXPECT_NE(ownEvent, original.GetEvent());
  assigned = original;
  EXPECT_EQ(std::memcmp(&assigned, &original, sizeof original), 0);
  {
    File::FileAsync copy(original);
    EXPECT_EQ(std::memcmp(&copy, &original, sizeof original), 0);
    Yr::Platform::EventSet(copy.GetEvent());
  }  // the copy goes; the shared event stays usable
  EXPECT_TRUE(Yr::Platform::EventIsSet(original.GetEvent()));
  EXPECT_TRUE(Yr::Platform::EventIsSet(assigned.GetEvent()));
  assigned = assigned;
  Yr::Platform::EventReset(assigned.GetEvent());
  EXPECT_FALSE(Yr::Platform::EventWait(original.GetEvent(), 0));
  EXPECT_FALSE(Yr::Platform::EventWait(original.GetEvent(), 20));
  std::thread setter([&] { Yr::Platform::EventSet(original.GetEvent()); });
  EXPECT_TRUE(Yr::Platform::EventWait(assigned.GetEvent(), Yr::Platform::kWaitForever));
  setter.join();
}

}  // namespace
