// The frame-pointer walk: real call chains and fabricated frame records for every stop rule.
#include "system/debug/stack_info.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "system/debug/symbols.h"
#include "system/memory/static_singleton.h"

namespace {

using namespace Yr;

constexpr int kTableSize = 16;

std::string FunctionOf(void* returnAddress) {
  char out[Symbols::kTextCapacity];
  StaticSingleton<Symbols>::Ref().GetFunction(static_cast<char*>(returnAddress) - 1, out, sizeof out, false);
  return out;
}

__attribute__((noinline)) void Innermost(void** out, int count, int skip) {
  StackInfo::GetStack(out, count, skip);
  asm volatile("");
}
__attribute__((noinline)) void Middle(void** out, int count, int skip) {
  Innermost(out, count, skip);
  asm volatile("");
}
__attribute__((noinline)) void Outer(void** out, int count, int skip) {
  Middle(out, count, skip);
  asm volatile("");
}

TEST(StackInfoTest, GetStack_StartsWithTheCallerAndHonoursSkip) {
  void* table[kTableSize];
  Outer(table, kTableSize, 0);
  ASSERT_NE(table[0], nullptr);
  ASSERT_NE(table[1], nullptr);
  ASSERT_NE(table[2], nullptr);
  EXPECT_NE(FunctionOf(table[0]).find("Innermost"), std::string::npos) << FunctionOf(table[0]);
  EXPECT_NE(FunctionOf(table[1]).find("Middle"), std::string::npos) << FunctionOf(table[1]);
  EXPECT_NE(FunctionOf(table[2]).find("Outer"), std::string::npos) << FunctionOf(table[2]);
  int length = 0;
  while (length < kTableSize && table[length]) ++length;
  EXPECT_LT(length, kTableSize);  // at most count - 1 addresses, then the null entry

  void* skipped[kTableSize];
  Outer(skipped, kTableSize, 2);
  EXPECT_EQ(skipped[0], table[2]);
  EXPECT_NE(FunctionOf(skipped[1]).find("TestBody"), std::string::npos) << FunctionOf(skipped[1]);

  void* small[3] = {&small, &small, &small};
  Outer(small, 3, 0);
  EXPECT_EQ(small[0], table[0]);
  EXPECT_EQ(small[1], table[1]);
  EXPECT_EQ(small[2], nullptr);
}

// Frames over 240 bytes: 64-bit Windows code then keeps its frame pointer inside the frame,
// not at the saved one, and only the unwind tables lead past it.
constexpr int kLargeFrameBytes = 1000;

struct Registers {
  uintptr_t ip, sp, bp;
};
// The caller's instruction, stack and frame pointers just after it called this.
__attribute__((noinline)) void CaptureCaller(Registers& out) {
  out.ip = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  out.sp = reinterpret_cast<uintptr_t>(__builtin_dwarf_cfa());
  out.bp = *static_cast<uintptr_t*>(__builtin_frame_address(0));
  asm volatile("");
}

enum class Walk { kOwn, kFromRegisters };

__attribute__((noinline)) void LargeFrame(Walk walk, void** out, int count, int skip) {
  volatile char large[kLargeFrameBytes];
  large[0] = 1;
  if (walk == Walk::kOwn) {
    Innermost(out, count, skip);
  } else {
    Registers registers;
    CaptureCaller(registers);
    StackInfo::GetStackFrom(registers.ip, registers.sp, registers.bp, out, count, skip);
  }
  asm volatile("" : : "r"(large) : "memory");
}
__attribute__((noinline)) void AboveLargeFrame(Walk walk, void** out, int count, int skip) {
  LargeFrame(walk, out, count, skip);
  asm volatile("");
}
// One call site for every walk, so that walks of the same case give the same addresses.
__attribute__((noinline)) void Caller(Walk walk, void** out, int count, int skip) {
  AboveLargeFrame(walk, out, count, skip);
  asm volatile("");
}

TEST(StackInfoTest, GetStack_WalksPastLargeFramesFromOwnFrameAndFromRegisters) {
  struct Case {
    Walk walk;
    int skip;
    std::vector<const char*> functions;  // the first entries, in order
  };
  const Case cases[] = {
      {Walk::kOwn, 0, {"Innermost", "LargeFrame", "AboveLargeFrame", "Caller", "TestBody"}},
      {Walk::kOwn, 2, {"AboveLargeFrame", "Caller", "TestBody"}},
      {Walk::kFromRegisters, 0, {"AboveLargeFrame", "Caller", "TestBody"}},
      {Walk::kFromRegisters, 1, {"Caller", "TestBody"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << "walk " << static_cast<int>(test.walk) << " skip " << test.skip);
    void* table[kTableSize];
    Caller(test.walk, table, kTableSize, test.skip);
    for (size_t i = 0; i < test.functions.size(); ++i) {
      ASSERT_NE(table[i], nullptr) << i;
      EXPECT_NE(FunctionOf(table[i]).find(test.functions[i]), std::string::npos) << i << ": " << FunctionOf(table[i]);
    }
    int length = 0;
    while (length < kTableSize && table[length]) ++length;
    EXPECT_LT(length, kTableSize);
    // Room for one address: it is the first, then the end.
    void* small[2] = {&small, &small};
    Caller(test.walk, small, 2, test.skip);
    EXPECT_EQ(small[0], table[0]);
    EXPECT_EQ(small[1], nullptr);
  }
}

TEST(StackInfoTest, GetStack_CountBelowTwoOrUnreadableFrameGivesOnlyTheEnd) {
  void* table[4] = {&table, &table, &table, &table};
  Outer(table, 1, 0);
  EXPECT_EQ(table[0], nullptr);
  EXPECT_EQ(table[1], &table);
  table[0] = &table;
  Outer(table, 0, 0);
  EXPECT_EQ(table[0], &table);  // nothing written at all
  StackInfo::GetStack(nullptr, table, 4, 0);
  EXPECT_EQ(table[0], nullptr);
  table[0] = &table;
  StackInfo::GetStack(reinterpret_cast<void*>(uintptr_t{4096}), table, 4, 0);
  EXPECT_EQ(table[0], nullptr);
}

// Frame records laid out by hand, each: saved frame pointer, return address.
struct Chain {
  void* records[8][2];
  void* At(int i) { return records[i]; }
};

void* Code(uintptr_t value) { return reinterpret_cast<void*>(value); }

TEST(StackInfoTest, GetStack_StopRules) {
  void* table[kTableSize];
  Chain chain = {};
  // 0 -> 1 -> 2, and 2 points back down: the walk stops there without storing 2's address.
  chain.records[0][0] = chain.At(1);
  chain.records[0][1] = Code(0x1110);
  chain.records[1][0] = chain.At(2);
  chain.records[1][1] = Code(0x2220);
  chain.records[2][0] = chain.At(0);
  chain.records[2][1] = Code(0x3330);
  StackInfo::GetStack(chain.At(0), table, kTableSize, 0);
  EXPECT_EQ(table[0], Code(0x1110));
  EXPECT_EQ(table[1], Code(0x2220));
  EXPECT_EQ(table[2], nullptr);

  // A null return address ends the walk.
  chain.records[1][1] = nullptr;
  StackInfo::GetStack(chain.At(0), table, kTableSize, 0);
  EXPECT_EQ(table[0], Code(0x1110));
  EXPECT_EQ(table[1], nullptr);

  // A saved frame pointer off its alignment ends it.
  chain.records[1][1] = Code(0x2220);
  chain.records[1][0] = static_cast<char*>(chain.At(2)) + 1;
  StackInfo::GetStack(chain.At(0), table, kTableSize, 0);
  EXPECT_EQ(table[0], Code(0x1110));
  EXPECT_EQ(table[1], nullptr);

  // So does one that cannot be read.
  chain.records[0][0] = Code(UINTPTR_MAX - 0xFFF);  // the last page, never mapped for user code
  StackInfo::GetStack(chain.At(0), table, kTableSize, 0);
  EXPECT_EQ(table[0], nullptr);

  // Skipping counts frames that would have been stored.
  chain.records[0][0] = chain.At(1);
  chain.records[1][0] = chain.At(2);
  chain.records[2][0] = chain.At(3);
  chain.records[3][0] = nullptr;
  chain.records[3][1] = Code(0x4440);
  StackInfo::GetStack(chain.At(0), table, kTableSize, 1);
  EXPECT_EQ(table[0], Code(0x2220));
  EXPECT_EQ(table[1], Code(0x3330));
  EXPECT_EQ(table[2], nullptr);
}

}  // namespace
