#include "common/error.hpp"

#include <gtest/gtest.h>

namespace {
TEST(ErrorTest, OsErrorTextCarriesDescriptionAndNumber) {
  EXPECT_EQ(common::Error::os(2).text(), "No such file or directory (os error 2)");
  EXPECT_EQ(common::Error::other("x").text(), "x");
}
}  // namespace
