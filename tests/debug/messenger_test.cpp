#include "system/debug/messenger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Yr;

// A callable object of the caller's own making: records its calls and its destruction.
struct Recorder final : Messenger::Object {
  std::vector<std::string>* log;
  bool* destroyed;
  Recorder(std::vector<std::string>* l, bool* d) : log(l), destroyed(d) {}
  void Destroy() override {
    *destroyed = true;
    delete this;
  }
  void Call(const StringId& channel, const char* text) override {
    log->push_back(std::string(channel.CStr()) + ":" + text);
  }
};

class MessengerTest : public testing::Test {
 protected:
  void TearDown() override { ResetMessenger(); }
};

TEST_F(MessengerTest, SlotHoldsOneReferenceAndReleasesThePrevious) {
  std::vector<std::string> log;
  bool firstDestroyed = false, secondDestroyed = false;
  Messenger first(new Recorder(&log, &firstDestroyed));
  EXPECT_EQ(first.RefCount(), 1u);
  SetMessenger(first);
  EXPECT_EQ(first.RefCount(), 2u);
  EXPECT_EQ(Detail::InstalledMessenger(), first.GetObject());
  // Installing the installed object again changes nothing.
  SetMessenger(first);
  EXPECT_EQ(first.RefCount(), 2u);
  ProcessMessage("status", "one");
  EXPECT_EQ(log, std::vector<std::string>{"status:one"});

  // A second object replaces it; the slot lets go of the first.
  SetMessenger(Messenger(new Recorder(&log, &secondDestroyed)));
  EXPECT_EQ(first.RefCount(), 1u);
  EXPECT_EQ(Detail::InstalledMessenger()->RefCount(), 1u);
  ProcessMessage("chat", "two");
  EXPECT_EQ(log.back(), "chat:two");

  // An empty Function empties the slot and destroys the object it held alone.
  SetMessenger(Messenger());
  EXPECT_TRUE(secondDestroyed);
  EXPECT_EQ(Detail::InstalledMessenger(), nullptr);
  ProcessMessage("lost", "three");
  EXPECT_EQ(log.size(), 2u);

  SetMessenger(first);
  ResetMessenger();
  EXPECT_EQ(Detail::InstalledMessenger(), nullptr);
  EXPECT_EQ(first.RefCount(), 1u);
  EXPECT_FALSE(firstDestroyed);
  ResetMessenger();  // an empty slot stays empty
  ProcessMessage("none", "nothing");
  EXPECT_EQ(log.size(), 2u);
}

// Counts what goes through the entry points; refuses everything when asked to.
class CountingHook : public AllocatorHook {
 public:
  void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    ++allocations;
    alignments.push_back(alignment);
    return refuse ? nullptr : OrigAlignedMalloc(size, static_cast<int>(alignment), __FILE__, __LINE__);
  }
  void AlignedFree(void* block) override {
    ++frees;
    OrigAlignedFree(block);
  }
  unsigned int GetAllocationSize(void* block, unsigned int) override { return OrigGetAllocationSize(block, 0); }
  int allocations = 0, frees = 0;
  std::vector<unsigned int> alignments;
  bool refuse = false;
};

TEST_F(MessengerTest, MakeFunctionWrapsFunctorsThroughTheEntryPoints) {
  struct alignas(64) Wide {
    int* calls;
    void operator()() const { ++*calls; }
  };
  const StringId channel("net/");  // made first: its node is not the hook's business
  std::vector<std::string> got;
  const std::string prefix = "seen ";
  CountingHook hook;
  AllocatorHook* previous = AllocatorHook::Install(&hook);
  SetMessenger(MakeFunction<void (*)(const StringId&, const char*)>(
      [&got, prefix](const StringId& channel, const char* text) { got.push_back(prefix + channel.CStr() + text); }));
  EXPECT_EQ(Detail::InstalledMessenger()->RefCount(), 1u);
  ProcessMessage(channel, "ping");
  ResetMessenger();
  int calls = 0;
  {
    auto wide = MakeFunction<void (*)()>(Wide{&calls});
    EXPECT_EQ(reinterpret_cast<uintptr_t>(wide.GetObject()) % 64, 0u);
    wide();
  }
  // A refused allocation gives an empty Function, which installs nothing.
  hook.refuse = true;
  SetMessenger(MakeFunction<void (*)(const StringId&, const char*)>([&got](const StringId&, const char*) {
    got.push_back("never");
  }));
  AllocatorHook::Install(previous);
  EXPECT_EQ(Detail::InstalledMessenger(), nullptr);
  ProcessMessage("x", "y");
  EXPECT_EQ(hook.allocations, 3);
  EXPECT_EQ(hook.frees, 2);
  EXPECT_EQ(hook.alignments, (std::vector<unsigned int>{16, 64, 16}));
  EXPECT_EQ(got, std::vector<std::string>{"seen net/ping"});
  EXPECT_EQ(calls, 1);
}

}  // namespace
