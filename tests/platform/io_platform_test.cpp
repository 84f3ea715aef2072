// The file, completion and socket facilities of the platform layer, through their own
// interfaces: what the file and tool-connection classes rely on, on every system.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "system/platform/completion_platform.h"
#include "system/platform/file_platform.h"
#include "system/platform/socket_platform.h"
#include "tests/io/temp_dir.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#endif

namespace {

namespace P = Yr::Platform;
using P::FileOpenMode;

class IoPlatformTest : public YrTest::TempDirTest {
 protected:
  std::vector<std::string> List(const std::string& pattern) {
    std::vector<std::string> names;
    bool listed = P::ListMatches(At(pattern).c_str(), [](void* context, const char* name) {
      static_cast<std::vector<std::string>*>(context)->push_back(name);
    }, &names);
    if (!listed) names.push_back("<unreadable>");
    std::sort(names.begin(), names.end());
    return names;
  }
};

// ---- Files -----------------------------------------------------------------------------------

TEST_F(IoPlatformTest, ShareModesRefuseAtOnceAndARefusedWriterTruncatesNothing) {
  struct Case {
    FileOpenMode holder;
    FileOpenMode second;
    bool opens;
  };
  const Case cases[] = {
      {FileOpenMode::kRead, FileOpenMode::kRead, true},
      {FileOpenMode::kRead, FileOpenMode::kWrite, false},
      {FileOpenMode::kWrite, FileOpenMode::kRead, false},
      {FileOpenMode::kWrite, FileOpenMode::kWrite, false},
  };
  const std::string name = At("shared.bin");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "held for " << (c.holder == FileOpenMode::kRead ? "reading" : "writing")
                                    << ", then opened for " << (c.second == FileOpenMode::kRead ? "reading" : "writing"));
    WriteText("shared.bin", "contents");
    P::FileHandle holder = P::FileOpen(name.c_str(), c.holder, false);
    ASSERT_NE(holder, P::kInvalidFileHandle);
    auto start = std::chrono::steady_clock::now();
    P::FileHandle second = P::FileOpen(name.c_str(), c.second, false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));  // refused, not waited
    EXPECT_EQ(second != P::kInvalidFileHandle, c.opens);
    P::FileClose(second);
    if (c.holder == FileOpenMode::kRead) {
      uint64_t size = 0;
      ASSERT_TRUE(P::FileSize(holder, &size));
      EXPECT_EQ(size, 8u);  // a refused writer left the reader's file whole
    }
    P::FileClose(holder);
  }
  // Once every holder is gone the writer gets the file, and only then is it emptied.
  P::FileHandle writer = P::FileOpen(name.c_str(), FileOpenMode::kWrite, false);
  ASSERT_NE(writer, P::kInvalidFileHandle);
  EXPECT_NE(writer, 0);
  uint64_t size = 1;
  EXPECT_TRUE(P::FileSize(writer, &size));
  EXPECT_EQ(size, 0u);
  P::FileClose(writer);
}

TEST_F(IoPlatformTest, DirectoriesMissingFilesAndNullNamesDoNotOpen) {
  ASSERT_TRUE(P::MakeDirectory(At("dir").c_str()));
  for (bool noBuffering : {false, true}) {
    EXPECT_EQ(P::FileOpen(At("dir").c_str(), FileOpenMode::kRead, noBuffering), P::kInvalidFileHandle);
    EXPECT_EQ(P::FileOpen(At("missing").c_str(), FileOpenMode::kRead, noBuffering), P::kInvalidFileHandle);
    EXPECT_EQ(P::FileOpen(nullptr, FileOpenMode::kRead, noBuffering), P::kInvalidFileHandle);
  }
  EXPECT_EQ(P::FileOpen(At("dir").c_str(), FileOpenMode::kWrite, false), P::kInvalidFileHandle);
  EXPECT_EQ(P::GetPathKind(At("dir").c_str()), P::PathKind::kDirectory);
  EXPECT_EQ(P::GetPathKind(At("missing").c_str()), P::PathKind::kMissing);
  EXPECT_EQ(P::GetPathKind(nullptr), P::PathKind::kMissing);
}

