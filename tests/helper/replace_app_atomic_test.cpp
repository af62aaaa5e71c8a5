// The ReplaceAppAtomic procedure against the in-memory platform: the order of its log lines, the
// text of each failure, and what every failure leaves on disk.

#include "main/replace_app_atomic.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/fake/fake_files.hpp"
#include "test_support.hpp"
#include "util/fs/replace.hpp"
#include "util/macos/platform_error.hpp"

namespace {

using platform::fake::FakeFiles;
using platform::fake::FakeItem;
using test_support::CapturedLog;
using ::testing::ElementsAreArray;

const std::string SOURCE = "/Users/me/Downloads/New.app";
const std::string DESTINATION = "/Applications/App.app";
const std::string TEMPORARY_DIRECTORY = "/Applications/.item-replacement-1";
const std::string TEMPORARY_ITEM = TEMPORARY_DIRECTORY + "/App.app";

constexpr std::uint32_t USER = 501;
constexpr std::uint32_t STAFF = 80;

// Every line of a successful run, in order.
std::vector<std::string> full_log() {
  const std::string url = "file://" + TEMPORARY_ITEM;
  return {
      "Source path: " + SOURCE,
      "Destination path: " + DESTINATION,
      "Validating signature of source app package",
      "Successfully validated signature of source app package",
      "Initiating atomic replacement of destination app package with source app package",
      "Validating signature of destination app package",
      "Successfully validated signature of destination app package",
      "Reading file permissions of destination",
      "File permissions read successfully: Owner: 501, Group: 80, Mode: 493",
      "Creating temporary directory for copy operations",
      "Created temporary directory for item at path: " + TEMPORARY_ITEM,
      "Copying item to temporary directory",
      "Validating signature of item in temporary directory",
      "Successfully validated signature of item in temporary directory",
      "Replacing version 1.9 with version 1.10",
      "Recursively overriding ownership of item in temporary directory",
      "Recursively overriding ownership for contents of: " + url,
      "Overriding owner and group of file at URL: " + url + "/.hidden",
      "Overriding owner and group of file at URL: " + url + "/Contents/",
      "Overriding owner and group of file at URL: " + url + "/Contents/Frameworks/",
      "Overriding owner and group of file at URL: " + url + "/Contents/Frameworks/Kit.framework/",
      "Overriding owner and group of file at URL: " + url +
          "/Contents/Frameworks/Kit.framework/Kit",
      "Overriding owner and group of file at URL: " + url + "/Contents/Info.plist",
      "Overriding owner and group of file at URL: " + url + "/Contents/MacOS/",
      "Overriding owner and group of file at URL: " + url + "/Contents/MacOS/App",
      "Overriding owner and group of file at URL: " + url + "/Contents/MacOS/current",
      "Overriding owner and group of file at URL: " + url + "/Contents/_CodeSignature/",
      "Overriding owner and group of file at URL: " + url + "/Contents/_CodeSignature/manifest",
      "Removing quarantine attribute of item in temporary directory",
      "Successfully removed quarantine attribute",
      "Replace item at destination with item from temporary directory",
      "Successfully replaced app package",
  };
}

// The log of a run that stopped right after `last_line`.
std::vector<std::string> log_until(const std::string& last_line) {
  std::vector<std::string> lines;
  for (const auto& line : full_log()) {
    lines.push_back(line);
    if (line == last_line) return lines;
  }
  ADD_FAILURE() << "not a line of the procedure: " << last_line;
  return lines;
}

class ReplaceAppAtomicTest : public ::testing::Test {
 protected:
  ReplaceAppAtomicTest() {
    platform_.files = &files_;
    files_.add_directory("/Applications", 0, 80, 0775);
    add_bundle(DESTINATION, "1.9", USER, STAFF);
    files_.add_directory("/Users/me/Downloads", USER, 20, 0755);
    add_bundle(SOURCE, "1.10", USER, 20);
    files_.items[SOURCE + "/Contents/MacOS/App"].attributes.insert("com.apple.quarantine");
    files_.items[SOURCE].attributes.insert("com.apple.quarantine");
    initial_ = files_.items;
  }

