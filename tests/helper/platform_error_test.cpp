// The wording of platform failures and the UTF-8 checks of paths handed to the platform.

#include "util/macos/platform_error.hpp"

#include <gtest/gtest.h>

namespace {

using common::ErrorKind;
using platform::CFError;

TEST(MacosErrorTest, ErrorObjectsBecomeOneWording) {
  auto null_error = util::macos::error_from_cf_error(std::nullopt, "CFURLEnumeratorGetNextURL");
  EXPECT_EQ(null_error.text(), "CFURLEnumeratorGetNextURL failed with error: unknown");
  EXPECT_EQ(null_error.kind(), ErrorKind::Other);
  EXPECT_FALSE(null_error.is_os());

  EXPECT_EQ(util::macos::error_from_cf_error(CFError{-1, "x"}, "SecCodeCheckValidity").text(),
            "SecCodeCheckValidity failed with code: -1 and error: x");
  EXPECT_EQ(
      util::macos::error_from_cf_error(CFError{42, std::nullopt}, "SecRequirementCreate").text(),
      "SecRequirementCreate failed with code: 42 and error: unknown");
  EXPECT_EQ(util::macos::error_from_cf_error(CFError{INT64_MIN, ""}, "Op").text(),
            "Op failed with code: -9223372036854775808 and error: ");

  EXPECT_EQ(util::macos::error_from_status("SecStaticCodeCreateWithPath", -67068).text(),
            "SecStaticCodeCreateWithPath failed with code: -67068");
  EXPECT_EQ(util::macos::error_from_status("SecCodeCopyGuestWithAttributes", INT32_MIN).text(),
            "SecCodeCopyGuestWithAttributes failed with code: -2147483648");
  EXPECT_EQ(util::macos::error_from_null_result("CFFileSecurityCreate").text(),
            "CFFileSecurityCreate failed with error: unknown");
}

TEST(MacosErrorTest, FoundationErrorsCarryTheirDescriptionAlone) {
  EXPECT_EQ(util::macos::error_from_ns_error(std::string("The file doesn’t exist.")).text(),
            "The file doesn’t exist.");
  EXPECT_EQ(util::macos::error_from_ns_error(std::nullopt).text(),
            "The operation couldn\u2019t be completed. (KolvarisDesktopHelper error 0.)");
}

TEST(MacosErrorTest, PathsMustBeUtf8ToReachThePlatform) {
  auto ok = util::macos::path_to_str("/Applications/Kolvaris.app", "source_path");
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, "/Applications/Kolvaris.app");
  auto bad = util::macos::path_to_str("/Applications/\xff.app", "destination_path");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().text(), "Could not convert \"destination_path\" to a \"&str\"");
  EXPECT_EQ(util::macos::path_to_str("\xed\xa0\x80", "app_path").error().text(),
            "Could not convert \"app_path\" to a \"&str\"");
  EXPECT_EQ(util::macos::file_name_to_str("a\xc0\xaf").error().text(),
            "Could not convert file name to a \"&str\"");
  EXPECT_TRUE(util::macos::file_name_to_str("Kolvaris.app"));
}

TEST(MacosErrorTest, EnumeratorResultsRenderAsTheirTypeAndRawValue) {
  EXPECT_EQ(util::macos::enumerator_result_debug(4), "CFURLEnumeratorResult(4)");
}

TEST(MacosErrorTest, OsErrorsReadAsStrerrorAndNumber) {
  EXPECT_EQ(common::Error::os(2).text(), "No such file or directory (os error 2)");
}

}  // namespace
