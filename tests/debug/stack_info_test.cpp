// The frame-pointer walk: real call chains and fabricated frame records for every stop rule.
#include "system/debug/stack_info.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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
