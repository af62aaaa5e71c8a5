// A local user against the replacement, as root runs it: the user owns the directory the
// application is installed in (and so the installed bundle), and races renames and symbolic links
// against every step that follows a check. Root must act on what it checked and on nothing else,
// leave nothing of its own behind, and refuse to roll the application back.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "codesign_support.hpp"
#include "common/constants.hpp"
#include "file_tree_support.hpp"
#include "main/replace_app_atomic.hpp"
#include "platform/linux/files_linux.hpp"
#include "posix/file_tree.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace file_tree_support;
using ::testing::HasSubstr;

#define REQUIRE_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root"

// An account nobody uses: the attacker.
constexpr uid_t USER = 4711;
constexpr gid_t USER_GROUP = 4711;

// Runs `attack` in a child process with the user's identity only; true when it reported success.
bool as_user(const std::function<bool()>& attack) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(USER_GROUP, USER_GROUP, USER_GROUP) != 0 ||
        ::setresuid(USER, USER, USER) != 0) {
      ::_exit(2);
    }
    ::_exit(attack() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void chown_tree(const fs::path& top, uid_t owner, gid_t group) {
  for (const auto& [path, st] : stats_of(top.string())) ::lchown(path.c_str(), owner, group);
}

fs::path signed_bundle(const fs::path& where, const std::string& version) {
  fs::create_directories(where);
  fs::path bundle =
      codesign_test::make_bundle(where, std::string(common::CLIENT_BUNDLE_IDENTIFIER), version);
  codesign_test::write_file(bundle / "Contents/Resources/version", version);
  EXPECT_TRUE(codesign_test::sign(bundle, codesign_test::test_pki()));
  return bundle;
}

std::vector<std::string> names_in(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ReplaceAttackTest : public ::testing::Test {
 protected:
  ReplaceAttackTest() {
    platform_ = platform::system_platform();
    platform_.files = &files_;
    // Everyone may pass through the scratch directory, as through /home.
    ::chmod(dir_.path().c_str(), 0755);
    fs::create_directories(apps());
    fs::create_directories(downloads());
  }

  // The user's own directory, with the application the user installed there.
  fs::path apps() const { return dir_.path() / "apps"; }
  fs::path downloads() const { return dir_.path() / "downloads"; }
  fs::path installed() const { return apps() / "Kolvaris.app"; }

  void install(const std::string& version) {
    signed_bundle(apps(), version);
    chown_tree(apps(), USER, USER_GROUP);
  }

  common::Status replace(const fs::path& source, const std::string& destination,
                         const util::fs::SignatureValidator& validator =
                             main_service::validate_app_package) {
    return main_service::run_replace_app_atomic(platform_, {source.string(), destination},
                                                validator);
  }

  test_support::TempDir dir_;
  platform::linux_impl::LinuxFiles files_;
  platform::Platform platform_;
  test_support::CapturedLog log_;
};

// While the copy is being checked, the user moves the replacement directory aside and puts a link
// to a root-only directory in its place. Steps that went by path would then change the owner of,
// or swap in, the root-only item of the same name.
TEST_F(ReplaceAttackTest, ReplacementDirectorySwappedForALinkRedirectsNothing) {
  REQUIRE_ROOT();
  install("1.0");
  fs::path vault = dir_.path() / "vault";
  signed_bundle(vault, "1.0");
  ::chmod(vault.c_str(), 0700);
  Manifest vault_before = manifest_of((vault / "Kolvaris.app").string());
  fs::path source = signed_bundle(downloads(), "2.0");
  Manifest expected = manifest_of(source.string());

  bool attacked = false;
  auto racing = [&](platform::Platform& p, const util::fs::BundleToValidate& bundle) {
    if (bundle.scope == platform::ValidationScope::Full && bundle.url != nullptr) {
      std::string directory = fs::path(bundle.path).parent_path().filename().string();
      attacked = as_user([&] {
        return ::rename((apps() / directory).c_str(), (apps() / "aside").c_str()) == 0 &&
               ::symlink(vault.c_str(), (apps() / directory).c_str()) == 0;
      });
    }
    return main_service::validate_app_package(p, bundle);
  };
  auto result = replace(source, installed().string(), racing);
  ASSERT_TRUE(attacked);
  ASSERT_TRUE(result) << result.error().text();

  // The copy that was checked is what was installed; the vault is as it was, root's.
  EXPECT_EQ(manifest_of(installed().string()), expected);
  EXPECT_EQ(manifest_of((vault / "Kolvaris.app").string()), vault_before);
  for (const auto& [path, st] : stats_of((vault / "Kolvaris.app").string())) {
    EXPECT_EQ(st.st_uid, 0u) << path;
  }
  for (const auto& [path, st] : stats_of(installed().string())) {
    EXPECT_EQ(st.st_uid, USER) << path;
  }
}

// After the check of the installed bundle, the user puts another directory under its name. The
// exchange takes it out, sees it is not what was checked, and puts it back.
TEST_F(ReplaceAttackTest, DestinationSwappedAfterItsCheckIsPutBack) {
  REQUIRE_ROOT();
  install("1.0");
  fs::path source = signed_bundle(downloads(), "2.0");
  fs::create_directories(apps() / "decoy/Contents");
  codesign_test::write_file(apps() / "decoy/Contents/data", "decoy");
  chown_tree(apps(), USER, USER_GROUP);

  auto racing = [&](platform::Platform& p, const util::fs::BundleToValidate& bundle) {
    auto valid = main_service::validate_app_package(p, bundle);
    if (bundle.scope == platform::ValidationScope::Full && bundle.url != nullptr) {
      EXPECT_TRUE(as_user([&] {
        return ::rename(installed().c_str(), (apps() / "checked.app").c_str()) == 0 &&
               ::rename((apps() / "decoy").c_str(), installed().c_str()) == 0;
      }));
    }
    return valid;
  };
  auto result = replace(source, installed().string(), racing);
  ASSERT_FALSE(result);
  EXPECT_THAT(result.error().text(), HasSubstr("replaced by another item meanwhile"));
  EXPECT_EQ(read_file((installed() / "Contents/data").string()), "decoy");
  EXPECT_EQ(read_file((apps() / "checked.app/Contents/Resources/version").string()), "1.0");
  EXPECT_EQ(names_in(apps()), (std::vector<std::string>{"Kolvaris.app", "checked.app"}));
}

// The old bundle belongs to the user, who keeps a descriptor inside it and, while root removes
// it, swaps a directory for a link to a root-owned tree. Root removes the link, never the tree.
TEST_F(ReplaceAttackTest, RemovalOfAUsersTreeNeverFollowsASwappedInLink) {
  REQUIRE_ROOT();
  fs::path victim = dir_.path() / "victim";
  fs::path tree = dir_.path() / "old";
  for (int d = 0; d < 20; ++d) {
    std::string deeper = std::string("d").append(std::to_string(d));
    for (int f = 0; f < 100; ++f) {
      codesign_test::write_file(tree / "Resources/sub" / deeper / std::string("f").append(std::to_string(f)), "x");
    }
    codesign_test::write_file(victim / deeper / "precious", "root's");
  }
  chown_tree(tree, USER, USER_GROUP);
  ::chmod(dir_.path().c_str(), 0755);

  // The attacker: as soon as root opens "sub", swap it for a link to the victim.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t attacker = ::fork();
  if (attacker == 0) {
    ::close(ready[0]);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(USER_GROUP, USER_GROUP, USER_GROUP) != 0 ||
        ::setresuid(USER, USER, USER) != 0) {
      ::_exit(2);
    }
    int resources = ::open((tree / "Resources").c_str(), O_PATH | O_DIRECTORY);
    int watch = ::inotify_init1(0);
    if (resources < 0 || watch < 0 ||
        ::inotify_add_watch(watch, (tree / "Resources").c_str(), IN_OPEN | IN_ONLYDIR) < 0) {
      ::_exit(3);
    }
    (void)!::write(ready[1], "r", 1);
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      ssize_t n = ::read(watch, buffer, sizeof buffer);
      if (n <= 0) ::_exit(4);
      for (char* at = buffer; at < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        if (event->len > 0 && std::string_view(event->name) == "sub") {
          bool swapped = ::renameat(resources, "sub", resources, "sub-aside") == 0 &&
                         ::symlinkat(victim.c_str(), resources, "sub") == 0;
          ::_exit(swapped ? 0 : 5);
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
  }
  ::close(ready[1]);
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);

  auto removed = posix::remove_tree(tree.string());
  int status = 0;
  ::waitpid(attacker, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the attacker did not act";
  EXPECT_TRUE(removed) << removed.error().path;
  EXPECT_FALSE(exists(tree.string()));
  for (int d = 0; d < 20; ++d) {
    EXPECT_EQ(read_file((victim / (std::string("d").append(std::to_string(d))) / "precious").string()), "root's");
  }
}

// "App.app/", "App.app//" and "App.app/." name App.app: the replacement directory is made beside
// it, never inside it; a path ending in ".." names no file and nothing is made anywhere.
TEST_F(ReplaceAttackTest, DestinationFormsNameTheBundleAndNeverItsInside) {
  REQUIRE_ROOT();
  install("1.0");
  const Manifest installed_before = manifest_of(installed().string());
  int version = 2;
  for (const std::string suffix : {"/", "//", "/."}) {
    SCOPED_TRACE(suffix);
    fs::path source = signed_bundle(downloads() / std::to_string(version), std::to_string(version));
    auto result = replace(source, installed().string() + suffix);
    ASSERT_TRUE(result) << result.error().text();
    EXPECT_EQ(read_file((installed() / "Contents/Resources/version").string()),
              std::to_string(version));
    EXPECT_EQ(names_in(apps()), std::vector<std::string>{"Kolvaris.app"});
    EXPECT_EQ(names_in(installed()), std::vector<std::string>{"Contents"});
    ++version;
  }

  fs::path source = signed_bundle(downloads() / "last", "9");
  const Manifest before = manifest_of(installed().string());
  EXPECT_NE(before, installed_before);
  auto result = replace(source, (installed() / "Contents/..").string());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "Could not get file name from the given \"destination_path\"");
  EXPECT_EQ(manifest_of(installed().string()), before);
  EXPECT_EQ(names_in(apps()), std::vector<std::string>{"Kolvaris.app"});
  EXPECT_EQ(names_in(installed()), std::vector<std::string>{"Contents"});
}

TEST_F(ReplaceAttackTest, OlderOrUnversionedDownloadsAreRefusedAndLeaveNothing) {
  REQUIRE_ROOT();
  install("2.10");
  Manifest before = manifest_of(installed().string());
  struct Case {
    std::string version;  // "" for no CFBundleVersion at all
    std::string error;
  };
  const Case cases[] = {
      {"2.9", "Refusing to replace version 2.10 with older version 2.9"},
      {"1", "Refusing to replace version 2.10 with older version 1"},
      {"2.10.0.0", ""},
      {"", "Refusing to install a bundle without a CFBundleVersion"},
      {"3.0-beta", "Refusing to install version \"3.0-beta\", which is not a dotted version number"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    fs::path where = downloads() / std::to_string(n++);
    fs::path source = signed_bundle(where, c.version.empty() ? "0" : c.version);
    if (c.version.empty()) {
      codesign_test::write_file(source / "Contents/Info.plist",
                                "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>"
                                "<key>CFBundleIdentifier</key><string>" +
                                    std::string(common::CLIENT_BUNDLE_IDENTIFIER) +
                                    "</string><key>CFBundleExecutable</key>"
                                    "<string>Kolvaris</string></dict></plist>\n");
      ASSERT_TRUE(codesign_test::sign(source, codesign_test::test_pki()));
    }
    auto result = replace(source, installed().string());
    if (c.error.empty()) {
      EXPECT_TRUE(result) << result.error().text();
      before = manifest_of(installed().string());
      continue;
    }
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), c.error);
    EXPECT_EQ(manifest_of(installed().string()), before);
    EXPECT_EQ(names_in(apps()), std::vector<std::string>{"Kolvaris.app"});
  }
}

// An installation whose files were damaged is still the application: an update repairs it. A
// download with the same damage is not installed.
TEST_F(ReplaceAttackTest, DamagedInstallationIsRepairedButADamagedDownloadIsRefused) {
  REQUIRE_ROOT();
  install("1.0");
  codesign_test::write_file(installed() / "Contents/Resources/version", "edited");
  fs::path source = signed_bundle(downloads(), "1.1");
  Manifest expected = manifest_of(source.string());
  auto repaired = replace(source, installed().string());
  ASSERT_TRUE(repaired) << repaired.error().text();
  EXPECT_EQ(manifest_of(installed().string()), expected);

  fs::path damaged = signed_bundle(downloads() / "damaged", "1.2");
  codesign_test::write_file(damaged / "Contents/Resources/version", "edited");
  auto refused = replace(damaged, installed().string());
  ASSERT_FALSE(refused);
  EXPECT_THAT(refused.error().text(), HasSubstr("-67054"));
  EXPECT_EQ(manifest_of(installed().string()), expected);
}

// Runs `step` in a child process that has root's rights but, as under the service unit, not
// CAP_SYS_ADMIN; true when it reported success.
bool as_helper_without_sys_admin(const std::function<bool()>& step) {
  pid_t child = ::fork();
  if (child == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) ::_exit(2);
    const unsigned bit = 1u << (CAP_SYS_ADMIN % 32);
    data[CAP_SYS_ADMIN / 32].effective &= ~bit;
    data[CAP_SYS_ADMIN / 32].permitted &= ~bit;
    data[CAP_SYS_ADMIN / 32].inheritable &= ~bit;
    if (::syscall(SYS_capset, &header, data) != 0) ::_exit(2);
    ::_exit(step() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What a killed helper left is removed by the next replacement of the same destination, by a
// helper without CAP_SYS_ADMIN as the unit runs it; look-alike directories that are not provably
// ours are left alone: one a user renamed into place, one with a marker copied from a real
// leftover (it names another directory), one whose marker is a link to a real one, and the
// user's own.
TEST_F(ReplaceAttackTest, LeftoversOfAKilledHelperGoButLookAlikesStay) {
  REQUIRE_ROOT();
  install("1.0");
  fs::path old_copy = signed_bundle(downloads() / "old", "1.0");
  // A helper that dies while the copy sits in its replacement directory: no destructor runs.
  ASSERT_TRUE(as_helper_without_sys_admin([&] {
    auto directory = files_.item_replacement_directory(files_.file_url(installed().string()));
    if (!directory) return false;
    auto item = files_.append_path_component(*directory, "Kolvaris.app");
    ::_exit(item && files_.copy_item(files_.file_url(old_copy.string()), *item) ? 0 : 1);
  }));
  std::vector<fs::path> leftovers;
  for (const auto& name : names_in(apps())) {
    if (name.starts_with(platform::linux_impl::ITEM_REPLACEMENT_PREFIX)) {
      leftovers.push_back(apps() / name);
    }
  }
  ASSERT_EQ(leftovers.size(), 1u);
  const fs::path marker = leftovers[0] / platform::linux_impl::REPLACEMENT_MARKER_NAME;
  ASSERT_TRUE(fs::is_regular_file(marker));

  auto root_directory = [&](const std::string& name) {
    fs::path path = apps() / name;
    fs::create_directories(path / "keep");
    ::chmod(path.c_str(), 0700);
    return path;
  };
  const fs::path renamed = root_directory(".item-replacement-deadbeef0002");
  const fs::path copied = root_directory(".item-replacement-deadbeef0003");
  fs::copy_file(marker, copied / platform::linux_impl::REPLACEMENT_MARKER_NAME);
  ::chmod((copied / platform::linux_impl::REPLACEMENT_MARKER_NAME).c_str(), 0400);
  const fs::path linked = root_directory(".item-replacement-deadbeef0004");
  fs::create_symlink(marker, linked / platform::linux_impl::REPLACEMENT_MARKER_NAME);
  const fs::path users = root_directory(".item-replacement-deadbeef0005");
  ::chown(users.c_str(), USER, USER_GROUP);

  fs::path source = signed_bundle(downloads(), "1.1");
  ASSERT_TRUE(
      as_helper_without_sys_admin([&] { return bool(replace(source, installed().string())); }));
  EXPECT_EQ(read_file((installed() / "Contents/Resources/version").string()), "1.1");
  EXPECT_EQ(
      names_in(apps()),
      (std::vector<std::string>{".item-replacement-deadbeef0002", ".item-replacement-deadbeef0003",
                                ".item-replacement-deadbeef0004", ".item-replacement-deadbeef0005",
                                "Kolvaris.app"}));
  for (const auto& kept : {renamed, copied, linked, users}) {
    EXPECT_TRUE(exists((kept / "keep").string())) << kept;
  }
}

}  // namespace
