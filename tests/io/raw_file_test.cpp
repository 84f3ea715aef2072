#include "system/io/raw_file.h"

#if defined(_WIN32)
#include <windows.h>
#undef GetFreeSpace  // an old macro of the system's headers, not RawFile's method
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "system/platform/file_platform.h"
#include "tests/io/temp_dir.h"

namespace {

using Yr::RawFile;

class RawFileTest : public YrTest::TempDirTest {};

// FILETIME of a Unix time, for comparisons.
unsigned long long FileTimeOf(long long seconds, long nanoseconds) {
  return static_cast<unsigned long long>(seconds) * Yr::Platform::kFileTimeTicksPerSecond +
         static_cast<unsigned long long>(nanoseconds) / 100 + Yr::Platform::kFileTimeUnixEpoch;
}

// Sets the last-access and last-write times of name to a Unix time.
bool SetTimes(const std::string& name, long long seconds, long nanoseconds) {
#if defined(_WIN32)
  HANDLE file = ::CreateFileA(name.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  unsigned long long ticks = FileTimeOf(seconds, nanoseconds);
  FILETIME time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  bool set = ::SetFileTime(file, nullptr, &time, &time) != 0;
  ::CloseHandle(file);
  return set;
#else
  struct timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds}, {static_cast<time_t>(seconds), nanoseconds}};
  return utimensat(AT_FDCWD, name.c_str(), times, 0) == 0;
#endif
}

#if defined(_WIN32)
// The emulator names itself through an export of its system library.
bool UnderWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#endif

long long NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST_F(RawFileTest, WriteReadSeekTellAndSize) {
  std::string name = At("data.bin");
  RawFile file;
  ASSERT_TRUE(file.Open(name.c_str(), Yr::OpenWrite));
  EXPECT_EQ(file.Write("hello world", 11), 11u);
  EXPECT_EQ(file.Tell(), 11);
  file.Close();
  EXPECT_FALSE(file.IsOpen());

  ASSERT_TRUE(file.Open(name.c_str(), 0));
  EXPECT_EQ(file.GetSize(), 11u);
  char buffer[32] = {};
  EXPECT_EQ(file.Read(buffer, 5), 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_EQ(file.Seek(1, Yr::SeekCurrent), 6);
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 5u);  // stops at the end of the file
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 0u);  // end of file is no error
  EXPECT_EQ(file.GetError(), Yr::kFileOk);
  EXPECT_EQ(file.Seek(-3, Yr::SeekEnd), 8);
  EXPECT_EQ(file.Seek(2, Yr::SeekBegin), 2);
  // Any method value but begin and end moves from the current position.
  EXPECT_EQ(file.Seek(3, static_cast<Yr::FileSeekMethod>(5)), 5);
  EXPECT_EQ(file.Tell(), 5);
  // Moving past the end is allowed; reading there gives nothing.
  EXPECT_EQ(file.Seek(100, Yr::SeekBegin), 100);
  EXPECT_EQ(file.Read(buffer, 4), 0u);
  EXPECT_EQ(file.GetError(), Yr::kFileOk);
}

TEST_F(RawFileTest, BackslashNamesReachTheSystemWithSlashes) {
  std::filesystem::create_directory(At("sub"));
  WriteText("sub/x.txt", "abc");
  std::string name = At("sub") + "\\x.txt";
  RawFile file;
  ASSERT_TRUE(file.Open(name.c_str(), 0));
  char buffer[4] = {};
  EXPECT_EQ(file.Read(buffer, 3), 3u);
  EXPECT_STREQ(buffer, "abc");
}

TEST_F(RawFileTest, WriterIsExclusiveAndTruncatesOnlyOnceItHoldsTheFile) {
  std::string name = At("shared.txt");
  WriteText("shared.txt", "original");

  RawFile reader1, reader2;
  ASSERT_TRUE(reader1.Open(name.c_str(), 0));
  ASSERT_TRUE(reader2.Open(name.c_str(), 0));  // readers share

  RawFile writer;
  EXPECT_FALSE(writer.Open(name.c_str(), Yr::OpenWrite));  // refused while read
  EXPECT_EQ(writer.GetError(), Yr::kFileOk);                // a refusal is no error state
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(ReadText("shared.txt"), "original");  // the refused writer truncated nothing

  reader1.Close();
  reader2.Close();
  ASSERT_TRUE(writer.Open(name.c_str(), Yr::OpenWrite));
  EXPECT_EQ(ReadText("shared.txt"), "");  // truncated
  EXPECT_EQ(writer.Write("new", 3), 3u);

  RawFile other;
  EXPECT_FALSE(other.Open(name.c_str(), 0));              // no reader while written
  EXPECT_FALSE(other.Open(name.c_str(), Yr::OpenWrite));  // no second writer
  EXPECT_EQ(other.GetError(), Yr::kFileOk);
  writer.Close();
  EXPECT_TRUE(other.Open(name.c_str(), 0));
  EXPECT_EQ(other.GetSize(), 3u);

  // A missing file does not open for reading, and creates nothing.
  RawFile missing;
  EXPECT_FALSE(missing.Open(At("missing.txt").c_str(), 0));
  EXPECT_FALSE(std::filesystem::exists(At("missing.txt")));
  EXPECT_EQ(missing.GetError(), Yr::kFileOk);
  // Neither does a directory, nor a null name.
  EXPECT_FALSE(missing.Open(mDir.string().c_str(), 0));
  EXPECT_FALSE(missing.Open(static_cast<const char*>(nullptr), 0));
  EXPECT_EQ(missing.GetError(), Yr::kFileOk);
}

