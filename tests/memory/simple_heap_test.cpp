#include "system/memory/simple_heap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "system/debug/bug_report.h"
#include "system/debug/debug_output.h"
#include "system/memory/allocator.h"
#include "tests/debug/debug_capture.h"
#include "tests/memory/memory_test_helpers.h"

namespace {

using Yr::SimpleHeap;

// Exposes the protected search for the tests.
struct ProbeHeap : SimpleHeap {
  using SimpleHeap::FindParent;
};

alignas(16) char gArena[8192];
char* At(unsigned int offset) { return gArena + offset; }

// The tree as text: "name(child child) next ...", so a shape is one comparison.
std::string Shape(const SimpleHeap* heap) {
  std::string text;
  for (; heap != nullptr; heap = heap->Next()) {
    if (!text.empty()) text += ' ';
    text += heap->Name();
    if (heap->Child() != nullptr) text += "(" + Shape(heap->Child()) + ")";
  }
  return text;
}
std::string Tree() { return Shape(SimpleHeap::Root()); }

std::string Hex(const void* p) { return YrTest::Hex(YrTest::A(p)); }
std::string Right(unsigned int value, size_t width) {
  std::string digits = std::to_string(value);
  return std::string(width > digits.size() ? width - digits.size() : 0, ' ') + digits;
}

// Every test starts and ends with an empty tree: heaps are test-local objects.
class SimpleHeapTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SimpleHeap::Root(), nullptr); }
  void TearDown() override { EXPECT_EQ(SimpleHeap::Root(), nullptr) << Tree(); }
};

// Debug output can only be switched on for the rest of the process; this must run first.
TEST_F(SimpleHeapTest, Dump_WritesNothingWhileDebugOutputIsOff) {
  if (Yr::Debug::IsEnabled()) GTEST_SKIP() << "debug output already on in this process";
  SimpleHeap heap;
  heap.Init(At(0), 100, "h");
  heap.SetTop(At(40));
  YrTest::DebugCapture capture;
  SimpleHeap::Dump(false);
  SimpleHeap::Dump(true);
  EXPECT_TRUE(capture.Pieces().empty());
  EXPECT_EQ(heap.Peak(), 40u) << "the peak is recorded whether or not anything is printed";
  heap.Done();
}

TEST_F(SimpleHeapTest, Init_OrdersTopLevelHeapsAndReplacesTheRoot) {
  SimpleHeap a, b, c;
  a.Init(At(1000), 100, "a");
  EXPECT_EQ(SimpleHeap::Root(), &a);
  EXPECT_EQ(a.Base(), At(1000));
  EXPECT_EQ(a.Top(), At(1000));
  EXPECT_EQ(a.Size(), 100u);
  b.Init(At(2000), 100, "b");
  EXPECT_EQ(Tree(), "a b");
  c.Init(At(0), 100, "c");
  EXPECT_EQ(SimpleHeap::Root(), &c);
  EXPECT_EQ(Tree(), "c a b");
  SimpleHeap d;
  d.Init(At(1500), 100, "d");
  EXPECT_EQ(Tree(), "c a d b");
  for (SimpleHeap* h : {&a, &b, &c, &d}) h->Done();
}

TEST_F(SimpleHeapTest, Init_NestsByStartAddress) {
  SimpleHeap p, c, g, d, e, late;
  p.Init(At(0), 1000, "p");
  c.Init(At(100), 100, "c");
  g.Init(At(150), 10, "g");
  d.Init(At(400), 100, "d");
  e.Init(At(50), 10, "e");
  EXPECT_EQ(Tree(), "p(e c(g) d)");
  // Only the start is tested: a heap running past its parent's end is still its child.
  late.Init(At(900), 500, "late");
  EXPECT_EQ(Tree(), "p(e c(g) d late)");

  ProbeHeap* root = static_cast<ProbeHeap*>(SimpleHeap::Root());
  EXPECT_EQ(root->FindParent(At(155)), &g);
  EXPECT_EQ(root->FindParent(At(199)), &c);
  EXPECT_EQ(root->FindParent(At(200)), &p);
  EXPECT_EQ(root->FindParent(At(999)), &late);
  EXPECT_EQ(root->FindParent(At(1000)), nullptr) << "the end is outside the range";
  for (SimpleHeap* h : {&g, &c, &d, &e, &late, &p}) h->Done();
}

