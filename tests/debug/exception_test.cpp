#include "system/debug/exception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using Yr::Exceptions::Exception;

TEST(ExceptionTest, MessageIsInternedSharedByCopiesAndNullWithoutOne) {
  EXPECT_EQ(Exception().What(), nullptr);
  EXPECT_EQ(Exception(nullptr).What(), nullptr);

  Exception full("disk full");
  ASSERT_NE(full.What(), nullptr);
  EXPECT_STREQ(full.What(), "disk full");
  // Interned: the same text is the same string-table node.
  EXPECT_EQ(full.What(), Yr::StringId("disk full").CStr());
  EXPECT_STREQ(Exception("").What(), "");

  Exception copy(full);
  EXPECT_EQ(copy.What(), full.What());
  Exception assigned("other");
  assigned = full;
  EXPECT_EQ(assigned.What(), full.What());
  assigned = Exception();
  EXPECT_EQ(assigned.What(), nullptr);
  EXPECT_STREQ(full.What(), "disk full");  // the copies' going leaves the original's text
}

struct DerivedError : Exception {
  DerivedError() : Exception("derived") {}
};

TEST(ExceptionTest, ThrownAndCaughtThroughTheBase) {
  std::string caught;
  try {
    throw DerivedError();
  } catch (const Exception& error) {
    caught = error.What();
  }
  EXPECT_EQ(caught, "derived");
}

}  // namespace
