// ReplaceAppAtomic on real files with real signatures: ownership of every item, permission bits,
// links that point out of the bundle, quarantine, the old bundle's removal, the destination's
// name; refusals that must leave the installed bundle alone. Owner changes need root.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codesign_support.hpp"
#include "file_tree_support.hpp"
#include "main/app_package_validation.hpp"
#include "main/replace_app_atomic.hpp"
#include "platform/files.hpp"
#include "platform/linux/files_linux.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace file_tree_support;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* QUARANTINE = "user.com.apple.quarantine";

#define REQUIRE_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root"

// A signed bundle of the client's identity; `version` makes every file's contents differ.
fs::path make_signed_bundle(const fs::path& where, const std::string& name,
                            const std::string& version) {
  fs::path built =
      codesign_test::make_bundle(where, std::string(common::CLIENT_BUNDLE_IDENTIFIER), version);
  fs::path bundle = where / name;
  if (built != bundle) fs::rename(built, bundle);
  codesign_test::write_file(bundle / "Contents/Resources/version", version);
  codesign_test::write_file(bundle / "Contents/Resources/.hidden", "hidden " + version, 0600);
  codesign_test::write_file(bundle / "Contents/Resources/read-only", "ro " + version, 0444);
  codesign_test::write_file(bundle / "Contents/Frameworks/Kit.framework/Versions/A/Kit",
                            "kit " + version, 0755);
  codesign_test::write_file(bundle / "Contents/Frameworks/Kit.framework/Versions/A/.meta",
                            "meta " + version);
  fs::create_directory_symlink("A", bundle / "Contents/Frameworks/Kit.framework/Versions/Current");
  codesign_test::write_file(bundle / "Contents/Library/Nested.app/Contents/MacOS/Nested",
                            "nested " + version, 0755);
  auto signed_ok = codesign_test::sign(bundle, codesign_test::test_pki());
  EXPECT_TRUE(signed_ok) << (signed_ok ? "" : signed_ok.error().text());
  return bundle;
}

void chown_tree(const fs::path& top, uid_t owner, gid_t group) {
  for (const auto& [path, st] : stats_of(top.string())) {
    ::lchown(path.c_str(), owner, group);
  }
}

class ReplaceFilesTest : public ::testing::Test {
 protected:
  ReplaceFilesTest() {
    files_ = std::make_unique<platform::linux_impl::LinuxFiles>();
    platform_ = platform::system_platform();
    platform_.files = files_.get();
    fs::create_directories(applications());
    fs::create_directories(downloads());
  }

  fs::path applications() const { return dir_.path() / "Applications"; }
  fs::path downloads() const { return dir_.path() / "Downloads"; }

  common::Status replace(const fs::path& source, const fs::path& destination) {
    return main_service::run_replace_app_atomic(platform_, {source.string(), destination.string()});
  }
  common::Status replace(const fs::path& source, const fs::path& destination,
                         const util::fs::SignatureValidator& validator) {
    return main_service::run_replace_app_atomic(platform_, {source.string(), destination.string()},
                                                validator);
  }

  std::vector<std::string> leftovers(const fs::path& directory) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
      std::string name = entry.path().filename().string();
      if (name.starts_with(".item-replacement-")) names.push_back(name);
    }
    return names;
  }

  test_support::TempDir dir_;
  std::unique_ptr<platform::Files> files_;
  platform::Platform platform_;
  test_support::CapturedLog log_;
};

