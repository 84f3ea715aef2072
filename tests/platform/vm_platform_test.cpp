// Address space from the system: reserving, committing and giving back.
#include "system/platform/vm_platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using namespace Yr;

uintptr_t A(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

// A user-mode emulator (32-bit Linux builds run under one) keeps the guest's whole address
// space mapped on the host, so it lets a commit of unreserved space through.
bool CommitOfFreeSpaceIsVisible() {
#ifdef _WIN32
  return true;
#else
  const char* emulator = std::getenv("YR_TEST_EMULATOR");
  return emulator == nullptr || *emulator == '\0';
#endif
}

TEST(AddressSpaceTest, PageIsAPowerOfTwo) {
  const size_t page = Platform::VirtualPageSize();
  EXPECT_GE(page, 4096u);
  EXPECT_EQ(page & (page - 1), 0u);
}

// Commits anywhere inside a reservation start at the page holding the address and make
// exactly the pages it touches usable.
TEST(AddressSpaceTest, CommitStartsAtThePageHoldingTheAddress) {
  const size_t page = Platform::VirtualPageSize();
  const size_t kPages = 16;
  char* base = static_cast<char*>(Platform::ReserveAddressSpace(nullptr, kPages * page));
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(A(base) % page, 0u);
  struct Case {
    size_t offset;
    size_t size;
    size_t firstPage;
    size_t lastPage;
  };
  const Case cases[] = {{0, 1, 0, 0},
                        {10, page - 10, 0, 0},
                        {page - 1, 2, 0, 1},
                        {3 * page + 5, 0, 3, 3},
                        {5 * page, 3 * page, 5, 7},
                        {kPages * page - 1, 1, kPages - 1, kPages - 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " size " << c.size);
    void* committed = Platform::CommitAddressSpace(base + c.offset, c.size);
    EXPECT_EQ(committed, base + c.firstPage * page);
    // Every byte of the touched pages can be written and read back.
    std::memset(base + c.firstPage * page, 0x5A, (c.lastPage - c.firstPage + 1) * page);
    EXPECT_EQ(static_cast<unsigned char>(base[c.lastPage * page + page - 1]), 0x5A);
  }
  // Committing again keeps the contents.
  EXPECT_EQ(Platform::CommitAddressSpace(base, page), base);
  EXPECT_EQ(static_cast<unsigned char>(base[0]), 0x5A);
  EXPECT_EQ(Platform::CommitAddressSpace(nullptr, page), nullptr);
  EXPECT_TRUE(Platform::ReleaseAddressSpace(base, kPages * page));
  if (CommitOfFreeSpaceIsVisible()) {
    EXPECT_EQ(Platform::CommitAddressSpace(base, page), nullptr);
  }
}

TEST(AddressSpaceTest, FixedAddressIsTakenExactlyAndNeverReplacesAnything) {
  const size_t kSize = 1 << 20;
  char* base = static_cast<char*>(Platform::ReserveAddressSpace(nullptr, kSize));
  ASSERT_NE(base, nullptr);
  ASSERT_EQ(Platform::CommitAddressSpace(base, kSize), base);
  std::memset(base, 0x3C, kSize);
  // Anywhere on top of the range: refused, and the contents survive.
  for (size_t offset : {size_t{0}, kSize / 2, kSize - Platform::VirtualPageSize()}) {
    EXPECT_EQ(Platform::ReserveAddressSpace(base + offset, Platform::VirtualPageSize()), nullptr) << offset;
  }
  EXPECT_EQ(static_cast<unsigned char>(base[kSize - 1]), 0x3C);
  ASSERT_TRUE(Platform::ReleaseAddressSpace(base, kSize));

  // The freed place is given out again exactly, fresh.
  char* again = static_cast<char*>(Platform::ReserveAddressSpace(base, kSize));
  ASSERT_EQ(again, base);
  ASSERT_EQ(Platform::CommitAddressSpace(again, kSize), again);
  EXPECT_EQ(again[kSize / 2], 0);
  EXPECT_TRUE(Platform::ReleaseAddressSpace(again, kSize));

  EXPECT_EQ(Platform::ReserveAddressSpace(nullptr, 0), nullptr);
  EXPECT_FALSE(Platform::ReleaseAddressSpace(nullptr, kSize));
  EXPECT_FALSE(Platform::ReleaseAddressSpace(base, 0));
}

#ifdef _WIN32
// Windows gives back whole reservations only: a range that cuts one is refused and leaves
// everything in place; a range made of whole adjacent reservations goes back at once.
TEST(AddressSpaceTest, OnlyWholeReservationsAreReleased) {
  const size_t page = Platform::VirtualPageSize();
  const size_t kHalf = 1 << 20;  // a multiple of the allocation granularity
  char* base = static_cast<char*>(Platform::ReserveAddressSpace(nullptr, 2 * kHalf));
  ASSERT_NE(base, nullptr);
  ASSERT_TRUE(Platform::ReleaseAddressSpace(base, 2 * kHalf));
  char* first = static_cast<char*>(Platform::ReserveAddressSpace(base, kHalf));
  char* second = static_cast<char*>(Platform::ReserveAddressSpace(base + kHalf, kHalf));
  ASSERT_EQ(first, base);
  ASSERT_EQ(second, base + kHalf);
  // One commit across both reservations.
  EXPECT_EQ(Platform::CommitAddressSpace(base + kHalf - page, 2 * page), base + kHalf - page);
  base[kHalf - 1] = 1;
  base[kHalf] = 2;

  EXPECT_FALSE(Platform::ReleaseAddressSpace(base, kHalf - page)) << "short of the end";
  EXPECT_FALSE(Platform::ReleaseAddressSpace(base + page, kHalf - page)) << "inside";
  EXPECT_FALSE(Platform::ReleaseAddressSpace(base, kHalf + page)) << "cuts the second";
  EXPECT_EQ(base[kHalf - 1], 1);
  EXPECT_EQ(base[kHalf], 2);
  EXPECT_TRUE(Platform::ReleaseAddressSpace(base, 2 * kHalf));
  EXPECT_EQ(Platform::CommitAddressSpace(base + kHalf, page), nullptr);

  // A wanted address off the granularity reserves from the granularity below it.
  char* off = static_cast<char*>(Platform::ReserveAddressSpace(base + page, kHalf));
  ASSERT_EQ(off, base);
  EXPECT_TRUE(Platform::ReleaseAddressSpace(off, kHalf + page));
}
#endif

}  // namespace
