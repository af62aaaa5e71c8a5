// Ownership transfer against the in-memory platform: top item first, the texts of every failure,
// where the walk stops and what it has already changed.

#include "util/fs/ownership.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/fake/fake_files.hpp"
#include "test_support.hpp"
#include "util/macos/platform_error.hpp"

namespace {

using platform::fake::FakeFiles;
using test_support::CapturedLog;
using ::testing::ElementsAre;

const std::string TOP = "/tmp/r/App.app";

class OwnershipTest : public ::testing::Test {
 protected:
  OwnershipTest() {
    files_.add_directory(TOP, 0, 0, 0755);
    files_.add_directory(TOP + "/Contents", 0, 0, 0755);
    files_.add_file(TOP + "/Contents/a", "a", 0, 0, 0644);
    files_.add_directory(TOP + "/Contents/b", 0, 0, 0700);
    files_.add_file(TOP + "/Contents/b/c", "c", 0, 0, 0600);
    files_.add_file(TOP + "/Contents/d", "d", 0, 0, 0755);
    template_.owner = 501;
    template_.group = 80;
    template_.mode = 0755;
  }

  common::Status override_all() {
    return util::fs::override_directory_owner_and_group_recursive(
        files_, platform::FileUrl{TOP, true}, template_);
  }

  std::uint32_t owner_of(const std::string& relative) {
    return files_.items.at(TOP + relative).owner;
  }

  std::vector<std::string> writes() {
    std::vector<std::string> paths;
    for (const auto& call : files_.calls) {
      if (call.starts_with("write_file_security ")) paths.push_back(call.substr(20));
    }
    return paths;
  }

  FakeFiles files_;
  platform::FileSecurity template_;
  CapturedLog log_;
};

TEST_F(OwnershipTest, TopItemFirstThenEveryItemBelowItInEnumerationOrder) {
  ASSERT_TRUE(override_all());
  EXPECT_THAT(writes(),
              ElementsAre(TOP, TOP + "/Contents", TOP + "/Contents/a", TOP + "/Contents/b",
                          TOP + "/Contents/b/c", TOP + "/Contents/d"));
  // The top item is not announced by a line of its own.
  EXPECT_THAT(
      log_.texts(),
      ElementsAre("Recursively overriding ownership for contents of: file://" + TOP + "/",
                  "Overriding owner and group of file at URL: file://" + TOP + "/Contents/",
                  "Overriding owner and group of file at URL: file://" + TOP + "/Contents/a",
                  "Overriding owner and group of file at URL: file://" + TOP + "/Contents/b/",
                  "Overriding owner and group of file at URL: file://" + TOP + "/Contents/b/c",
                  "Overriding owner and group of file at URL: file://" + TOP + "/Contents/d"));
  for (const auto& [path, item] : files_.items) {
    EXPECT_EQ(item.owner, 501u) << path;
    EXPECT_EQ(item.group, 80u) << path;
  }
  EXPECT_EQ(files_.items.at(TOP + "/Contents/b").mode, 0700);
}

TEST_F(OwnershipTest, SetIdBitsAreClearedBeforeTheOwnerChangesAndEveryOtherBitStays) {
  files_.items[TOP + "/Contents/a"].mode = 04644;
  files_.items[TOP + "/Contents/b"].mode = 03700;  // set-gid and sticky on a directory
  files_.items[TOP + "/Contents/d"].mode = 06755;
  ASSERT_TRUE(override_all());
  EXPECT_EQ(files_.items.at(TOP + "/Contents/a").mode, 0644);
  EXPECT_EQ(files_.items.at(TOP + "/Contents/b").mode, 01700);
  EXPECT_EQ(files_.items.at(TOP + "/Contents/d").mode, 0755);
  EXPECT_EQ(files_.items.at(TOP + "/Contents/b/c").mode, 0600);
  // Only items with set-id bits are written, each before its owner.
  std::vector<std::string> order;
  for (const auto& call : files_.calls) {
    if (call.starts_with("write_")) order.push_back(call);
  }
  EXPECT_THAT(order,
              ElementsAre("write_file_security " + TOP, "write_file_security " + TOP + "/Contents",
                          "write_permission_bits " + TOP + "/Contents/a 644",
                          "write_file_security " + TOP + "/Contents/a",
                          "write_permission_bits " + TOP + "/Contents/b 1700",
                          "write_file_security " + TOP + "/Contents/b",
                          "write_file_security " + TOP + "/Contents/b/c",
                          "write_permission_bits " + TOP + "/Contents/d 755",
                          "write_file_security " + TOP + "/Contents/d"));
  EXPECT_THAT(log_.texts(), ::testing::Contains("Cleared set-id bits, leaving mode 420"));
}

TEST_F(OwnershipTest, SetIdBitsThatCannotBeClearedStopTheWalkWithTheOwnerUnchanged) {
  files_.items[TOP + "/Contents/a"].mode = 04755;
  files_.permission_write_failures[TOP + "/Contents/a"] =
      platform::CFCallFailure{platform::CFError{1, "Operation not permitted"}};
  auto result = override_all();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(),
            "fchmodat failed with code: 1 and error: Operation not permitted");
  EXPECT_EQ(files_.items.at(TOP + "/Contents/a").owner, 0u);
  EXPECT_EQ(files_.items.at(TOP + "/Contents/a").mode, 04755);

  // An item whose own mode cannot be read may hide set-id bits: it is refused too.
  files_.permission_write_failures.clear();
  files_.security_edits[TOP + "/Contents/a"] = [](platform::FileSecurity& s) { s.mode.reset(); };
  result = override_all();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "Failed to extract file security details");
}