TEST_F(RawFileTest, ReopeningReleasesThePreviousFile) {
  std::string first = At("first.txt");
  RawFile file;
  ASSERT_TRUE(file.Open(first.c_str(), Yr::OpenWrite));
  ASSERT_TRUE(file.Open(At("second.txt").c_str(), Yr::OpenWrite));
  RawFile reader;
  EXPECT_TRUE(reader.Open(first.c_str(), 0));  // the first writer's hold is gone
}

TEST_F(RawFileTest, NoBufferingReadsWithAlignedBuffers) {
  std::string name = At("direct.bin");
  std::vector<char> content(8192);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  WriteText("direct.bin", std::string(content.begin(), content.end()));

  RawFile file;
  ASSERT_TRUE(file.Open(name.c_str(), Yr::OpenNoBuffering | Yr::OpenOverlapped));
  alignas(4096) static char buffer[8192];
  EXPECT_EQ(file.Read(buffer, sizeof buffer), sizeof buffer);
  EXPECT_EQ(std::memcmp(buffer, content.data(), sizeof buffer), 0);
  // With the write bit set the other two are ignored: an ordinary exclusive writer.
  RawFile writer;
  ASSERT_TRUE(writer.Open(At("w.bin").c_str(), Yr::OpenWrite | Yr::OpenNoBuffering));
  EXPECT_EQ(writer.Write("x", 1), 1u);  // an unaligned write would fail without buffering
}

