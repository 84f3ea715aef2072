#include "system/io/mount.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "system/memory/allocator.h"
#include "tests/io/temp_dir.h"

namespace {

using Yr::MountBase;
using Yr::Path;
using Yr::RawFile;
using Yr::StringId;
namespace IO = Yr::IO;

class MountTest : public YrTest::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    std::filesystem::create_directory(At("one"));
    std::filesystem::create_directory(At("two"));
    std::filesystem::create_directory(At("three"));
    WriteText("one/both.txt", "from one");
    WriteText("two/both.txt", "from two");
    WriteText("one/only1.txt", "only in one");
    WriteText("three/only3.txt", "only in three");
  }
  void TearDown() override {
    // Clear every name a test used so the next test starts from an empty chain.
    for (const char* name : mNames) IO::Mount(StringId(name), Path(), false, false);
    TempDirTest::TearDown();
  }

  // A unique mount name for this test; cleared at the end.
  StringId Name(const char* name) {
    mNames.push_back(name);
    return StringId(name);
  }
  // The test directory named with backslashes, as the library writes paths.
  std::string Dir(const std::string& name, bool trailing = true) const {
    std::string path = At(name);
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    return trailing ? path + "\\" : path;
  }
  static std::string ReadAll(RawFile& file) {
    char buffer[64] = {};
    unsigned int count = file.Read(buffer, sizeof buffer);
    return std::string(buffer, count);
  }
  static std::vector<std::string> Chain(const StringId& name) {
    std::vector<std::string> paths;
    for (MountBase* mount = IO::FindMount(name); mount; mount = mount->GetNext()) paths.push_back(mount->GetPath());
    return paths;
  }

  std::vector<const char*> mNames;
};

TEST_F(MountTest, LaterMountsOverrideAndAppendedOnesFallBack) {
  StringId data = Name("data");
  IO::Mount(data, Dir("one").c_str(), false, false);
  IO::Mount(data, Dir("two").c_str(), false, false);
  RawFile file;
  ASSERT_TRUE(file.Open(data, "both.txt", 0));
  EXPECT_EQ(ReadAll(file), "from two");
  EXPECT_EQ(file.GetMount(), IO::FindMount(data));

  // A file only in the second mount point of the chain: the first attempt fails without
  // leaving an error state, and the next point opens it.
  ASSERT_TRUE(file.Open(data, "only1.txt", 0));
  EXPECT_EQ(file.GetError(), Yr::kFileOk);
  EXPECT_EQ(ReadAll(file), "only in one");
  EXPECT_EQ(file.GetMount(), IO::FindMount(data)->GetNext());
  EXPECT_EQ(file.GetMount()->GetOpenFileCount(), 1u);
  EXPECT_EQ(IO::FindMount(data)->GetOpenFileCount(), 0u);
  file.Close();
  EXPECT_EQ(IO::FindMount(data)->GetNext()->GetOpenFileCount(), 0u);

  // Missing everywhere: false, state clean.
  EXPECT_FALSE(file.Open(data, "none.txt", 0));
  EXPECT_EQ(file.GetError(), Yr::kFileOk);

  StringId fallback = Name("fallback");
  IO::Mount(fallback, Dir("one").c_str(), false, true);  // empty chain: becomes the head
  IO::Mount(fallback, Dir("two").c_str(), false, true);
  ASSERT_TRUE(file.Open(fallback, "both.txt", 0));
  EXPECT_EQ(ReadAll(file), "from one");
  EXPECT_EQ(Chain(fallback), (std::vector<std::string>{Dir("one"), Dir("two")}));
}

