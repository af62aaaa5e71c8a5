// The ReplaceAppAtomic procedure against the in-memory platform: the order of its log lines, the
// text of each failure, and what every failure leaves on disk.

#include "main/replace_app_atomic.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
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
        platform_, command, requester_,
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
  platform::Requester requester_{};  // root
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
  // No backup name: the platform picks where the old bundle goes while the swap runs.
  EXPECT_EQ(files_.last_backup_name, std::nullopt);
  // The source is only read.
  for (const auto& [path, item] : initial_) {
    if (path.starts_with(SOURCE)) {
      EXPECT_TRUE(files_.items.at(path) == item) << path;
    }
  }
  // The replacement directory is the platform's to clean; the procedure never removes it.
  EXPECT_TRUE(files_.exists(TEMPORARY_DIRECTORY));
}

TEST_F(ReplaceAppAtomicTest, AnUnrelatedItemNamedLikeABackupBesideTheDestinationSurvives) {
  // The file manager removes an existing item of the backup's name beside the destination; in
  // /Applications, that would be anybody's item.
  files_.add_directory("/Applications/backup", USER, 20, 0755);
  files_.add_file("/Applications/backup/notes.txt", "mine", USER, 20);
  initial_ = files_.items;
  ASSERT_TRUE(run());
  EXPECT_TRUE(files_.exists("/Applications/backup/notes.txt"));
  EXPECT_EQ(files_.items.at("/Applications/backup/notes.txt").content, "mine");
}

TEST_F(ReplaceAppAtomicTest, ADestinationThatIsASymbolicLinkIsRefusedBeforeAnythingElse) {
  // The link names a bundle that would pass every check: the refusal must not depend on them.
  std::erase_if(files_.items, [](const auto& entry) {
    return entry.first == DESTINATION || entry.first.starts_with(DESTINATION + "/");
  });
  add_bundle("/Users/me/Real.app", "1.9", USER, STAFF);
  files_.add_symlink(DESTINATION, "/Users/me/Real.app", USER, STAFF);
  initial_ = files_.items;
  EXPECT_EQ(error_of(run()), "Refusing to replace \"destination_path\", which is a symbolic link");
  // Only the source was checked; the destination was neither validated nor read.
  EXPECT_EQ(validated_, std::vector<std::string>{SOURCE});
  EXPECT_THAT(files_.calls, ::testing::ElementsAre("file_url " + SOURCE, "file_url " + DESTINATION,
                                                   "is_symbolic_link " + DESTINATION));
  expect_nothing_created();
}