  // A bundle is "signed" when its manifest says so; the validator below checks just that.
  void add_bundle(const std::string& top, const std::string& version, std::uint32_t owner,
                  std::uint32_t group) {
    files_.add_directory(top, owner, group, 0755);
    files_.add_file(top + "/.hidden", version, owner, group, 0600);
    files_.add_directory(top + "/Contents", owner, group, 0755);
    files_.add_file(top + "/Contents/Info.plist", version, owner, group, 0644);
    files_.add_directory(top + "/Contents/MacOS", owner, group, 0755);
    files_.add_file(top + "/Contents/MacOS/App", version, owner, group, 0755);
    files_.add_symlink(top + "/Contents/MacOS/current", "App", owner, group);
    files_.add_directory(top + "/Contents/Frameworks", owner, group, 0755);
    files_.add_directory(top + "/Contents/Frameworks/Kit.framework", owner, group, 0755);
    files_.add_file(top + "/Contents/Frameworks/Kit.framework/Kit", version, owner, group, 0555);
    files_.add_directory(top + "/Contents/_CodeSignature", owner, group, 0755);
    files_.add_file(top + "/Contents/_CodeSignature/manifest", "signed", owner, group, 0644);
  }

  common::Status run(std::string source = SOURCE, std::string destination = DESTINATION) {
    common::ipc::message::ReplaceAppAtomic command{std::move(source), std::move(destination)};
    return main_service::run_replace_app_atomic(
        platform_, command,
        [this](platform::Platform& p, const util::fs::BundleToValidate& bundle) {
          EXPECT_EQ(&p, &platform_);
          std::string_view path = bundle.path;
          scopes_.push_back(bundle.scope);
          validated_.emplace_back(path);
          if (auto scripted = validation_.find(std::string(path)); scripted != validation_.end()) {
            return scripted->second();
          }
          auto manifest =
              files_.items.find(std::string(path) + "/Contents/_CodeSignature/manifest");
          if (manifest == files_.items.end() || manifest->second.content != "signed") {
            return common::Status(common::fail(util::macos::error_from_cf_error(
                platform::CFError{-67062, "code object is not signed at all"},
                "SecStaticCodeCheckValidityWithErrors")));
          }
          return common::Status{};
        });
  }

  std::string error_of(const common::Status& status) {
    EXPECT_FALSE(status.has_value());
    return status ? std::string() : status.error().text();
  }

  // Everything outside the replacement directory is as it was, and the destination is the old
  // bundle.
  void expect_untouched_outside_temporary_directory() {
    auto now = files_.items;
    std::erase_if(now, [](const auto& entry) {
      return entry.first.starts_with(TEMPORARY_DIRECTORY + "/") ||
             entry.first == TEMPORARY_DIRECTORY;
    });
    EXPECT_TRUE(now == initial_) << "items outside the replacement directory changed";
  }

  void expect_nothing_created() {
    EXPECT_TRUE(files_.items == initial_);
    EXPECT_FALSE(files_.exists(TEMPORARY_DIRECTORY));
  }