TEST_F(SimpleHeapTest, Init_ChildWithItsParentsRangeIsNeverChosen) {
  SimpleHeap p, same, twin, inner;
  p.Init(At(0), 1000, "p");
  same.Init(At(0), 1000, "same");
  EXPECT_EQ(Tree(), "p(same)");
  // A heap at that address becomes the child's sibling, placed before it (newer first).
  twin.Init(At(0), 1000, "twin");
  EXPECT_EQ(Tree(), "p(twin same)");
  // twin holds the address but has p's range, so a smaller heap there goes to p as well;
  // a child with a range of its own is chosen.
  inner.Init(At(0), 10, "inner");
  EXPECT_EQ(Tree(), "p(inner twin same)");
  SimpleHeap deeper;
  deeper.Init(At(5), 2, "deeper");
  EXPECT_EQ(Tree(), "p(inner(deeper) twin same)");
  for (SimpleHeap* h : {&deeper, &inner, &twin, &same, &p}) h->Done();
}

TEST_F(SimpleHeapTest, Done_RootPassesOnToItsSiblingOrItsChildren) {
  SimpleHeap r, s, sc;
  r.Init(At(0), 100, "r");
  s.Init(At(1000), 100, "s");
  sc.Init(At(1010), 10, "sc");
  r.Done();
  EXPECT_EQ(Tree(), "s(sc)");
  EXPECT_EQ(r.Base(), nullptr);
  EXPECT_EQ(r.Size(), 0u);
  EXPECT_EQ(r.Next(), nullptr);

  // A root without siblings promotes its children.
  SimpleHeap c1, c2;
  c1.Init(At(1020), 10, "c1");
  c2.Init(At(1040), 10, "c2");
  EXPECT_EQ(Tree(), "s(sc c1 c2)");
  s.Done();
  EXPECT_EQ(Tree(), "sc c1 c2");
  EXPECT_EQ(s.Child(), nullptr);

  // A heap can be initialised again after Done; it does not adopt heaps already there.
  s.Init(At(1000), 100, "s");
  EXPECT_EQ(Tree(), "s sc c1 c2");
  for (SimpleHeap* h : {&sc, &c1, &c2, &s}) h->Done();
}

// A removed heap's children are live heaps: they take its place instead of leaving the tree
// with it, whichever way the heap was unlinked.
TEST_F(SimpleHeapTest, Done_KeepsTheChildrenOfTheRemovedHeapInTheTree) {
  SimpleHeap r, rc1, rc2, s;
  r.Init(At(0), 1000, "r");
  rc1.Init(At(100), 10, "rc1");
  rc2.Init(At(200), 10, "rc2");
  s.Init(At(2000), 100, "s");
  r.Done();  // the root, with children and a next sibling
  EXPECT_EQ(Tree(), "rc1 rc2 s");
  for (SimpleHeap* h : {&rc1, &rc2, &s}) h->Done();

  SimpleHeap p, a, aa, ab, b, bb, c;
  p.Init(At(0), 4000, "p");
  a.Init(At(100), 300, "a");
  aa.Init(At(150), 10, "aa");
  ab.Init(At(300), 10, "ab");
  b.Init(At(500), 300, "b");
  bb.Init(At(600), 10, "bb");
  c.Init(At(900), 100, "c");
  EXPECT_EQ(Tree(), "p(a(aa ab) b(bb) c)");
  a.Done();  // unlinked through its parent, with a next sibling
  EXPECT_EQ(Tree(), "p(aa ab b(bb) c)");
  b.Done();  // unlinked through its previous sibling
  EXPECT_EQ(Tree(), "p(aa ab bb c)");
  c.Done();  // last in its chain, no children
  EXPECT_EQ(Tree(), "p(aa ab bb)");
  for (SimpleHeap* h : {&aa, &ab, &bb, &p}) h->Done();

  // A heap that is not in the tree leaves the tree alone.
  SimpleHeap q, stray;
  q.Init(At(0), 100, "q");
  stray.Done();
  EXPECT_EQ(Tree(), "q");
  q.Done();
}