TEST_F(MountTest, ClassificationByLastBackslash) {
  StringId packs = Name("packs");
  IO::Mount(packs, (Dir("one") + "pack.bin").c_str(), false, false);
  MountBase* head = IO::FindMount(packs);
  ASSERT_NE(head, nullptr);
  EXPECT_NE(dynamic_cast<Yr::MountPack*>(head), nullptr);
  RawFile file;
  EXPECT_FALSE(file.Open(packs, "both.txt", 0));  // a pack opens nothing here
  EXPECT_EQ(file.GetError(), Yr::kFileOk);

  // A pack becomes the head even with append; directories behind it still serve.
  IO::Mount(packs, Dir("two").c_str(), false, true);
  IO::Mount(packs, (Dir("one") + "pack").c_str(), false, true);
  EXPECT_NE(dynamic_cast<Yr::MountPack*>(IO::FindMount(packs)), nullptr);
  EXPECT_EQ(Chain(packs), (std::vector<std::string>{Dir("one") + "pack", Dir("one") + "pack.bin", Dir("two")}));
  ASSERT_TRUE(file.Open(packs, "both.txt", 0));  // pack points are passed over
  EXPECT_EQ(ReadAll(file), "from two");

  // Directories: no backslash at all, a trailing one, or a last component beginning with '.'.
  StringId dirs = Name("dirs");
  std::string forward = At("three");  // only forward slashes
  IO::Mount(dirs, forward.c_str(), false, false);
  EXPECT_NE(dynamic_cast<Yr::MountPath*>(IO::FindMount(dirs)), nullptr);
  EXPECT_EQ(std::string(IO::FindMount(dirs)->GetPath()), Dir("three", false));  // stored with backslashes
  ASSERT_TRUE(file.Open(dirs, "only3.txt", 0));
  EXPECT_EQ(ReadAll(file), "only in three");
  ASSERT_TRUE(file.Open(dirs, "/only3.txt", 0));  // a leading separator of the name is dropped
  IO::Mount(dirs, (Dir("one") + ".").c_str(), false, false);
  EXPECT_NE(dynamic_cast<Yr::MountPath*>(IO::FindMount(dirs)), nullptr);
  ASSERT_TRUE(file.Open(dirs, "only1.txt", 0));
  EXPECT_EQ(ReadAll(file), "only in one");

  // The stored text is compared exactly: forward slashes do not match a converted path.
  EXPECT_FALSE(IO::Dismount(dirs, forward.c_str()));
  EXPECT_TRUE(IO::Dismount(dirs, Dir("three", false).c_str()));
  EXPECT_EQ(Chain(dirs), (std::vector<std::string>{Dir("one") + "."}));
  EXPECT_FALSE(IO::Dismount(dirs, Path()));
}

TEST_F(MountTest, DismountInTheMiddleOfAChainOfThree) {
  StringId chain = Name("chain");
  IO::Mount(chain, Dir("one").c_str(), false, true);
  IO::Mount(chain, Dir("two").c_str(), false, true);
  IO::Mount(chain, Dir("three").c_str(), false, true);
  EXPECT_EQ(Chain(chain), (std::vector<std::string>{Dir("one"), Dir("two"), Dir("three")}));
  EXPECT_TRUE(IO::Dismount(chain, Dir("two").c_str()));
  EXPECT_EQ(Chain(chain), (std::vector<std::string>{Dir("one"), Dir("three")}));
  EXPECT_FALSE(IO::Dismount(chain, Dir("two").c_str()));
  RawFile file;
  ASSERT_TRUE(file.Open(chain, "only3.txt", 0));  // the tail is still reached
  file.Close();
  EXPECT_TRUE(IO::Dismount(chain, Dir("one").c_str()));
  EXPECT_TRUE(IO::Dismount(chain, Dir("three").c_str()));
  EXPECT_EQ(IO::FindMount(chain), nullptr);
  // The entry stays with an empty chain: an open through it fails with state 1.
  unsigned int entries = Yr::Detail::MountTableEntryCount();
  EXPECT_FALSE(file.Open(chain, "only3.txt", 0));
  EXPECT_EQ(file.GetError(), Yr::kFileErrorNoMount);
  EXPECT_EQ(Yr::Detail::MountTableEntryCount(), entries);
  EXPECT_FALSE(IO::Dismount(chain, Dir("one").c_str()));
}