TEST_F(ReplaceAppAtomicTest, SetIdBitsOfTheDownloadDoNotReachTheInstalledBundle) {
  // chmod u+s / g+s by the user who downloaded it: the signature covers no permission bits.
  files_.items[SOURCE + "/Contents/MacOS/App"].mode = 04755;
  files_.items[SOURCE + "/Contents/Frameworks/Kit.framework/Kit"].mode = 06555;
  files_.items[SOURCE + "/Contents/MacOS"].mode = 02755;
  ASSERT_TRUE(run());
  EXPECT_EQ(files_.items.at(DESTINATION + "/Contents/MacOS/App").mode, 0755);
  EXPECT_EQ(files_.items.at(DESTINATION + "/Contents/Frameworks/Kit.framework/Kit").mode, 0555);
  EXPECT_EQ(files_.items.at(DESTINATION + "/Contents/MacOS").mode, 0755);
  for (const auto& [path, item] : files_.subtree(DESTINATION)) {
    EXPECT_EQ(item.mode & 06000, 0) << path;
  }
  // Cleared while the copy still had the copier's owner, before its owner was written.
  auto position = [this](const std::string& call) {
    return std::find(files_.calls.begin(), files_.calls.end(), call) - files_.calls.begin();
  };
  EXPECT_LT(position("write_permission_bits " + TEMPORARY_ITEM + "/Contents/MacOS/App 755"),
            position("write_file_security " + TEMPORARY_ITEM + "/Contents/MacOS/App"));
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

// For a user, root acts only on what that user could have changed: the installed bundle is
// theirs, or they may write its directory, or it is a system-wide installation of root's.
TEST_F(ReplaceAppAtomicTest, AUserHasReplacedOnlyWhatTheyCouldHaveChangedThemselves) {
  constexpr std::uint32_t BOB = 600;
  constexpr std::uint32_t ALICE = 700;
  struct Case {
    std::string name;
    platform::Requester requester;
    std::function<void(FakeFiles&)> tree;
    bool permitted;
  };
  const std::vector<Case> cases = {
      {"the bundle's owner", {USER, 20, {}, {}}, [](FakeFiles&) {}, true},
      {"another user", {BOB, 20, {}, {}}, [](FakeFiles&) {}, false},
      {"another user in the group that may write the directory",
       {BOB, 20, {}, {12, STAFF}},
       [](FakeFiles&) {},
       true},
      {"another user whose primary group may write the directory",
       {BOB, STAFF, {}, {}},
       [](FakeFiles&) {},
       true},
      {"root", {0, 0, {}, {}}, [](FakeFiles&) {}, true},
      {"anyone, for a system-wide installation",
       {BOB, 20, {}, {}},
       [](FakeFiles& f) {
         for (auto& [path, item] : f.items) {
           if (path.starts_with(DESTINATION)) item.owner = 0;
         }
       },
       true},
      {"nobody but its owners, for root's bundle in a user's directory",
       {BOB, 20, {}, {}},
       [](FakeFiles& f) {
         f.items["/Applications"].owner = ALICE;
         f.items["/Applications"].mode = 0755;
         for (auto& [path, item] : f.items) {
           if (path.starts_with(DESTINATION)) item.owner = 0;
         }
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    files_ = FakeFiles();
    files_.add_directory("/Applications", 0, STAFF, 0775);
    add_bundle(DESTINATION, "1.9", USER, STAFF);
    files_.add_directory("/Users/me/Downloads", USER, 20, 0755);
    add_bundle(SOURCE, "1.10", USER, 20);
    files_.items["/Users/me/Downloads"].mode = 0777;  // every requester may read the download
    c.tree(files_);
    initial_ = files_.items;
    validated_.clear();
    const std::size_t logged_before = log_.texts().size();
    requester_ = c.requester;
    auto done = run();
    if (c.permitted) {
      EXPECT_TRUE(done) << done.error().text();
      continue;
    }
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().text(),
              "Refusing to replace \"" + DESTINATION + "\", which is owned by another user");
    EXPECT_EQ(done.error().reason(), common::Reason::NotPermitted);
    // Refused before anything of either bundle was read or made.
    EXPECT_TRUE(validated_.empty());
    expect_nothing_created();
    auto texts = log_.texts();
    texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(logged_before));
    EXPECT_THAT(texts, ElementsAreArray(log_until("Destination path: " + DESTINATION)));
  }
}

// Whether a bundle lies behind a directory the user cannot search is not for the reply to tell:
// present and absent answer alike, and nothing of it is read for them.
TEST_F(ReplaceAppAtomicTest, WhatAUserCannotReachAnswersAlikeWhetherItExistsOrNot) {
  constexpr std::uint32_t BOB = 600;
  const std::string hidden = "/private/There.app";
  files_.add_directory("/private", 0, 0, 0700);
  add_bundle(hidden, "2.0", 0, 0);
  files_.add_directory("/Users/bob", BOB, 20, 0755);
  add_bundle("/Users/bob/App.app", "1.0", BOB, 20);
  add_bundle("/Users/bob/New.app", "3.0", BOB, 20);
  requester_ = platform::Requester{BOB, 20, {}, {}};

  struct Ask {
    std::string source, destination, error;
  };
  const std::vector<Ask> asks = {
      {hidden, "/Users/bob/App.app",
       "No bundle the requesting user can open at \"" + hidden + "\""},
      {"/Users/bob/New.app", hidden,
       "No application the requesting user can reach at \"" + hidden + "\""},
  };
  for (const auto& ask : asks) {
    SCOPED_TRACE(ask.source + " over " + ask.destination);
    std::vector<std::pair<std::string, common::Reason>> answers;
    for (bool present : {true, false}) {
      if (!present) {
        std::erase_if(files_.items, [&](const auto& e) { return e.first.starts_with(hidden); });
      }
      initial_ = files_.items;
      validated_.clear();
      auto done = run(ask.source, ask.destination);
      ASSERT_FALSE(done);
      answers.emplace_back(done.error().text(), done.error().reason());
      EXPECT_TRUE(validated_.empty());
      EXPECT_TRUE(files_.items == initial_);
    }
    EXPECT_EQ(answers[0], answers[1]);
    EXPECT_EQ(answers[0].first, ask.error);
    EXPECT_EQ(answers[0].second, common::Reason::NotFound);
    add_bundle(hidden, "2.0", 0, 0);
  }
  // A source the user may open is read for them, and only through what they reached.
  files_.calls.clear();
  ASSERT_TRUE(run("/Users/bob/New.app", "/Users/bob/App.app"));
  ASSERT_GE(files_.calls.size(), 2u);
  EXPECT_EQ(files_.calls[0], "reach_as /Users/bob/New.app 600");
  EXPECT_EQ(files_.calls[1], "reach_as /Users/bob/App.app 600");
  EXPECT_EQ(std::count(files_.calls.begin(), files_.calls.end(), "file_url /Users/bob/New.app"), 0);
}

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