// The library's rule picks the names, not the system's: no matching of short names or of
// extensions by their first three letters, no folding of case.
TEST_F(IoPlatformTest, ListMatchesAppliesTheLibrarysOwnRule) {
  for (const char* name : {"page.htm", "page.html", "Upper.TXT", "lower.txt", "a.b.c", "noext"}) WriteText(name, "x");
  struct Case {
    const char* pattern;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"*.htm", {"page.htm"}},
      {"*.txt", {"lower.txt"}},
      {"*.TXT", {"Upper.TXT"}},
      {"*.*", {".", "..", "a.b.c", "lower.txt", "page.htm", "page.html", "Upper.TXT"}},
      {"*.", {".", ".."}},  // the system would take it for "no extension"
      {"noext", {"noext"}},
      {"?????", {"a.b.c", "noext"}},
      {"page.ht?", {"page.htm"}},
      {"*.c", {"a.b.c"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> expected = c.names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(List(c.pattern), expected) << c.pattern;
  }
  EXPECT_EQ(List("missing/*"), std::vector<std::string>{"<unreadable>"});
}

// ---- Completion ports --------------------------------------------------------------------

class PortTest : public IoPlatformTest {
 protected:
  static constexpr uint32_t kBytes = 64 * 1024 + 300;
  void SetUp() override {
    IoPlatformTest::SetUp();
    std::string bytes(kBytes, '\0');
    for (uint32_t i = 0; i < kBytes; ++i) bytes[i] = static_cast<char>(i * 13 + i / 256);
    WriteText("data.bin", bytes);
    mContents = bytes;
  }
  std::string mContents;
};

bool CountingSink(const P::PortCompletion& completion) { return completion.result >= 0; }

TEST_F(PortTest, RingPortsExistExactlyWhereTheRingIsAvailable) {
  P::FileHandle file = P::FileOpen(At("data.bin").c_str(), FileOpenMode::kRead, false);
  ASSERT_NE(file, P::kInvalidFileHandle);
  P::PortBackend previous = P::SetPortBackend(P::PortBackend::kRing);
  P::PortHandle ring = P::PortCreate(file, &CountingSink);
  EXPECT_EQ(ring != 0, P::RingAvailable());
  if (ring != 0) {
    EXPECT_EQ(P::PortBackendOf(ring), P::PortBackend::kRing);
  }
  P::PortRelease(ring);
  P::SetPortBackend(P::PortBackend::kThreads);
  P::PortHandle threads = P::PortCreate(file, &CountingSink);
  ASSERT_NE(threads, 0);
  EXPECT_EQ(P::PortBackendOf(threads), P::PortBackend::kThreads);
  P::PortRelease(threads);
  EXPECT_EQ(P::SetPortBackend(previous), P::PortBackend::kThreads);
  P::FileClose(file);
}

// Reads of every shape on an unbuffered file: those the uncached path would refuse take the
// cached one, and each completes once with the file's bytes.
TEST_F(PortTest, UnbufferedFilesServeReadsOfEveryShape) {
  P::FileHandle file = P::FileOpen(At("data.bin").c_str(), FileOpenMode::kRead, true);
  ASSERT_NE(file, P::kInvalidFileHandle);
  P::PortHandle port = P::PortCreate(file, &CountingSink);
  ASSERT_NE(port, 0);
  struct Case {
    uint32_t shift;  // bytes past a 4 KiB boundary
    uint32_t size;
    uint64_t offset;
    int64_t expected;
  };
  const Case cases[] = {
      {0, 4096, 0, 4096},   {0, 8192, 65536, kBytes - 65536},
      {1, 100, 0, 100},     {0, 100, 3, 100},
      {0, 4096, 4095, 4096}, {7, 5000, 60000, 5000},
      {0, 4096, kBytes + 4096, 0},
  };
  constexpr size_t kCases = sizeof cases / sizeof cases[0];
  std::vector<std::vector<char>> blocks(kCases);
  std::vector<char*> buffers(kCases);
  for (size_t i = 0; i < kCases; ++i) {
    blocks[i].assign(cases[i].size + cases[i].shift + 8192, '\x55');
    uintptr_t base = reinterpret_cast<uintptr_t>(blocks[i].data());
    buffers[i] = reinterpret_cast<char*>((base + 4095) / 4096 * 4096) + cases[i].shift;
    ASSERT_TRUE(P::PortStartRead(port, buffers[i], cases[i].size, cases[i].offset, reinterpret_cast<void*>(i + 1))) << i;
  }
  std::vector<int> seen(kCases, 0);
  for (size_t taken = 0; taken < kCases; ++taken) {
    P::PortCompletion completion{};
    ASSERT_EQ(P::PortWait(port, 10000, &completion), P::PortWaitResult::kCompleted);
    size_t i = reinterpret_cast<uintptr_t>(completion.userData) - 1;
    ASSERT_LT(i, kCases);
    ++seen[i];
    SCOPED_TRACE(testing::Message() << cases[i].size << " bytes at " << cases[i].offset << ", shift " << cases[i].shift);
    EXPECT_EQ(completion.result, cases[i].expected);
    EXPECT_TRUE(completion.succeeded);
    if (completion.result > 0) {
      EXPECT_EQ(std::memcmp(buffers[i], mContents.data() + cases[i].offset, static_cast<size_t>(completion.result)), 0);
    }
  }
  EXPECT_EQ(seen, std::vector<int>(kCases, 1));
  P::PortCompletion none{};
  EXPECT_EQ(P::PortWait(port, 0, &none), P::PortWaitResult::kTimedOut);
  P::PortShutdown(port);
  P::PortRelease(port);
  P::FileClose(file);
}

// After shutdown a port no longer holds the file: its owner can close it and a writer can
// take it over while copies of the port are still around.
TEST_F(PortTest, AShutDownPortLetsGoOfTheFileAndWakesItsWaiters) {
  P::FileHandle file = P::FileOpen(At("data.bin").c_str(), FileOpenMode::kRead, true);
  ASSERT_NE(file, P::kInvalidFileHandle);
  P::PortHandle port = P::PortCreate(file, &CountingSink);
  ASSERT_NE(port, 0);
  P::PortRetain(port);  // a second holder
  std::atomic<int> closedWaits{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      P::PortCompletion completion{};
      if (P::PortWait(port, P::kWaitForever, &completion) == P::PortWaitResult::kClosed) ++closedWaits;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  P::PortShutdown(port);
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(closedWaits.load(), 3);
  char buffer[16];
  EXPECT_FALSE(P::PortStartRead(port, buffer, sizeof buffer, 0, nullptr));
  P::PortCompletion completion{};
  EXPECT_EQ(P::PortWait(port, 1000, &completion), P::PortWaitResult::kClosed);
  P::FileClose(file);

  P::FileHandle writer = P::FileOpen(At("data.bin").c_str(), FileOpenMode::kWrite, false);
  EXPECT_NE(writer, P::kInvalidFileHandle);
  P::FileClose(writer);
  EXPECT_TRUE(P::RemoveFile(At("data.bin").c_str()));
  P::PortRelease(port);
  P::PortRelease(port);
}

#if defined(_WIN32)
bool UnderWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Why unaligned reads take the cached handle: the system refuses them on an unbuffered one.
TEST_F(PortTest, TheSystemRefusesUnalignedReadsOfAnUnbufferedFile) {
  if (UnderWine()) GTEST_SKIP() << "FILE_FLAG_NO_BUFFERING: the emulator accepts unaligned transfers";
  P::FileHandle file = P::FileOpen(At("data.bin").c_str(), FileOpenMode::kRead, true);
  ASSERT_NE(file, P::kInvalidFileHandle);
  std::vector<char> block(3 * 4096);
  char* aligned = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(block.data()) + 4095) / 4096 * 4096);
  uint32_t done = 0;
  EXPECT_FALSE(P::FileRead(file, aligned + 1, 100, &done));
  P::FileClose(file);
}
#endif