TEST_F(MountTest, TableEntriesAndEmptyPaths) {
  unsigned int entries = Yr::Detail::MountTableEntryCount();
  StringId ghost = Name("ghost");
  EXPECT_EQ(IO::FindMount(ghost), nullptr);
  EXPECT_TRUE(IO::Mount(ghost, Path(), false, false));  // unknown name: nothing changes
  EXPECT_EQ(Yr::Detail::MountTableEntryCount(), entries);
  EXPECT_FALSE(IO::Dismount(ghost, Dir("one").c_str()));

  // An open through an unknown name adds its entry.
  RawFile file;
  EXPECT_FALSE(file.Open(ghost, "both.txt", 0));
  EXPECT_EQ(file.GetError(), Yr::kFileErrorNoMount);
  EXPECT_EQ(Yr::Detail::MountTableEntryCount(), entries + 1);

  // Mounting on it uses that entry; an empty path removes the entry and its chain.
  IO::Mount(ghost, Dir("one").c_str(), false, false);
  IO::Mount(ghost, Dir("two").c_str(), false, false);
  EXPECT_EQ(Yr::Detail::MountTableEntryCount(), entries + 1);
  EXPECT_TRUE(IO::Mount(ghost, Path(), false, false));
  EXPECT_EQ(Yr::Detail::MountTableEntryCount(), entries);
  EXPECT_EQ(IO::FindMount(ghost), nullptr);

  // Many names grow the table.
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back("grow" + std::to_string(i));
  for (const std::string& name : names) IO::Mount(StringId(name.c_str()), Dir("one").c_str(), false, false);
  EXPECT_EQ(Yr::Detail::MountTableEntryCount(), entries + 40);
  for (const std::string& name : names) {
    EXPECT_EQ(std::string(IO::FindMount(StringId(name.c_str()))->GetPath()), Dir("one"));
  }
  for (const std::string& name : names) IO::Mount(StringId(name.c_str()), Path(), false, false);
  EXPECT_EQ(Yr::Detail::MountTableEntryCount(), entries);
}

// A mount point with MountBase's own GetFullName.
class CountingMountForNames : public MountBase {
 public:
  CountingMountForNames() : MountBase(Path("names"), nullptr, false) {}
};

// A caller's own mount point: counts its attempts and notes its destruction.
class CountingMount : public MountBase {
 public:
  CountingMount(std::atomic<int>* attempts, bool* destroyed)
      : MountBase(Path("counting"), nullptr, false), mAttempts(attempts), mDestroyed(destroyed) {}
  ~CountingMount() override { *mDestroyed = true; }
  bool OpenThis(RawFile*, const char*, unsigned int) override {
    ++*mAttempts;
    return false;
  }

 private:
  std::atomic<int>* mAttempts;
  bool* mDestroyed;
};

TEST_F(MountTest, CallerMountPointsJoinAtTheHeadAndBelongToTheChain) {
  StringId own = Name("own");
  IO::Mount(own, Dir("one").c_str(), false, false);
  std::atomic<int> attempts{0};
  bool destroyed = false;
  auto* counting = new CountingMount(&attempts, &destroyed);
  IO::Mount(own, counting);
  EXPECT_EQ(IO::FindMount(own), counting);
  RawFile file;
  ASSERT_TRUE(file.Open(own, "both.txt", 0));
  EXPECT_EQ(attempts.load(), 1);  // tried first, then the directory behind it
  EXPECT_EQ(ReadAll(file), "from one");
  file.Close();
  EXPECT_TRUE(IO::Dismount(own, "counting"));
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(Chain(own), (std::vector<std::string>{Dir("one")}));
}

TEST_F(MountTest, FilesOutliveTheirMountPoint) {
  StringId gone = Name("gone");
  IO::Mount(gone, Dir("one").c_str(), false, false);
  RawFile file;
  ASSERT_TRUE(file.Open(gone, "both.txt", 0));
  EXPECT_TRUE(IO::Dismount(gone, Dir("one").c_str()));
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(file.GetMount(), nullptr);  // detached, so Close does not touch freed memory
  EXPECT_EQ(ReadAll(file), "from one");
  file.Close();
}

// Refuses every allocation while armed; otherwise serves from the platform.
class RefusingHook : public Yr::AllocatorHook {
 public:
  void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    return mArmed ? nullptr : Yr::OrigAlignedMalloc(size, static_cast<int>(alignment), nullptr, 0);
  }
  void AlignedFree(void* block) override { Yr::OrigAlignedFree(block); }
  unsigned int GetAllocationSize(void* block, unsigned int alignment) override {
    return Yr::OrigGetAllocationSize(block, alignment);
  }
  bool mArmed = false;
};