TEST_F(RawFileTest, ErrorStatesAreStickyUntilCloseOfAnOpenFile) {
  std::string name = At("e.txt");
  WriteText("e.txt", "0123456789");
  char buffer[8];

  // 3: reading a file opened for writing.
  RawFile writer;
  ASSERT_TRUE(writer.Open(At("w.txt").c_str(), Yr::OpenWrite));
  EXPECT_EQ(writer.Read(buffer, 4), 0u);
  EXPECT_EQ(writer.GetError(), Yr::kFileErrorRead);
  // Every operation now refuses and keeps the first state.
  EXPECT_EQ(writer.Write("abc", 3), 0u);
  EXPECT_EQ(writer.Seek(0, Yr::SeekBegin), -1);
  EXPECT_EQ(writer.Tell(), -1);
  EXPECT_EQ(writer.GetSize(), 0u);
  EXPECT_EQ(writer.GetTime(), 0u);
  EXPECT_FALSE(writer.Open(name.c_str(), 0));
  EXPECT_EQ(writer.GetError(), Yr::kFileErrorRead);
  EXPECT_TRUE(writer.IsOpen());
  writer.Close();
  EXPECT_EQ(writer.GetError(), Yr::kFileOk);
  EXPECT_EQ(ReadText("w.txt"), "");  // the refused write wrote nothing

  // 4: writing a file opened for reading.
  RawFile reader;
  ASSERT_TRUE(reader.Open(name.c_str(), 0));
  EXPECT_EQ(reader.Write("x", 1), 0u);
  EXPECT_EQ(reader.GetError(), Yr::kFileErrorWrite);
  EXPECT_EQ(reader.Read(buffer, 4), 0u);  // refused, state unchanged
  EXPECT_EQ(reader.GetError(), Yr::kFileErrorWrite);
  reader.Close();

  // 5: moving before the start.
  ASSERT_TRUE(reader.Open(name.c_str(), 0));
  EXPECT_EQ(reader.Seek(-1, Yr::SeekBegin), -1);
  EXPECT_EQ(reader.GetError(), Yr::kFileErrorSeek);
  reader.Close();
  ASSERT_TRUE(reader.Open(name.c_str(), 0));
  EXPECT_EQ(reader.Read(buffer, 2), 2u);  // healthy again after Close

  // 6: a position query on something without positions (a pipe reopened by name).
#if defined(_WIN32)
  const std::string pipeName = "\\\\.\\pipe\\yr-raw-file-test-" + std::to_string(::GetCurrentProcessId());
  // One server end for each of the two opens below: an end serves one client.
  HANDLE servers[2];
  for (HANDLE& server : servers) {
    server = ::CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 2, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
  }
#else
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::string pipeName = "/proc/self/fd/" + std::to_string(ends[0]);
#endif
  RawFile piped;
  ASSERT_TRUE(piped.Open(pipeName.c_str(), 0));
  EXPECT_EQ(piped.Tell(), -1);
  EXPECT_EQ(piped.GetError(), Yr::kFileErrorTell);
  piped.Close();
  ASSERT_TRUE(piped.Open(pipeName.c_str(), 0));
  EXPECT_EQ(piped.Seek(0, Yr::SeekBegin), -1);
  EXPECT_EQ(piped.GetError(), Yr::kFileErrorSeek);
  piped.Close();
#if defined(_WIN32)
  for (HANDLE server : servers) ::CloseHandle(server);
#else
  close(ends[0]);
  close(ends[1]);
#endif

  // 3 from GetTime, and from Read, of a file that is not open. Close of a closed file does
  // not reset the state, so the object stays refused and does not touch the file system.
  RawFile closed;
  EXPECT_EQ(closed.GetTime(), 0u);
  EXPECT_EQ(closed.GetError(), Yr::kFileErrorRead);
  closed.Close();
  EXPECT_EQ(closed.GetError(), Yr::kFileErrorRead);
  EXPECT_FALSE(closed.Open(At("never.txt").c_str(), Yr::OpenWrite));
  EXPECT_FALSE(std::filesystem::exists(At("never.txt")));

  // 1: a mount name without a mount point.
  RawFile unmounted;
  EXPECT_FALSE(unmounted.Open(Yr::StringId("io-test-no-such-mount"), "e.txt", 0));
  EXPECT_EQ(unmounted.GetError(), Yr::kFileErrorNoMount);
  EXPECT_FALSE(unmounted.Open(name.c_str(), 0));
  EXPECT_EQ(unmounted.GetError(), Yr::kFileErrorNoMount);
}

// State 2 would come from a null handle. With standard input closed the system hands out
// descriptor 0 for the next open; it must still open cleanly and work. (Windows never hands
// out a null file handle.)
#if !defined(_WIN32)
TEST_F(RawFileTest, DescriptorZeroIsNotMistakenForANullHandle) {
  WriteText("z.txt", "zero");
  int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  RawFile file;
  bool opened = file.Open(At("z.txt").c_str(), 0);
  char buffer[4] = {};
  unsigned int read = file.Read(buffer, 4);
  uint32_t error = file.GetError();
  file.Close();
  dup2(saved, 0);
  close(saved);
  EXPECT_TRUE(opened);
  EXPECT_EQ(error, Yr::kFileOk);
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(std::string(buffer, 4), "zero");
}
#endif

TEST_F(RawFileTest, SizeAboveFourGigabytesIsFullAndCached) {
  constexpr unsigned long long kOffset = 5ull << 30;  // 5 GiB, a sparse hole before the byte
  std::string name = At("sparse.bin");
  RawFile writer;
  ASSERT_TRUE(writer.Open(name.c_str(), Yr::OpenWrite));
  ASSERT_EQ(writer.Seek(static_cast<long long>(kOffset), Yr::SeekBegin), static_cast<long long>(kOffset));
  ASSERT_EQ(writer.Write("!", 1), 1u);
  EXPECT_EQ(writer.Tell(), static_cast<long long>(kOffset + 1));
  writer.Close();

  RawFile reader;
  ASSERT_TRUE(reader.Open(name.c_str(), 0));
  EXPECT_EQ(reader.GetSize(), kOffset + 1);
  // Shrink the file behind the reader's back: the cached size stays.
  std::filesystem::resize_file(name, 10);
  EXPECT_EQ(reader.GetSize(), kOffset + 1);
  // A fresh open asks again.
  ASSERT_TRUE(reader.Open(name.c_str(), 0));
  EXPECT_EQ(reader.GetSize(), 10u);

  std::filesystem::resize_file(name, kOffset + 1);
  ASSERT_TRUE(reader.Open(name.c_str(), 0));
  EXPECT_EQ(reader.Seek(-1, Yr::SeekEnd), static_cast<long long>(kOffset));
  char byte = 'x';
  EXPECT_EQ(reader.Read(&byte, 1), 1u);
  EXPECT_EQ(byte, '\0');  // the data written earlier was cut by the resize
}

