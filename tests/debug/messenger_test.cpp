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

TEST_F(MessengerTest, FunctionCopiesShareOneCountedObject) {
  std::vector<std::string> log;
  bool destroyed = false;
  {
    Messenger f(new Recorder(&log, &destroyed));
    EXPECT_EQ(f.RefCount(), 1u);
    {
      Messenger copy = f;
      EXPECT_EQ(f.RefCount(), 2u);
      EXPECT_EQ(copy.GetObject(), f.GetObject());
      Messenger moved = std::move(copy);
      EXPECT_EQ(f.RefCount(), 2u);
      EXPECT_FALSE(copy);
      moved = moved;  // self-assignment keeps the object
      EXPECT_EQ(f.RefCount(), 2u);
      moved(StringId("ch"), "called");
    }
    EXPECT_EQ(f.RefCount(), 1u);
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(log, std::vector<std::string>{"ch:called"});
}

TEST_F(MessengerTest, SlotHoldsOneReferenceAndReleasesThePrevious) {
  std::vector<std::string> log;
  bool firstDestroyed = false, secondDestroyed = false;
  Messenger first(new Recorder(&log, &firstDestroyed));
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

// Counts what the library allocates and frees through the entry points.
class CountingHook : public AllocatorHook {
 public:
  void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    ++allocations;
    lastAlignment = alignment;
    return OrigAlignedMalloc(size, static_cast<int>(alignment), __FILE__, __LINE__);
  }
  void AlignedFree(void* block) override {
    ++frees;
    OrigAlignedFree(block);
  }
  unsigned int GetAllocationSize(void* block, unsigned int alignment) override {
    return OrigGetAllocationSize(block, alignment);
  }
  int allocations = 0;
  int frees = 0;
  unsigned int lastAlignment = 0;
};

TEST_F(MessengerTest, MakeFunctionWrapsALambdaThroughTheEntryPoints) {
  CountingHook hook;
  AllocatorHook* previous = AllocatorHook::Install(&hook);
  std::vector<std::string> got;
  {
    const std::string prefix = "seen ";
    SetMessenger(MakeFunction<void (*)(const StringId&, const char*)>(
        [&got, prefix](const StringId& channel, const char* text) { got.push_back(prefix + channel.CStr() + text); }));
    EXPECT_EQ(hook.allocations, 1);
    EXPECT_EQ(hook.lastAlignment, 16u);
    EXPECT_EQ(Detail::InstalledMessenger()->RefCount(), 1u);
    ProcessMessage(StringId("net/"), "ping");
    ResetMessenger();
  }
  AllocatorHook::Install(previous);
  EXPECT_EQ(hook.frees, 1);
  EXPECT_EQ(got, std::vector<std::string>{"seen net/ping"});

  // Over-aligned functors get their alignment.
  struct alignas(64) Wide {
    int* calls;
    void operator()() const { ++*calls; }
  };
  int calls = 0;
  auto wide = MakeFunction<void (*)()>(Wide{&calls});
  ASSERT_TRUE(wide);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(wide.GetObject()) % 64, 0u);
  wide();
  EXPECT_EQ(calls, 1);
}

// A hook that refuses every request.
class RefusingHook : public CountingHook {
 public:
  void* AlignedMalloc(unsigned int, unsigned int) override { return nullptr; }
};

TEST_F(MessengerTest, MakeFunctionGivesAnEmptyFunctionWhenRefused) {
  RefusingHook hook;
  AllocatorHook* previous = AllocatorHook::Install(&hook);
  auto f = MakeFunction<void (*)(const StringId&, const char*)>([](const StringId&, const char*) {});
  AllocatorHook::Install(previous);
  EXPECT_FALSE(f);
  SetMessenger(f);
  ProcessMessage("x", "y");  // nothing installed, nothing called
  EXPECT_EQ(Detail::InstalledMessenger(), nullptr);
}

}  // namespace
