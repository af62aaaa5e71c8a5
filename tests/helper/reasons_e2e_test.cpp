// Why an update was refused, as an application hears it: the real helper, asked by helperctl in a
// signed bundle (the client library's calls underneath), for the failures users meet most. Each
// comes back with its own reason, and the installed bundle stays as it was.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "activator.hpp"
#include "codesign_support.hpp"
#include "file_tree_support.hpp"
#include "replace_support.hpp"

#if defined(KOLVARIS_HELPER_BINARY) && defined(KOLVARIS_HELPERCTL_BINARY)

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using replace_support::SignedHelperctl;
using test_support::ActivatedHelper;

// A signed bundle of `identifier` and `version` in `where`.
fs::path signed_bundle(
    const fs::path& where, const std::string& version,
    const std::string& identifier = std::string(common::CLIENT_BUNDLE_IDENTIFIER)) {
  fs::path bundle = codesign_test::make_bundle(where, identifier, version);
  if (!codesign_test::sign(bundle, codesign_test::test_pki())) return {};
  return bundle;
}

// A mount made for one test and undone with it.
class Mount {
 public:
  Mount(const char* source, const fs::path& target, const char* type, unsigned long flags,
        const char* data = nullptr)
      : target_(target) {
    if (::mount(source, target.c_str(), type, flags, data) == 0) {
      mounted_ = true;
    } else {
      error_ = std::strerror(errno);
    }
  }
  ~Mount() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  // Turns a bind mount read-only (the first bind call ignores MS_RDONLY).
  bool make_read_only() {
    if (::mount(nullptr, target_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) ==
        0) {
      return true;
    }
    error_ = std::strerror(errno);
    return false;
  }

 private:
  fs::path target_;
  bool mounted_ = false;
  std::string error_;
};

class ReplyReasons : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client_.ok());
    fs::create_directories(dir_.path() / "helper");
    helper_.emplace(KOLVARIS_HELPER_BINARY, dir_.path() / "helper");
    ASSERT_TRUE(helper_->wait_out("IPC: Listener created for socket: ", 30s));
  }

  // helperctl replace SOURCE DESTINATION: its exit status and output.
  std::pair<int, std::string> replace(const fs::path& source, const fs::path& destination) {
    return client_.run(helper_->socket_path(),
                       "replace " + test_support::shell_quoted(source.string()) + " " +
                           test_support::shell_quoted(destination.string()));
  }

  // Asks for the replacement, expects the refusal with `reason`, and that the destination is
  // unchanged.
  void expect_refused(const fs::path& source, const fs::path& destination,
                      const std::string& reason) {
    const auto before = file_tree_support::manifest_of(destination.string());
    auto [status, out] = replace(source, destination);
    EXPECT_EQ(status, 1) << out;
    EXPECT_TRUE(out.starts_with("Err " + reason + ": ")) << out;
    EXPECT_EQ(file_tree_support::manifest_of(destination.string()), before);
    // The message is the line the log has, after its prefix.
    const std::string message = out.substr(out.find(": ") + 2);
    EXPECT_NE(helper_->err().find("Error: IPC: Failed to execute command: " + message),
              std::string::npos)
        << helper_->err();
  }

  test_support::TempDir dir_;
  SignedHelperctl client_;
  std::optional<ActivatedHelper> helper_;
};

TEST_F(ReplyReasons, OlderDownloadIsADowngrade) {
  fs::path installed = signed_bundle(dir_.path() / "Applications", "2.0");
  fs::path download = signed_bundle(dir_.path() / "Downloads", "1.9.9");
  ASSERT_FALSE(installed.empty());
  ASSERT_FALSE(download.empty());
  expect_refused(download, installed, "downgrade");
}

TEST_F(ReplyReasons, DamagedDownloadIsNotSigned) {
  fs::path installed = signed_bundle(dir_.path() / "Applications", "1.0");
  fs::path download = signed_bundle(dir_.path() / "Downloads", "2.0");
  ASSERT_FALSE(download.empty());
  // One byte changed after signing, as a broken transfer leaves it.
  codesign_test::write_file(download / "Contents/Resources/nested/deep.txt", "deeq\n");
  expect_refused(download, installed, "not_signed");
}

TEST_F(ReplyReasons, AnotherApplicationAsDestinationIsNotTheApplication) {
  fs::path other = signed_bundle(dir_.path() / "Applications", "1.0", "org.example.other");
  fs::path download = signed_bundle(dir_.path() / "Downloads", "2.0");
  ASSERT_FALSE(other.empty());
  ASSERT_FALSE(download.empty());
  expect_refused(download, other, "not_the_application");
}

TEST_F(ReplyReasons, MissingDownloadIsNotFound) {
  fs::path installed = signed_bundle(dir_.path() / "Applications", "1.0");
  expect_refused(dir_.path() / "Downloads" / "Kolvaris.app", installed, "not_found");
}

TEST_F(ReplyReasons, ReadOnlyDestinationVolume) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a read-only bind mount";
  signed_bundle(dir_.path() / "writable", "1.0");
  fs::path download = signed_bundle(dir_.path() / "Downloads", "2.0");
  ASSERT_FALSE(download.empty());
  fs::create_directories(dir_.path() / "Applications");
  Mount bind((dir_.path() / "writable").c_str(), dir_.path() / "Applications", nullptr, MS_BIND);
  if (!bind.mounted()) GTEST_SKIP() << "bind mounts are not permitted here: " << bind.error();
  if (!bind.make_read_only())
    GTEST_SKIP() << "cannot make the bind mount read-only: " << bind.error();
  expect_refused(download, dir_.path() / "Applications" / "Kolvaris.app", "read_only_volume");
}

TEST_F(ReplyReasons, FullDestinationVolumeIsNoSpace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  fs::path download = replace_support::make_large_bundle(dir_.path() / "Downloads", "2.0", 20, 50);
  ASSERT_FALSE(download.empty());
  fs::create_directories(dir_.path() / "Applications");
  Mount small("tmpfs", dir_.path() / "Applications", "tmpfs", 0, "size=1m,mode=0755");
  if (!small.mounted()) GTEST_SKIP() << "tmpfs mounts are not permitted here: " << small.error();
  fs::path installed = signed_bundle(dir_.path() / "Applications", "1.0");
  ASSERT_FALSE(installed.empty());
  expect_refused(download, installed, "no_space");
  // The failed copy is gone with its replacement directory: the volume has its space back.
  for (const auto& entry : fs::directory_iterator(dir_.path() / "Applications")) {
    EXPECT_EQ(entry.path().filename(), "Kolvaris.app");
  }
}

}  // namespace

#endif