TEST_F(RawFileTest, TimeIsTheLaterOfCreationAndLastWrite) {
  WriteText("old.txt", "x");
  WriteText("future.txt", "y");
  // A last-write time in the future wins over creation, to the exact 100 ns tick.
  constexpr long long kFuture = 4102444800;  // 2100-01-01: past the 32-bit time_t range
  ASSERT_TRUE(SetTimes(At("future.txt"), kFuture, 123456789));
  RawFile file;
  ASSERT_TRUE(file.Open(At("future.txt").c_str(), 0));
  EXPECT_EQ(file.GetTime(), FileTimeOf(kFuture, 123456700));
  EXPECT_EQ(file.GetTime(), 157469184001234567ull);  // the same instant as a literal FILETIME

  // An old last-write time (as a copy keeping its time stamp would have): the creation time
  // of the copy, which is now, wins.
  ASSERT_TRUE(SetTimes(At("old.txt"), 978307200, 0));  // 2001-01-01
#if defined(_WIN32)
  if (UnderWine()) {
    GTEST_SKIP() << "GetFileTime creation time: the emulator reports no later creation than last write";
  }
#endif
  ASSERT_TRUE(file.Open(At("old.txt").c_str(), 0));
  unsigned long long now = FileTimeOf(NowSeconds(), 0);
  unsigned long long time = file.GetTime();
  EXPECT_GT(time, FileTimeOf(978307200, 0));
  EXPECT_LE(time, now + Yr::Platform::kFileTimeTicksPerSecond * 2);
  EXPECT_GE(time, now - Yr::Platform::kFileTimeTicksPerSecond * 120);
}

TEST_F(RawFileTest, DirectoryStatics) {
  std::string dir = At("d");
  EXPECT_TRUE(RawFile::MkDir(dir.c_str()));
  EXPECT_FALSE(RawFile::MkDir(dir.c_str()));               // exists
  EXPECT_FALSE(RawFile::MkDir(At("x/y/z").c_str()));       // no parents
  EXPECT_FALSE(RawFile::MkDir(Yr::Path()));                // empty path
  EXPECT_TRUE(RawFile::DirectoryExists(dir.c_str()));
  EXPECT_FALSE(RawFile::FileExists(dir.c_str()));

  WriteText("d/a.tga", "a");
  WriteText("d/b.tga", "b");
  WriteText("d/c.txt", "c");
  WriteText("d/[x].tga", "x");
  EXPECT_TRUE(RawFile::FileExists(At("d/a.tga").c_str()));
  EXPECT_TRUE(RawFile::FileExists((dir + "\\a.tga").c_str()));
  EXPECT_FALSE(RawFile::DirectoryExists(At("d/a.tga").c_str()));
  EXPECT_FALSE(RawFile::FileExists(At("d/none").c_str()));

  RawFile::NameList names;
  names.Add(Yr::StringId("stale"));
  RawFile::GetFiles((dir + "/*.tga").c_str(), names);
  std::vector<std::string> listed;
  for (const Yr::StringId& id : names) listed.push_back(id.CStr());
  std::sort(listed.begin(), listed.end());
  // Bare names; brackets are ordinary characters.
  EXPECT_EQ(listed, (std::vector<std::string>{"[x].tga", "a.tga", "b.tga"}));

  RawFile::GetFiles((dir + "\\?.t*").c_str(), names);
  listed.clear();
  for (const Yr::StringId& id : names) listed.push_back(id.CStr());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"a.tga", "b.tga", "c.txt"}));

  RawFile::GetFiles((dir + "\\*").c_str(), names);
  listed.clear();
  for (const Yr::StringId& id : names) listed.push_back(id.CStr());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{".", "..", "[x].tga", "a.tga", "b.tga", "c.txt"}));

  RawFile::GetFiles((dir + "/*.none").c_str(), names);
  EXPECT_EQ(names.Count(), 0u);
  RawFile::GetFiles(At("missing/*").c_str(), names);
  EXPECT_EQ(names.Count(), 0u);

  // Delete and Unlink remove files; Rename replaces an existing target.
  EXPECT_TRUE(RawFile::Delete((dir + "\\c.txt").c_str()));
  EXPECT_FALSE(RawFile::Delete((dir + "\\c.txt").c_str()));
  EXPECT_TRUE(RawFile::Rename(At("d/a.tga").c_str(), At("d/b.tga").c_str()));
  EXPECT_EQ(ReadText("d/b.tga"), "a");
  EXPECT_FALSE(RawFile::FileExists(At("d/a.tga").c_str()));
  EXPECT_FALSE(RawFile::Rename(At("d/a.tga").c_str(), At("d/c.tga").c_str()));
  EXPECT_TRUE(RawFile::Unlink(At("d/b.tga").c_str()));
  EXPECT_FALSE(RawFile::Unlink(At("d/b.tga").c_str()));

  EXPECT_GT(RawFile::GetFreeSpace(mDir.string().c_str()), 0u);
  EXPECT_EQ(RawFile::GetFreeSpace(At("missing").c_str()), 0u);
}