// ---- Sockets ---------------------------------------------------------------------------------

class SocketTest : public IoPlatformTest {
 protected:
  void SetUp() override {
    IoPlatformTest::SetUp();
    mPath = At("tool.sock");
    mListener = P::ListenLocal(mPath.c_str());
    ASSERT_NE(mListener, P::kInvalidSocket);
  }
  void TearDown() override {
    P::StopListening(mListener, mPath.c_str());
    IoPlatformTest::TearDown();
  }
  // The listener's side of a new connection, polled for as a frame loop would.
  int AcceptWithin(std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int socket = P::AcceptPending(mListener);
      if (socket != P::kInvalidSocket || std::chrono::steady_clock::now() > until) return socket;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::string mPath;
  int mListener = P::kInvalidSocket;
};

TEST_F(SocketTest, ListenerSideNeverBlocksAndAClosedPeerRaisesNothing) {
  EXPECT_EQ(P::AcceptPending(mListener), P::kInvalidSocket);  // nobody waits: at once
  int tool = P::ConnectLocal(mPath.c_str());
  ASSERT_NE(tool, P::kInvalidSocket);
  int program = AcceptWithin(std::chrono::seconds(5));
  ASSERT_NE(program, P::kInvalidSocket);

  char buffer[64];
  EXPECT_EQ(P::SocketReceive(program, buffer, sizeof buffer), P::kSocketWouldBlock);
  EXPECT_FALSE(P::SocketWaitReadable(tool, 20));  // nothing sent: the wait times out
  ASSERT_TRUE(P::SocketSendAll(tool, "ping", 4));
  long received = 0;
  for (int i = 0; i < 5000 && received == 0; ++i) {
    received = P::SocketReceive(program, buffer, sizeof buffer);
    if (received == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(received, 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_EQ(P::SocketSend(program, "pong", 4), 4);
  ASSERT_TRUE(P::SocketWaitReadable(tool, 5000));
  EXPECT_EQ(P::SocketReceive(tool, buffer, sizeof buffer), 4);

  // The tool goes: the program sees the close, and sending to it fails without a signal.
  P::SocketClose(tool);
  long result = P::kSocketWouldBlock;
  for (int i = 0; i < 5000 && result == P::kSocketWouldBlock; ++i) {
    result = P::SocketReceive(program, buffer, sizeof buffer);
    if (result == P::kSocketWouldBlock) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(result, P::kSocketClosed);
  std::vector<char> bulk(64 * 1024, 'x');
  long sent = 0;
  for (int i = 0; i < 100 && sent != P::kSocketClosed; ++i) sent = P::SocketSend(program, bulk.data(), bulk.size());
  EXPECT_EQ(sent, P::kSocketClosed);
  P::SocketClose(program);
}

TEST_F(SocketTest, ConnectionsNeedAListenerAndInvalidSocketsFailQuietly) {
  EXPECT_EQ(P::ConnectLocal(At("nobody.sock").c_str()), P::kInvalidSocket);
  EXPECT_EQ(P::ConnectLocal(nullptr), P::kInvalidSocket);
  EXPECT_EQ(P::ListenLocal(""), P::kInvalidSocket);
  char buffer[4];
  EXPECT_EQ(P::SocketReceive(P::kInvalidSocket, buffer, sizeof buffer), P::kSocketClosed);
  EXPECT_EQ(P::SocketSend(P::kInvalidSocket, buffer, sizeof buffer), P::kSocketClosed);
  EXPECT_FALSE(P::SocketWaitReadable(P::kInvalidSocket, 0));
  EXPECT_EQ(P::AcceptPending(P::kInvalidSocket), P::kInvalidSocket);
  // A listener that has stopped takes nobody, and its path is gone.
  P::StopListening(mListener, mPath.c_str());
  mListener = P::kInvalidSocket;
  EXPECT_EQ(P::GetPathKind(mPath.c_str()), P::PathKind::kMissing);
  EXPECT_EQ(P::ConnectLocal(mPath.c_str()), P::kInvalidSocket);
}

#if defined(_WIN32)
// The port a listener writes to its file is reachable by any local program: only connections
// that present the key from the file are handed out.
TEST_F(SocketTest, ConnectionsWithoutTheKeyAreNeverHandedOut) {
  std::ifstream in(mPath);
  std::string marker, key;
  unsigned int port = 0;
  ASSERT_TRUE(in >> marker >> port >> key);
  ASSERT_EQ(key.size(), 32u);
  struct Case {
    const char* what;
    std::string sent;
  };
  std::string wrong = key;
  wrong[0] = wrong[0] == '0' ? '1' : '0';
  const Case cases[] = {{"nothing", ""}, {"the key as text", key.substr(0, 16)}, {"sixteen other bytes", wrong.substr(0, 16)}};
  std::vector<SOCKET> strangers;
  for (const Case& c : cases) {
    SOCKET stranger = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(stranger, INVALID_SOCKET) << c.what;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    ASSERT_EQ(::connect(stranger, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << c.what;
    if (!c.sent.empty()) ::send(stranger, c.sent.data(), static_cast<int>(c.sent.size()), 0);
    strangers.push_back(stranger);
  }
  EXPECT_EQ(AcceptWithin(std::chrono::milliseconds(200)), P::kInvalidSocket);
  // The strangers are turned away; a tool that read the file still gets in.
  int tool = P::ConnectLocal(mPath.c_str());
  ASSERT_NE(tool, P::kInvalidSocket);
  int program = AcceptWithin(std::chrono::seconds(5));
  EXPECT_NE(program, P::kInvalidSocket);
  EXPECT_EQ(AcceptWithin(std::chrono::milliseconds(100)), P::kInvalidSocket);
  P::SocketClose(program);
  P::SocketClose(tool);
  for (SOCKET stranger : strangers) ::closesocket(stranger);
}
#endif

}  // namespace