TEST_F(OwnershipTest, TopItemFailureComesBeforeAnyLineAndTouchesNothingBelow) {
  files_.security_write_failures[TOP] =
      platform::CFCallFailure{platform::CFError{1, "Operation not permitted"}};
  auto result = override_all();
  ASSERT_FALSE(result);
  EXPECT_EQ(
      result.error().text(),
      "CFURLSetResourcePropertyForKey failed with code: 1 and error: Operation not permitted");
  EXPECT_TRUE(log_.texts().empty());
  for (const auto& [path, item] : files_.items) EXPECT_EQ(item.owner, 0u) << path;
}

TEST_F(OwnershipTest, TemplateThatCannotAnswerEveryQueryFailsEveryOverride) {
  for (auto field : {&platform::FileSecurity::owner, &platform::FileSecurity::group}) {
    auto broken = template_;
    (broken.*field).reset();
    auto result = util::fs::override_owner_and_group(files_, {TOP, true}, broken);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), "Failed to extract file security details");
  }
  // The mode is never applied, yet a template without one is refused as well.
  template_.mode.reset();
  auto result = override_all();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "Failed to extract file security details");
  EXPECT_TRUE(writes().empty());
}

TEST_F(OwnershipTest, RefusingSetterFailsAfterBothSettersWereAsked) {
  for (bool owner_refuses : {true, false}) {
    FakeFiles files;
    files.items = files_.items;
    files.owner_setter_refuses = owner_refuses;
    files.group_setter_refuses = !owner_refuses;
    auto result = util::fs::override_owner_and_group(files, {TOP, true}, template_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), "Failed to set owner or group");
    EXPECT_EQ(files.setter_calls, 2u);
    EXPECT_EQ(files.items.at(TOP).owner, 0u);
  }
}

TEST_F(OwnershipTest, ItemSecurityThatCannotBeReadOrMade) {
  files_.security_read_failures[TOP + "/Contents/a"] =
      platform::CFCallFailure{platform::CFError{-1, std::nullopt}};
  auto result = override_all();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(),
            "CFURLCopyResourcePropertyForKey failed with code: -1 and error: unknown");

  files_.security_read_failures.clear();
  files_.security_create_failures.insert(TOP + "/Contents/b/c");
  result = override_all();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "CFFileSecurityCreate failed with error: unknown");
}

TEST_F(OwnershipTest, EnumeratorFailures) {
  struct Case {
    std::string name;
    std::function<void(FakeFiles&)> script;
    std::string error;
    std::size_t items_written;  // the top item included
  };
  platform::EnumeratorStep unreadable;
  unreadable.kind = platform::EnumeratorStep::Kind::Error;
  unreadable.error = platform::CFError{13, "Permission denied"};
  platform::EnumeratorStep error_without_object;
  error_without_object.kind = platform::EnumeratorStep::Kind::Error;
  platform::EnumeratorStep post_order;
  post_order.kind = platform::EnumeratorStep::Kind::Other;
  post_order.raw = 4;
  const std::vector<Case> cases = {
      {"no enumerator", [](FakeFiles& f) { f.enumerator_unavailable = true; },
       "CFURLEnumeratorCreateForDirectoryURL failed with error: unknown", 1},
      {"unreadable subdirectory",
       [&](FakeFiles& f) { f.enumerator_answers[TOP + "/Contents/b"] = unreadable; },
       "CFURLEnumeratorGetNextURL failed with code: 13 and error: Permission denied", 3},
      {"error without an object",
       [&](FakeFiles& f) { f.enumerator_answers[TOP + "/Contents"] = error_without_object; },
       "CFURLEnumeratorGetNextURL failed with error: unknown", 1},
      {"another kind of answer",
       [&](FakeFiles& f) { f.enumerator_answers[TOP + "/Contents/d"] = post_order; },
       "Unknown enumerator result: CFURLEnumeratorResult(4)", 5},
      {"item without a string",
       [](FakeFiles& f) { f.paths_without_url_string.insert(TOP + "/Contents/a"); },
       "CFURLGetString failed with error: unknown", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFiles files;
    files.items = files_.items;
    c.script(files);
    CapturedLog log;
    auto result = util::fs::override_directory_owner_and_group_recursive(
        files, platform::FileUrl{TOP, true}, template_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), c.error);
    std::size_t owned = 0;
    for (const auto& [path, item] : files.items) owned += item.owner == 501 ? 1 : 0;
    EXPECT_EQ(owned, c.items_written);
    auto texts = log.texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], "Recursively overriding ownership for contents of: file://" + TOP + "/");
  }
}

TEST_F(OwnershipTest, TopItemWithoutStringIsLoggedAsUnknown) {
  files_.paths_without_url_string.insert(TOP);
  ASSERT_TRUE(override_all());
  ASSERT_FALSE(log_.texts().empty());
  EXPECT_EQ(log_.texts()[0], "Recursively overriding ownership for contents of: unknown");
}

TEST_F(OwnershipTest, CopiedSecurityReportsEachFactOrTheCallsError) {
  auto security = util::fs::copy_cf_file_security(files_, {TOP + "/Contents/b", true});
  ASSERT_TRUE(security);
  EXPECT_EQ(security->owner, 0u);
  EXPECT_EQ(security->mode, 0700);
  auto missing = util::fs::copy_cf_file_security(files_, {TOP + "/nothing", false});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(),
            "CFURLCopyResourcePropertyForKey failed with code: 2 and error: no item at " + TOP +
                "/nothing");
}

}  // namespace