TEST_F(SimpleHeapTest, InitPersistent_UsesTheApplicationsCallbacks) {
  SimpleHeap plain;
  plain.InitPersistent(300, "plain");
  EXPECT_EQ(plain.Base(), nullptr) << "no persistent allocator: the heap starts at 0";
  EXPECT_EQ(plain.Size(), 300u);
  EXPECT_EQ(SimpleHeap::Root(), &plain);
  plain.DonePersistent();

  static std::vector<unsigned int> sizes;
  static std::vector<void*> freed;
  Yr::PersistentAllocator::Init([](unsigned int size) -> void* {
                                  sizes.push_back(size);
                                  return At(512);
                                },
                                [](void* block) { freed.push_back(block); });
  SimpleHeap heap;
  heap.InitPersistent(256, "persistent");
  EXPECT_EQ(sizes, std::vector<unsigned int>{256});
  EXPECT_EQ(heap.Base(), At(512));
  EXPECT_EQ(Tree(), "persistent");
  heap.DonePersistent();
  EXPECT_EQ(freed, std::vector<void*>{At(512)});
  Yr::PersistentAllocator::Init(nullptr, nullptr);
}

class SimpleHeapDumpTest : public SimpleHeapTest {
 protected:
  void SetUp() override {
    SimpleHeapTest::SetUp();
    ASSERT_TRUE(YrTest::SwitchDebugOutputOn());
  }

  // Lines of a dump: each line is one piece followed by a separate "\n" piece.
  std::vector<std::string> Lines() const {
    const auto& pieces = capture.Pieces();
    std::vector<std::string> lines;
    for (size_t i = 0; i < pieces.size(); i += 2) {
      lines.push_back(pieces[i]);
      EXPECT_TRUE(i + 1 < pieces.size() && pieces[i + 1] == "\n") << "piece " << i;
    }
    return lines;
  }
  static std::string Line(const std::string& printer, const SimpleHeap& h, unsigned int used,
                          const std::string& indent) {
    return " " + printer + ": " + Hex(h.Base()) + "-" + Hex(static_cast<char*>(h.Base()) + h.Size()) +
           " " + Right(h.Size(), 10) + " " + Right(h.Peak(), 9) + " " + Right(used, 9) + " " +
           indent + " " + h.Name();
  }

  YrTest::DebugCapture capture;
};

TEST_F(SimpleHeapDumpTest, Dump_PrintsOneExactLinePerHeapInPreOrder) {
  SimpleHeap root, child, grandchild, sibling;
  root.Init(At(0), 4096, "root");
  child.Init(At(256), 1024, "child");
  grandchild.Init(At(512), 128, "grandchild");
  sibling.Init(At(4096), 2048, "sibling");
  root.SetTop(At(100));
  grandchild.SetTop(At(512 + 7));

  SimpleHeap::Dump(false);
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  const size_t digits = 2 * sizeof(void*);
  const std::string printer = lines[0].substr(1, digits);
  for (const std::string& line : lines) EXPECT_EQ(line.substr(0, digits + 3), " " + printer + ": ");
  EXPECT_EQ(lines[0], Line(printer, root, 100, ""));
  EXPECT_EQ(lines[1], Line(printer, child, 0, ">"));
  EXPECT_EQ(lines[2], Line(printer, grandchild, 7, ">>"));
  EXPECT_EQ(lines[3], Line(printer, sibling, 0, ""));
  EXPECT_EQ(root.Peak(), 100u);
  EXPECT_EQ(grandchild.Peak(), 7u);

  // One literal line, so the format itself is pinned as well.
  char expected[256];
  std::snprintf(expected, sizeof expected, " %s: %s-%s       1024         0         0 > child",
                printer.c_str(), Hex(At(256)).c_str(), Hex(At(1280)).c_str());
  EXPECT_EQ(lines[1], expected);

  // The peak stays when the top moves back.
  root.SetTop(At(0));
  capture.Clear();
  SimpleHeap::Dump(false);
  lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(root.Peak(), 100u);
  EXPECT_EQ(lines[0], Line(lines[0].substr(1, digits), root, 0, ""));
  EXPECT_NE(lines[0].find("       100         0 "), std::string::npos) << lines[0];
  for (SimpleHeap* h : {&grandchild, &child, &sibling, &root}) h->Done();
}