// A name of more than 259 characters whose first 259 name an existing file or directory:
// every path entry point fails on it and leaves the shorter one as it was.
TEST_F(RawFileTest, OverLongNamesFailWithoutReachingTheShortenedName) {
  const std::string prefix = mDir.string() + "/";
  ASSERT_LT(prefix.size(), 200u);
  const std::string shortFile = prefix + std::string(Yr::Path::kMaxLength - prefix.size(), 'f');
  const std::string shortDir = prefix + std::string(Yr::Path::kMaxLength - prefix.size(), 'd');
  ASSERT_EQ(shortFile.size(), Yr::Path::kMaxLength);
  const std::string longFile = shortFile + std::string(300 - shortFile.size(), 'f');
  const std::string longDir = shortDir + std::string(300 - shortDir.size(), 'd');
  const std::string longPattern = shortFile + std::string(300 - shortFile.size() - 1, 'f') + "*";

  struct Case {
    const char* what;
    bool (*call)(const std::string& name);
    const std::string* name;
  };
  const Case cases[] = {
      {"Delete", [](const std::string& n) { return RawFile::Delete(n.c_str()); }, &longFile},
      {"FileExists", [](const std::string& n) { return RawFile::FileExists(n.c_str()); }, &longFile},
      {"DirectoryExists", [](const std::string& n) { return RawFile::DirectoryExists(n.c_str()); }, &longDir},
      {"MkDir", [](const std::string& n) { return RawFile::MkDir(n.c_str()); }, &longDir},
      {"GetFiles", [](const std::string& n) {
         RawFile::NameList names;
         RawFile::GetFiles(n.c_str(), names);
         return names.Count() != 0;
       }, &longPattern},
  };
  for (bool shortExists : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (shortExists ? " with" : " without") + " the shortened name present");
      std::error_code ignored;
      std::filesystem::remove_all(shortFile, ignored);
      std::filesystem::remove_all(shortDir, ignored);
      if (shortExists) {
        std::ofstream(shortFile) << "keep";
        std::filesystem::create_directory(shortDir);
      }
      EXPECT_FALSE(c.call(*c.name));
      EXPECT_EQ(std::filesystem::is_regular_file(shortFile), shortExists);
      EXPECT_EQ(std::filesystem::is_directory(shortDir), shortExists);
      if (shortExists) {
        EXPECT_EQ(ReadText(shortFile.substr(prefix.size())), "keep");
      }
      // Nothing else appeared in the directory.
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mDir), std::filesystem::directory_iterator()),
                shortExists ? 2 : 0);
    }
  }
  // The names that fit still work.
  EXPECT_TRUE(RawFile::FileExists(shortFile.c_str()));
  EXPECT_TRUE(RawFile::DirectoryExists(shortDir.c_str()));
  EXPECT_TRUE(RawFile::Delete(shortFile.c_str()));
}

TEST(WildcardTest, StarAndQuestionMark) {
  using Yr::Platform::WildcardMatch;
  EXPECT_TRUE(WildcardMatch("*", ""));
  EXPECT_TRUE(WildcardMatch("*", ".."));
  EXPECT_TRUE(WildcardMatch("a*b*c", "axxbyybzc"));
  EXPECT_FALSE(WildcardMatch("a*b*c", "axxbyybzcd"));
  EXPECT_TRUE(WildcardMatch("*.tga", ".tga"));
  EXPECT_FALSE(WildcardMatch("?.tga", ".tga"));
  EXPECT_TRUE(WildcardMatch("??", "ab"));
  EXPECT_FALSE(WildcardMatch("??", "abc"));
  EXPECT_TRUE(WildcardMatch("[a]", "[a]"));
  EXPECT_FALSE(WildcardMatch("[a]", "a"));
  EXPECT_FALSE(WildcardMatch("a", "A"));  // names are case-sensitive here
  // A long text against many stars stays fast (no exponential backtracking).
  std::string text(4000, 'a');
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*b", text.c_str()));
}

}  // namespace