TEST_F(ReplaceFilesTest, NewBundleTakesTheInstalledOnesNameOwnerAndGroupThroughout) {
  REQUIRE_ROOT();
  fs::path destination = make_signed_bundle(applications(), "Kolvaris.app", "1.0");
  codesign_test::write_file(destination / "Contents/Resources/old-only", "old");
  ASSERT_TRUE(codesign_test::sign(destination, codesign_test::test_pki()));
  chown_tree(destination, 501, 80);
  ::chmod(destination.c_str(), 0755);

  // A download, named differently, owned by the user who fetched it, quarantined, with a link
  // to a file outside the bundle that root must not touch.
  codesign_test::write_file(dir_.path() / "outside", "outside");
  ::chown((dir_.path() / "outside").c_str(), 1234, 1234);
  set_attribute((dir_.path() / "outside").string(), QUARANTINE, "q");
  fs::path source = downloads() / "Kolvaris 2.0.app";
  {
    fs::path built = make_signed_bundle(downloads(), "Kolvaris 2.0.app", "2.0");
    fs::create_symlink(dir_.path() / "outside", built / "Contents/Resources/outside-link");
    ASSERT_TRUE(codesign_test::sign(built, codesign_test::test_pki()));
  }
  chown_tree(source, 1000, 1000);
  for (const auto& [path, st] : stats_of(source.string())) {
    if (!S_ISLNK(st.st_mode)) set_attribute(path, QUARANTINE, "0081;5f;Browser;");
  }
  Manifest expected = manifest_of(source.string());

  auto result = replace(source, destination);
  ASSERT_TRUE(result) << result.error().text();
  EXPECT_EQ(log_.texts().back(), "Successfully replaced app package");

  EXPECT_EQ(manifest_of(destination.string()), expected);
  for (const auto& [path, st] : stats_of(destination.string())) {
    SCOPED_TRACE(path);
    EXPECT_EQ(st.st_uid, 501u);
    EXPECT_EQ(st.st_gid, 80u);
    EXPECT_EQ(attribute(path, QUARANTINE), std::nullopt);
  }
  EXPECT_FALSE(exists((destination / "Contents/Resources/old-only").string()));
  auto outside = lstat_of((dir_.path() / "outside").string());
  EXPECT_EQ(outside.st_uid, 1234u);
  EXPECT_EQ(outside.st_gid, 1234u);
  EXPECT_EQ(attribute((dir_.path() / "outside").string(), QUARANTINE), "q");
  // Only the installed name is left beside it: no copy under the download's name, no backup, no
  // replacement directory.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(applications())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"Kolvaris.app"});
  // The download is only read.
  EXPECT_EQ(manifest_of(source.string()), expected);
  EXPECT_EQ(lstat_of(source.string()).st_uid, 1000u);
  // What was installed is still the signed application.
  EXPECT_TRUE(main_service::validate_app_package_signature(platform_, destination.string()));
}

TEST_F(ReplaceFilesTest, SetIdBitsDoNotSurviveTheChangeOfOwner) {
  REQUIRE_ROOT();
  fs::path destination = make_signed_bundle(applications(), "Kolvaris.app", "1.0");
  chown_tree(destination, 501, 80);
  fs::path source = make_signed_bundle(downloads(), "Kolvaris.app", "2.0");
  codesign_test::write_file(source / "Contents/MacOS/setuid-tool", "x", 0755);
  ::chmod((source / "Contents/MacOS/setuid-tool").c_str(), 04755);
  // The signing tool refuses to seal set-id bits, which could never survive installation...
  auto refused = codesign_test::sign(source, codesign_test::test_pki());
  ASSERT_FALSE(refused);
  EXPECT_THAT(refused.error().text(), HasSubstr("set-user-id and set-group-id"));
  // ...and bits added after signing (the seal covers only the executable bit) are not copied.
  ::chmod((source / "Contents/MacOS/setuid-tool").c_str(), 0755);
  ASSERT_TRUE(codesign_test::sign(source, codesign_test::test_pki()));
  ::chmod((source / "Contents/MacOS/setuid-tool").c_str(), 06755);
  ASSERT_TRUE(replace(source, destination));
  EXPECT_EQ(lstat_of((destination / "Contents/MacOS/setuid-tool").string()).st_mode & 07777, 0755u);
}

TEST_F(ReplaceFilesTest, SourceSwappedForAnUnsignedTreeAfterItsCheckIsRefusedInTheCopy) {
  fs::path destination = make_signed_bundle(applications(), "Kolvaris.app", "1.0");
  Manifest installed = manifest_of(destination.string());
  fs::path source = make_signed_bundle(downloads(), "Kolvaris.app", "2.0");
  fs::path swapped_in = downloads() / "unsigned";
  fs::create_directories(swapped_in);
  fs::path forged = make_signed_bundle(swapped_in, "Kolvaris.app", "2.0");
  codesign_test::write_file(forged / codesign_test::MAIN_EXECUTABLE, "#!/bin/sh\nid\n", 0755);

  // The download's owner wins the race: right after the check, the checked tree is replaced.
  auto racing_validator = [&](platform::Platform& p, const util::fs::BundleToValidate& bundle) {
    auto valid = main_service::validate_app_package(p, bundle);
    if (valid && bundle.path == source.string()) {
      fs::rename(source, downloads() / "checked.app");
      fs::rename(forged, source);
    }
    return valid;
  };
  auto result = replace(source, destination, racing_validator);
  ASSERT_FALSE(result);
  EXPECT_THAT(result.error().text(),
              StartsWith("SecStaticCodeCheckValidityWithErrors failed with code: "));
  EXPECT_EQ(log_.texts().back(), "Validating signature of item in temporary directory");
  EXPECT_EQ(manifest_of(destination.string()), installed);
}