  FakeFiles files_;
  platform::Platform platform_;
  CapturedLog log_;
  std::map<std::string, FakeItem> initial_;
  std::vector<std::string> validated_;
  std::vector<platform::ValidationScope> scopes_;
  std::map<std::string, std::function<common::Status()>> validation_;
};

TEST_F(ReplaceAppAtomicTest, SuccessLogsEveryStepAndInstallsTheCopyUnderTheDestinationsName) {
  ASSERT_TRUE(run());
  EXPECT_THAT(log_.texts(), ElementsAreArray(full_log()));
  for (const auto& line : log_.lines()) EXPECT_EQ(line.stream, common::util::LogStream::Stdout);
  EXPECT_EQ(validated_, (std::vector<std::string>{SOURCE, DESTINATION, TEMPORARY_ITEM}));

  // The new bundle is at the destination, named like the old one, with the old one's owner and
  // group throughout, each item's own mode, and no quarantine attribute.
  auto installed = files_.subtree(DESTINATION);
  auto source = files_.subtree(SOURCE);
  ASSERT_EQ(installed.size(), source.size());
  for (const auto& [relative, item] : installed) {
    SCOPED_TRACE(relative);
    ASSERT_TRUE(source.contains(relative));
    EXPECT_EQ(item.content, source[relative].content);
    EXPECT_EQ(item.mode, source[relative].mode);
    EXPECT_EQ(item.type, source[relative].type);
    EXPECT_EQ(item.owner, USER);
    EXPECT_EQ(item.group, STAFF);
    EXPECT_FALSE(item.attributes.contains("com.apple.quarantine"));
  }
  EXPECT_EQ(files_.last_backup_name, "backup");
  // The source is only read.
  for (const auto& [path, item] : initial_) {
    if (path.starts_with(SOURCE)) {
      EXPECT_TRUE(files_.items.at(path) == item) << path;
    }
  }
  // The replacement directory is the platform's to clean; the procedure never removes it.
  EXPECT_TRUE(files_.exists(TEMPORARY_DIRECTORY));
}

TEST_F(ReplaceAppAtomicTest, RefusedSourceEndsBeforeAnythingIsCreated) {
  validation_[SOURCE] = [] { return common::Status(common::fail_other("refused source")); };
  EXPECT_EQ(error_of(run()), "refused source");
  EXPECT_THAT(log_.texts(),
              ElementsAreArray(log_until("Validating signature of source app package")));
  EXPECT_EQ(validated_, std::vector<std::string>{SOURCE});
  expect_nothing_created();
  EXPECT_TRUE(files_.calls.empty());
}

TEST_F(ReplaceAppAtomicTest, ADestinationThatIsNotTheSignedApplicationIsNeverReplaced) {
  files_.items[DESTINATION + "/Contents/_CodeSignature/manifest"].content = "tampered";
  initial_ = files_.items;
  EXPECT_EQ(error_of(run()),
            "SecStaticCodeCheckValidityWithErrors failed with code: -67062 and error: code object "
            "is not signed at all");
  EXPECT_THAT(log_.texts(),
              ElementsAreArray(log_until("Validating signature of destination app package")));
  expect_nothing_created();
}

TEST_F(ReplaceAppAtomicTest, PathsThatAreNotUtf8FailWithTheirArgumentsName) {
  // The real signature check refuses such a path first; the routine's own check still holds.
  std::string bad_source = "/Users/me/Downloads/N\xFF.app";
  validation_[bad_source] = [] { return common::Status{}; };
  EXPECT_EQ(error_of(run(bad_source)), "Could not convert \"source_path\" to a \"&str\"");
  auto lines =
      log_until("Initiating atomic replacement of destination app package with source app package");
  lines[0] = "Source path: /Users/me/Downloads/N\xEF\xBF\xBD.app";
  EXPECT_THAT(log_.texts(), ElementsAreArray(lines));
  expect_nothing_created();
}

TEST_F(ReplaceAppAtomicTest, DestinationPathThatIsNotUtf8) {
  std::string bad_destination = "/Applications/A\xC3.app";
  validation_[bad_destination] = [] { return common::Status{}; };
  EXPECT_EQ(error_of(run(SOURCE, bad_destination)),
            "Could not convert \"destination_path\" to a \"&str\"");
  auto texts = log_.texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts[1], "Destination path: /Applications/A\xEF\xBF\xBD.app");
  EXPECT_EQ(texts.back(),
            "Initiating atomic replacement of destination app package with source app package");
  expect_nothing_created();
}

TEST_F(ReplaceAppAtomicTest, DestinationSecurityFailuresStopAfterReadingPermissions) {
  struct Case {
    std::string name;
    std::function<void(FakeFiles&)> script;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"missing destination", [](FakeFiles& f) { f.items.erase(DESTINATION); },
       "CFURLCopyResourcePropertyForKey failed with code: 2 and error: no item at " + DESTINATION},
      {"no security object", [](FakeFiles& f) { f.security_create_failures.insert(DESTINATION); },
       "CFFileSecurityCreate failed with error: unknown"},
      {"read refused without an error object",
       [](FakeFiles& f) { f.security_read_failures[DESTINATION] = {}; },
       "CFURLCopyResourcePropertyForKey failed with error: unknown"},
      {"owner unreadable",
       [](FakeFiles& f) {
         f.security_edits[DESTINATION] = [](platform::FileSecurity& s) { s.owner.reset(); };
       },
       "Failed to extract file security details"},
      {"group unreadable",
       [](FakeFiles& f) {
         f.security_edits[DESTINATION] = [](platform::FileSecurity& s) { s.group.reset(); };
       },
       "Failed to extract file security details"},
      {"mode unreadable",
       [](FakeFiles& f) {
         f.security_edits[DESTINATION] = [](platform::FileSecurity& s) { s.mode.reset(); };
       },
       "Failed to extract file security details"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFiles files;
    files.items = initial_;
    c.script(files);
    auto before = files.items;
    platform::Platform platform;
    platform.files = &files;
    CapturedLog log;
    auto result = util::fs::replace_directory_atomic(
        platform, SOURCE, DESTINATION,
        [](platform::Platform&, const util::fs::BundleToValidate&) { return common::Status{}; });
    EXPECT_EQ(error_of(result), c.error);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Validating signature of destination app package",
                               "Successfully validated signature of destination app package",
                               "Reading file permissions of destination"}));
    EXPECT_TRUE(files.items == before);
  }
}