TEST_F(MountTest, NoMemoryForAMountPointKeepsTheChain) {
  StringId tight = Name("tight");
  IO::Mount(tight, Dir("one").c_str(), false, false);
  auto* hook = new RefusingHook;
  Yr::AllocatorHook* previous = Yr::AllocatorHook::Install(hook);
  hook->mArmed = true;
  bool mountedDirectory = IO::Mount(tight, Dir("two").c_str(), false, false);
  bool mountedPack = IO::Mount(tight, (Dir("two") + "x.pak").c_str(), false, false);
  hook->mArmed = false;
  Yr::AllocatorHook::Install(previous);
  delete hook;
  EXPECT_TRUE(mountedDirectory);
  EXPECT_TRUE(mountedPack);
  EXPECT_EQ(Chain(tight), (std::vector<std::string>{Dir("one")}));
}

TEST_F(MountTest, ConcurrentOpensThroughOneMount) {
  StringId shared = Name("shared");
  IO::Mount(shared, Dir("one").c_str(), false, false);
  IO::Mount(shared, Dir("two").c_str(), false, false);
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        RawFile file;
        const char* name = (i + t) % 2 ? "both.txt" : "only1.txt";
        if (!file.Open(shared, name, 0)) {
          ++failures;
          continue;
        }
        std::string text = ReadAll(file);
        if (text != ((i + t) % 2 ? "from two" : "only in one")) ++failures;
        // Unknown names from several threads grow the table while others look it up.
        RawFile stray;
        stray.Open(StringId(("stray" + std::to_string(t) + "_" + std::to_string(i % 8)).c_str()), "x", 0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(IO::FindMount(shared)->GetOpenFileCount(), 0u);
  EXPECT_EQ(IO::FindMount(shared)->GetNext()->GetOpenFileCount(), 0u);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < 8; ++i) IO::Mount(StringId(("stray" + std::to_string(t) + "_" + std::to_string(i)).c_str()), Path(), false, false);
  }
}

TEST_F(MountTest, OverLongFullNamesOpenNothing) {
  StringId deep = Name("deep");
  IO::Mount(deep, Dir("one").c_str(), false, false);
  std::string name(300, 'n');
  RawFile file;
  EXPECT_FALSE(file.Open(deep, name.c_str(), 0));
  EXPECT_EQ(file.GetError(), Yr::kFileOk);
  EXPECT_TRUE(IO::FindMount(deep)->GetFullName(name.c_str()).Empty());
  EXPECT_TRUE(IO::FindMount(deep)->GetFullName(name.c_str()).Overflowed());
  EXPECT_STREQ(IO::FindMount(deep)->GetFullName("a/b").CStr(), (Dir("one") + "a\\b").c_str());

  // A name of more than 259 characters for a mount point's own GetFullName is not cut.
  CountingMountForNames plain;
  EXPECT_TRUE(plain.GetFullName(name.c_str()).Overflowed());
  EXPECT_STREQ(plain.GetFullName(name.substr(0, 259).c_str()).CStr(), name.substr(0, 259).c_str());
}

// Over-long mount paths: Mount refuses them and leaves the chain (an over-long path is not
// the empty path that clears a name); Dismount finds nothing for them, not even a mount
// point whose path is their first 259 characters.
TEST_F(MountTest, OverLongMountPathsChangeNothing) {
  StringId kept = Name("kept");
  std::string fits = Dir("one") + std::string(Path::kMaxLength - Dir("one").size() - 1, 'x') + "\\";
  ASSERT_EQ(fits.size(), Path::kMaxLength);
  IO::Mount(kept, Dir("one").c_str(), false, false);
  IO::Mount(kept, fits.c_str(), false, false);
  const std::vector<std::string> before = Chain(kept);
  std::string longer = fits + "more\\";
  for (bool append : {false, true}) {
    EXPECT_FALSE(IO::Mount(kept, longer.c_str(), false, append));
    EXPECT_FALSE(IO::Mount(kept, (fits + "pack.bin").c_str(), false, append));
    EXPECT_EQ(Chain(kept), before);
  }
  EXPECT_FALSE(IO::Dismount(kept, (fits + "x").c_str()));
  EXPECT_EQ(Chain(kept), before);
  unsigned int entries = Yr::Detail::MountTableEntryCount();
  EXPECT_FALSE(IO::Mount(Name("never"), longer.c_str(), false, false));
  EXPECT_EQ(Yr::Detail::MountTableEntryCount(), entries);
}

// Chain lengths that a recursive teardown could not survive: the main thread's stack for the
// long one, a small thread stack for the short one.
constexpr int kLongChain = 60000;
constexpr int kSmallStackChain = 2000;
constexpr size_t kSmallStack = 256 * 1024;