TEST_F(ReplaceFilesTest, DestinationThatIsNotTheApplicationIsRefusedBeforeAnythingIsMade) {
  fs::path destination = applications() / "Other.app";
  fs::create_directories(destination / "Contents");
  codesign_test::write_file(destination / "Contents/data", "data");
  Manifest before = manifest_of(destination.string());
  fs::path source = make_signed_bundle(downloads(), "Kolvaris.app", "2.0");
  auto result = replace(source, destination);
  ASSERT_FALSE(result);
  EXPECT_THAT(result.error().text(),
              StartsWith("SecStaticCodeCheckValidityWithErrors failed with code: "));
  EXPECT_EQ(log_.texts().back(), "Validating signature of destination app package");
  EXPECT_EQ(manifest_of(destination.string()), before);
  EXPECT_TRUE(leftovers(applications()).empty());
}

TEST_F(ReplaceFilesTest, UnsignedSourceIsRefusedBeforeAnythingIsMade) {
  fs::path destination = make_signed_bundle(applications(), "Kolvaris.app", "1.0");
  Manifest before = manifest_of(destination.string());
  fs::path source = make_signed_bundle(downloads(), "Kolvaris.app", "2.0");
  codesign_test::write_file(source / "Contents/Resources/version", "tampered");
  auto result = replace(source, destination);
  ASSERT_FALSE(result);
  EXPECT_EQ(log_.texts().back(), "Validating signature of source app package");
  EXPECT_EQ(manifest_of(destination.string()), before);
  EXPECT_TRUE(leftovers(applications()).empty());
}

TEST_F(ReplaceFilesTest, MissingDestinationFailsOnItsSignatureWithNothingMade) {
  fs::path source = make_signed_bundle(downloads(), "Kolvaris.app", "2.0");
  auto result = replace(source, applications() / "Kolvaris.app");
  ASSERT_FALSE(result);
  EXPECT_EQ(log_.texts().back(), "Validating signature of destination app package");
  EXPECT_TRUE(leftovers(applications()).empty());
}

// A file system too small for the copy: the copy's own error, the installed bundle intact, the
// partial copy left in the replacement directory.
TEST_F(ReplaceFilesTest, OutOfSpaceFailsWithTheCopysErrorAndLeavesTheDestinationIntact) {
  REQUIRE_ROOT();
  fs::path small = dir_.path() / "small";
  fs::create_directories(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};

  fs::path destination = make_signed_bundle(small, "Kolvaris.app", "1.0");
  Manifest installed = manifest_of(destination.string());
  fs::path source = downloads() / "Kolvaris.app";
  {
    fs::path built = make_signed_bundle(downloads(), "Kolvaris.app", "2.0");
    codesign_test::write_file(built / "Contents/Resources/big", std::string(3 << 20, 'b'));
    ASSERT_TRUE(codesign_test::sign(built, codesign_test::test_pki()));
  }

  auto result = replace(source, destination);
  ASSERT_FALSE(result);
  EXPECT_THAT(result.error().text(),
              StartsWith("Could not copy \"" + (source / "Contents/Resources/big").string() +
                         "\" into \"" + small.string() + "/"));
  EXPECT_THAT(result.error().text(), HasSubstr("No space left on device (os error 28)"));
  EXPECT_EQ(log_.texts().back(), "Copying item to temporary directory");
  EXPECT_EQ(manifest_of(destination.string()), installed);
  // The partial copy went with its replacement directory: a full disk is not made fuller.
  EXPECT_TRUE(leftovers(small).empty());
}

}  // namespace