TEST_F(ReplaceAppAtomicTest, ReplacementDirectoryFailureCarriesTheDescriptionAlone) {
  files_.replacement_directory_failure = platform::FoundationFailure{"The volume is read only."};
  EXPECT_EQ(error_of(run()), "The volume is read only.");
  EXPECT_THAT(log_.texts(),
              ElementsAreArray(log_until("Creating temporary directory for copy operations")));
  expect_nothing_created();
}

TEST_F(ReplaceAppAtomicTest, FoundationFailuresWithoutAnErrorObjectUseTheSubstitute) {
  const std::string substitute =
      "The operation couldn\u2019t be completed. (KolvarisDesktopHelper error 0.)";
  files_.replacement_directory_failure = platform::FoundationFailure{std::nullopt};
  EXPECT_EQ(error_of(run()), substitute);
  files_.replacement_directory_failure.reset();
  files_.copy_failure = platform::FoundationFailure{std::nullopt};
  EXPECT_EQ(error_of(run()), substitute);
  files_.copy_failure.reset();
  files_.replace_failure = platform::FoundationFailure{std::nullopt};
  EXPECT_EQ(error_of(run()), substitute);
}

TEST_F(ReplaceAppAtomicTest, DestinationWithoutFileNameCreatesNothing) {
  // The destination exists but names no item; a replacement directory "beside" it would be made
  // inside the installed bundle.
  const std::string destination = DESTINATION + "/Contents/..";
  files_.items[destination] = files_.items[DESTINATION];
  validation_[destination] = [] { return common::Status{}; };
  initial_ = files_.items;
  EXPECT_EQ(error_of(run(SOURCE, destination)),
            "Could not get file name from the given \"destination_path\"");
  EXPECT_EQ(log_.texts().back(), "Creating temporary directory for copy operations");
  expect_nothing_created();
}

TEST_F(ReplaceAppAtomicTest, TemporaryItemUrlFailuresLeaveTheDirectoryEmpty) {
  {
    files_.append_yields_nothing = true;
    EXPECT_EQ(error_of(run()), "Could not create \"temp_item_url\"");
    EXPECT_THAT(log_.texts(),
                ElementsAreArray(log_until("Creating temporary directory for copy operations")));
  }
  ASSERT_TRUE(files_.exists(TEMPORARY_DIRECTORY));
  EXPECT_TRUE(files_.children(TEMPORARY_DIRECTORY).empty());
  expect_untouched_outside_temporary_directory();
}

TEST_F(ReplaceAppAtomicTest, TemporaryItemWithoutPath) {
  files_.url_path_yields_nothing = true;
  EXPECT_EQ(error_of(run()), "Failed to convert from \"NSURL\" to \"Path\"");
  EXPECT_THAT(log_.texts(),
              ElementsAreArray(log_until("Creating temporary directory for copy operations")));
  ASSERT_TRUE(files_.exists(TEMPORARY_DIRECTORY));
  EXPECT_TRUE(files_.children(TEMPORARY_DIRECTORY).empty());
  expect_untouched_outside_temporary_directory();
}

TEST_F(ReplaceAppAtomicTest, CopyFailureLeavesThePartialCopy) {
  files_.copy_failure = platform::FoundationFailure{"The disk is full."};
  files_.copy_failure_after_items = 3;
  EXPECT_EQ(error_of(run()), "The disk is full.");
  EXPECT_THAT(log_.texts(), ElementsAreArray(log_until("Copying item to temporary directory")));
  EXPECT_EQ(files_.subtree(TEMPORARY_ITEM).size(), 3u);
  expect_untouched_outside_temporary_directory();
}