TEST_F(SimpleHeapDumpTest, Dump_IndentsByDepthUpToSixteen) {
  constexpr int kDepth = 19;
  SimpleHeap chain[kDepth];
  std::vector<std::string> names(kDepth);
  for (int i = 0; i < kDepth; ++i) {
    names[i] = "d" + std::to_string(i);
    chain[i].Init(At(static_cast<unsigned int>(i)), 4096 - static_cast<unsigned int>(i), names[i].c_str());
  }
  SimpleHeap::Dump(false);
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kDepth));
  const std::string full = ">>>>|>>>>|>>>>|>";
  for (int i = 0; i < kDepth; ++i) {
    const std::string indent = full.substr(0, static_cast<size_t>(i < 16 ? i : 16));
    const std::string tail = " " + indent + " " + names[i];
    EXPECT_EQ(lines[i].substr(lines[i].size() - tail.size()), tail) << lines[i];
  }
  EXPECT_NE(lines[2].find(" >> d2"), std::string::npos);
  EXPECT_NE(lines[5].find(" >>>>| d5"), std::string::npos);
  for (int i = kDepth; i-- > 0;) chain[i].Done();
}

TEST_F(SimpleHeapDumpTest, MemInfoAndMemAssert_DumpTheTree) {
  SimpleHeap heap;
  heap.Init(At(0), 64, "only");
  Yr::Memory::MemInfo("title", false);
  EXPECT_TRUE(capture.Pieces().empty());
  Yr::Memory::MemInfo("title", true);
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_NE(Lines()[0].find(" only"), std::string::npos);
  capture.Clear();
  Yr::Memory::MemAssert(0);
  EXPECT_EQ(Lines().size(), 1u);
  // Logging is off unless a bug report turns it on, so a dump "to the log" is printed too.
  ASSERT_TRUE(Yr::BugReport::sDisableLogging);
  capture.Clear();
  SimpleHeap::Dump(true);
  EXPECT_EQ(Lines().size(), 1u);
  // With logging allowed the lines go to the log channel, which discards them here; a dump
  // not meant for the log is still printed.
  Yr::BugReport::sDisableLogging = false;
  capture.Clear();
  heap.SetTop(At(9));
  SimpleHeap::Dump(true);
  Yr::Memory::MemAssert(0);
  EXPECT_TRUE(capture.Pieces().empty());
  EXPECT_EQ(heap.Peak(), 9u) << "the peak is recorded whatever the sink";
  SimpleHeap::Dump(false);
  Yr::BugReport::sDisableLogging = true;
  ASSERT_EQ(Lines().size(), 1u);
  heap.Done();
}

TEST_F(SimpleHeapTest, EnterLeave_IsARecursiveLockThatDumpWaitsFor) {
  SimpleHeap::Enter();
  SimpleHeap::Enter();
  SimpleHeap::Leave();
  std::atomic<bool> dumped{false};
  std::thread other([&] {
    SimpleHeap::Dump(false);
    dumped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(dumped.load()) << "Dump ran while another thread held the tree lock";
  SimpleHeap::Leave();
  other.join();
  EXPECT_TRUE(dumped.load());
}

}  // namespace