// count directory points under name, each made the head (constant time per mount).
void MountMany(const StringId& name, int count, const std::string& dir) {
  for (int i = 0; i < count; ++i) IO::Mount(name, dir.c_str(), false, false);
}

int ChainLength(const StringId& name) {
  int length = 0;
  for (MountBase* mount = IO::FindMount(name); mount; mount = mount->GetNext()) ++length;
  return length;
}

struct SmallStackRun {
  StringId name;
  std::string dir;
  int lengthBefore = 0;
  bool cleared = false;
};

void* MountAndClearOnSmallStack(void* argument) {
  auto* run = static_cast<SmallStackRun*>(argument);
  MountMany(run->name, kSmallStackChain, run->dir);
  run->lengthBefore = ChainLength(run->name);
  IO::Mount(run->name, Path(), false, false);
  run->cleared = IO::FindMount(run->name) == nullptr;
  return nullptr;
}

TEST_F(MountTest, LongChainsAreTornDownWithoutDeepStacks) {
  StringId many = Name("many");
  MountMany(many, kLongChain, Dir("one"));
  ASSERT_EQ(ChainLength(many), kLongChain);
  RawFile file;
  ASSERT_TRUE(file.Open(many, "both.txt", 0));  // the head serves; the file stays open
  EXPECT_TRUE(IO::Mount(many, Path(), false, false));
  EXPECT_EQ(IO::FindMount(many), nullptr);
  EXPECT_EQ(file.GetMount(), nullptr);
  file.Close();

  SmallStackRun run{Name("small"), Dir("three")};
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, kSmallStack), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, &MountAndClearOnSmallStack, &run), 0);
  pthread_attr_destroy(&attributes);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  EXPECT_EQ(run.lengthBefore, kSmallStackChain);
  EXPECT_TRUE(run.cleared);
}

// Unloading dismounts every chain still in the table; a long one must not end the process.
TEST(MountDeathTest, UnloadTearsDownALongChain) {
  EXPECT_EXIT(
      {
        MountMany(StringId("unload.many"), kLongChain, "unload-dir\\");
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

// Opens on several threads while mount points join the same chain at its head and its tail:
// every open sees a complete chain, and a point appended at the tail becomes reachable.
TEST_F(MountTest, ConcurrentOpensWhilePointsAreAdded) {
  StringId growing = Name("growing");
  IO::Mount(growing, Dir("one").c_str(), false, false);
  constexpr int kOpeners = 3;
  constexpr int kAdditions = 120;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::atomic<int> tailHits{0};
  std::vector<std::thread> openers;
  for (int t = 0; t < kOpeners; ++t) {
    openers.emplace_back([&] {
      while (!done.load(std::memory_order_acquire)) {
        RawFile file;
        // only1.txt is in "one", which stays in the chain whatever is added around it.
        if (!file.Open(growing, "only1.txt", 0) || ReadAll(file) != "only in one") ++failures;
        file.Close();
        // both.txt comes from "one" or from a "two" point added before it.
        if (!file.Open(growing, "both.txt", 0)) {
          ++failures;
        } else {
          std::string text = ReadAll(file);
          if (text != "from one" && text != "from two") ++failures;
        }
        file.Close();
        // only3.txt exists only in "three" points appended at the tail.
        if (file.Open(growing, "only3.txt", 0)) ++tailHits;
      }
    });
  }
  for (int i = 0; i < kAdditions; ++i) {
    switch (i % 3) {
      case 0: IO::Mount(growing, Dir("two").c_str(), false, false); break;                  // new head
      case 1: IO::Mount(growing, Dir("three").c_str(), false, true); break;                 // new tail
      default: IO::Mount(growing, (Dir("two") + "p" + std::to_string(i) + ".pak").c_str(), false, true); break;
    }
  }
  // Keep opening until an appended point has served at least once (bounded for slow hosts).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (tailHits.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  done.store(true, std::memory_order_release);
  for (std::thread& thread : openers) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(tailHits.load(), 0);
  EXPECT_EQ(ChainLength(growing), 1 + kAdditions);
  for (MountBase* mount = IO::FindMount(growing); mount; mount = mount->GetNext()) {
    EXPECT_EQ(mount->GetOpenFileCount(), 0u);
  }
}

}  // namespace