TEST_F(ReplaceAppAtomicTest, CopyThatFailsItsSignatureCheckIsNeitherOwnedNorInstalled) {
  validation_[TEMPORARY_ITEM] = [] { return common::Status(common::fail_other("copy refused")); };
  EXPECT_EQ(error_of(run()), "copy refused");
  EXPECT_THAT(log_.texts(),
              ElementsAreArray(log_until("Validating signature of item in temporary directory")));
  // The copy is complete but still the copier's, quarantined, and not at the destination.
  auto copy = files_.subtree(TEMPORARY_ITEM);
  EXPECT_EQ(copy.size(), files_.subtree(SOURCE).size());
  for (const auto& [relative, item] : copy) EXPECT_EQ(item.owner, files_.copier_owner);
  EXPECT_TRUE(copy[""].attributes.contains("com.apple.quarantine"));
  expect_untouched_outside_temporary_directory();
}

TEST_F(ReplaceAppAtomicTest, SourceSwappedAfterItsCheckIsRefusedInTheCopy) {
  // The owner of the download swaps in an unsigned tree between the check and the copy.
  validation_[SOURCE] = [this] {
    files_.items[SOURCE + "/Contents/_CodeSignature/manifest"].content = "";
    files_.items[SOURCE + "/Contents/MacOS/App"].content = "payload";
    return common::Status{};
  };
  EXPECT_EQ(error_of(run()),
            "SecStaticCodeCheckValidityWithErrors failed with code: -67062 and error: code object "
            "is not signed at all");
  EXPECT_EQ(log_.texts().back(), "Validating signature of item in temporary directory");
  EXPECT_EQ(files_.items.at(DESTINATION + "/Contents/MacOS/App").content, "1.9");
  for (const auto& [path, item] : initial_) {
    if (path.starts_with(DESTINATION)) {
      EXPECT_TRUE(files_.items.at(path) == item) << path;
    }
  }
}

TEST_F(ReplaceAppAtomicTest, OwnershipFailureKeepsWhatWasAlreadyHandled) {
  const std::string failing = TEMPORARY_ITEM + "/Contents/Info.plist";
  files_.security_write_failures[failing] =
      platform::CFCallFailure{platform::CFError{13, "not permitted"}};
  EXPECT_EQ(error_of(run()),
            "CFURLSetResourcePropertyForKey failed with code: 13 and error: not permitted");
  EXPECT_EQ(log_.texts().back(), "Overriding owner and group of file at URL: file://" + failing);
  // Items enumerated before the failure carry the new owner; the rest are still the copier's.
  EXPECT_EQ(files_.items.at(TEMPORARY_ITEM).owner, USER);
  EXPECT_EQ(files_.items.at(TEMPORARY_ITEM + "/Contents/Frameworks/Kit.framework/Kit").owner, USER);
  EXPECT_EQ(files_.items.at(failing).owner, files_.copier_owner);
  EXPECT_EQ(files_.items.at(TEMPORARY_ITEM + "/Contents/MacOS/App").owner, files_.copier_owner);
  expect_untouched_outside_temporary_directory();
}

TEST_F(ReplaceAppAtomicTest, QuarantineFailureIsPrefixedAndLeavesTheOwnedCopy) {
  files_.quarantine_error = EACCES;
  EXPECT_EQ(error_of(run()),
            "Failed to remove quarantine attribute: Permission denied (os error 13)");
  EXPECT_THAT(
      log_.texts(),
      ElementsAreArray(log_until("Removing quarantine attribute of item in temporary directory")));
  for (const auto& [relative, item] : files_.subtree(TEMPORARY_ITEM)) {
    EXPECT_EQ(item.owner, USER) << relative;
    EXPECT_EQ(item.group, STAFF) << relative;
  }
  expect_untouched_outside_temporary_directory();
}

TEST_F(ReplaceAppAtomicTest, ReplaceFailureCarriesTheDescriptionAlone) {
  files_.replace_failure = platform::FoundationFailure{"Could not exchange the items."};
  EXPECT_EQ(error_of(run()), "Could not exchange the items.");
  EXPECT_THAT(log_.texts(), ElementsAreArray(log_until(
                                "Replace item at destination with item from temporary directory")));
  EXPECT_EQ(files_.subtree(TEMPORARY_ITEM).size(), files_.subtree(SOURCE).size());
  expect_untouched_outside_temporary_directory();
}

TEST_F(ReplaceAppAtomicTest, NonZeroExitOfTheQuarantineToolStillSucceeds) {
  // Covered with real programs in quarantine_test; here the tool is found but fails.
  test_support::TempDir bin;
  std::string tool = (bin.path() / "xattr").string();
  FILE* script = std::fopen(tool.c_str(), "w");
  ASSERT_NE(script, nullptr);
  std::fputs("#!/bin/sh\necho nope >&2\nexit 64\n", script);
  std::fclose(script);
  ::chmod(tool.c_str(), 0755);
  const char* saved = std::getenv("PATH");
  std::string saved_path = saved ? saved : "";
  ::setenv("PATH", bin.path().c_str(), 1);
  files_.quarantine_mechanism = platform::QuarantineRemoval::ExternalTool;
  auto result = run();
  ::setenv("PATH", saved_path.c_str(), 1);
  ASSERT_TRUE(result) << result.error().text();
  EXPECT_THAT(log_.texts(), ElementsAreArray(full_log()));
}

TEST(PathFileName, IgnoresTrailingSeparatorsAndDotComponents) {
  using util::fs::path_file_name;
  for (const char* path :
       {"/Applications/App.app", "/Applications/App.app/", "/Applications/App.app/.",
        "/Applications/App.app//./", "App.app", "./App.app", "/Applications/./App.app"}) {
    EXPECT_EQ(path_file_name(path), std::optional<std::string_view>("App.app")) << path;
  }
  for (const char* path : {"", "/", ".", "./", "//", "/Applications/..", "..", "a/b/../"}) {
    EXPECT_EQ(path_file_name(path), std::nullopt) << path;
  }
  EXPECT_EQ(path_file_name("/a/..b"), std::optional<std::string_view>("..b"));
}

}  // namespace

// Which step failed, told as the reason a client hears: a refused check by whose bundle it was,
// a file operation by the error number under it, and a reason found closer to the failure wins.
TEST_F(ReplaceAppAtomicTest, EveryRefusalCarriesTheReasonOfTheStepThatFailed) {
  using common::Reason;
  auto reason_of = [this] {
    auto result = run();
    return result ? Reason::Unspecified : result.error().reason();
  };
  auto refused = [] { return common::Status(common::fail_other("refused")); };
  validation_[SOURCE] = refused;
  EXPECT_EQ(reason_of(), Reason::NotSigned);
  validation_[SOURCE] = [] {
    return common::Status(common::fail_because(Reason::NotFound, "nothing there"));
  };
  EXPECT_EQ(reason_of(), Reason::NotFound);
  validation_.erase(SOURCE);
  validation_[DESTINATION] = refused;
  EXPECT_EQ(reason_of(), Reason::NotTheApplication);
  validation_.erase(DESTINATION);
  validation_[TEMPORARY_ITEM] = refused;
  EXPECT_EQ(reason_of(), Reason::NotSigned);
  validation_.erase(TEMPORARY_ITEM);

  files_.replacement_directory_failure = platform::FoundationFailure{"read only", EROFS};
  EXPECT_EQ(reason_of(), Reason::ReadOnlyVolume);
  files_.replacement_directory_failure = platform::FoundationFailure{"no idea", 0};
  EXPECT_EQ(reason_of(), Reason::Unspecified);
  files_.replacement_directory_failure.reset();
  files_.copy_failure = platform::FoundationFailure{"The disk is full.", ENOSPC};
  EXPECT_EQ(reason_of(), Reason::NoSpace);
  files_.copy_failure.reset();
  files_.replace_failure = platform::FoundationFailure{"Could not exchange", EXDEV};
  EXPECT_EQ(reason_of(), Reason::IoError);
  files_.replace_failure.reset();

  // (The real check refuses such a path as a bad request too, before this routine's own check.)
  validation_["/Users/me/\xff.app"] = [] { return common::Status{}; };
  EXPECT_EQ(run("/Users/me/\xff.app").error().reason(), Reason::BadRequest);
  EXPECT_EQ(reason_of(), Reason::Unspecified);  // and with nothing scripted, it succeeds
}
