// The real helper under the restrictions of its systemd unit that can be applied without systemd
// as PID 1: the unit's capability bounding set, no-new-privileges, its umask and a private
// network namespace. A replacement of another user's application, asked for by a client running
// as that user, and the launch of the application as that user must still work; a directive that
// breaks them shows up here instead of on a user's machine.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "activator.hpp"
#include "codesign_support.hpp"
#include "replace_support.hpp"

#if defined(KOLVARIS_SERVICE_UNIT) && defined(KOLVARIS_HELPER_BINARY) && \
    defined(KOLVARIS_HELPERCTL_BINARY)

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t NOBODY = 65534;

// The value of `Key=` in the service unit.
std::string unit_value(const std::string& key) {
  std::ifstream unit(KOLVARIS_SERVICE_UNIT);
  std::string line;
  while (std::getline(unit, line)) {
    if (line.starts_with(key + "=")) return line.substr(key.size() + 1);
  }
  return {};
}

// "CAP_CHOWN CAP_KILL" -> "-all,+chown,+kill", leaving out the capabilities in `drop`.
std::string setpriv_bounding_set(const std::string& capabilities,
                                 const std::vector<std::string>& drop = {}) {
  std::istringstream words(capabilities);
  std::string out = "-all";
  for (std::string cap; words >> cap;) {
    if (std::find(drop.begin(), drop.end(), cap) != drop.end()) continue;
    std::string name = cap.substr(4);
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out += ",+" + name;
  }
  return out;
}

std::vector<std::string> sandbox(const std::vector<std::string>& drop = {}) {
  const std::string umask = unit_value("UMask");
  const bool private_network = unit_value("PrivateNetwork") == "yes";
  std::string command = "umask " + umask + " && exec ";
  if (private_network) command += "unshare --net -- ";
  command +=
      "setpriv --bounding-set=" + setpriv_bounding_set(unit_value("CapabilityBoundingSet"), drop) +
      " --inh-caps=-all";
  if (unit_value("NoNewPrivileges") == "yes") command += " --no-new-privs";
  command += " -- \"$0\"";
  return {"/bin/sh", "-c", command};
}

void give_to_nobody(const fs::path& path) {
  ::lchown(path.c_str(), NOBODY, NOBODY);
  if (fs::is_directory(fs::symlink_status(path))) {
    for (auto& entry : fs::recursive_directory_iterator(path)) {
      ::lchown(entry.path().c_str(), NOBODY, NOBODY);
    }
  }
}

class SandboxedHelper : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act for another user";
    if (std::system("command -v setpriv >/dev/null && command -v unshare >/dev/null") != 0) {
      GTEST_SKIP() << "setpriv or unshare not installed";
    }
    ASSERT_FALSE(unit_value("CapabilityBoundingSet").empty());
    ::chmod(dir_.path().c_str(), 0755);
    // The client: helperctl signed as the application, run as the user nobody.
    fs::path client_dir = dir_.path() / "client";
    fs::create_directories(client_dir);
    client_ = codesign_test::make_bundle(client_dir);
    fs::copy_file(KOLVARIS_HELPERCTL_BINARY, client_ / codesign_test::MAIN_EXECUTABLE,
                  fs::copy_options::overwrite_existing);
    ASSERT_TRUE(codesign_test::sign(client_, codesign_test::test_pki()));
    for (auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      if (entry.is_directory()) ::chmod(entry.path().c_str(), 0755);
    }
  }

  // Runs the signed helperctl as nobody; its exit status and output.
  std::pair<int, std::string> run_client(const std::string& socket, const std::string& args) {
    const std::string out = (dir_.path() / "client.out").string();
    const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups '" +
                                (client_ / codesign_test::MAIN_EXECUTABLE).string() +
                                "' --socket '" + socket + "' --timeout 60 " + args + " >'" + out +
                                "' 2>&1";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test_support::read_file(out)};
  }

  // A bundle of nobody's in a directory of nobody's that only nobody may enter, and a signed
  // download with a quarantine attribute on every item.
  std::pair<fs::path, fs::path> nobodys_bundles() {
    fs::path installed = replace_support::make_large_bundle(dir_.path() / "apps", "1.0", 2, 3);
    fs::path download = replace_support::make_large_bundle(dir_.path() / "downloads", "2.0", 2, 3);
    give_to_nobody(dir_.path() / "apps");
    give_to_nobody(dir_.path() / "downloads");
    ::chmod((dir_.path() / "downloads").c_str(), 0700);
    for (auto& entry : fs::recursive_directory_iterator(download)) {
      ::lsetxattr(entry.path().c_str(), "user.com.apple.quarantine", "0081;x", 6, 0);
    }
    return {download, installed};
  }

  test_support::TempDir dir_;
  fs::path client_;
};

TEST_F(SandboxedHelper, ReplacesAnotherUsersApplicationAndLaunchesItAsThatUser) {
  auto [download, installed] = nobodys_bundles();
  auto expected = codesign_test::read_file(download / "Contents/Resources/version");
  fs::create_directories(dir_.path() / "helper");
  test_support::ActivatedHelper helper(KOLVARIS_HELPER_BINARY, dir_.path() / "helper", true, {},
                                       sandbox());
  ASSERT_TRUE(helper.wait_out("IPC: Listener created for socket: ", 30s)) << helper.err();

  auto [status, out] = run_client(
      helper.socket_path(), "replace '" + download.string() + "' '" + installed.string() + "'");
  EXPECT_EQ(status, 0) << out << helper.out() << helper.err();
  EXPECT_EQ(codesign_test::read_file(installed / "Contents/Resources/version"), expected);
  struct stat st {};
  ASSERT_EQ(::lstat((installed / "Contents/Resources/version").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, NOBODY);
  char value[64];
  EXPECT_LT(::lgetxattr((installed / "Contents/Resources/version").c_str(),
                        "user.com.apple.quarantine", value, sizeof value),
            0);

  // The launch: a signed bundle of nobody's whose program records who it runs as.
  fs::path app = dir_.path() / "apps" / "Probe.app";
  codesign_test::write_file(
      app / "Contents/Info.plist",
      codesign_test::info_plist(std::string(common::CLIENT_BUNDLE_IDENTIFIER), "Probe"));
  codesign_test::write_file(app / "Contents/MacOS/Probe",
                            "#!/bin/sh\nid -u > \"$(dirname \"$0\")/../../../probe.uid\"\n", 0755);
  ASSERT_TRUE(codesign_test::sign(app, codesign_test::test_pki()));
  give_to_nobody(app);
  pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  auto [launch_status, launch_out] = run_client(
      helper.socket_path(), "relaunch " + std::to_string(gone) + " '" + app.string() + "'");
  EXPECT_EQ(launch_status, 0) << launch_out;
  ASSERT_TRUE(helper.wait_out("Successfully completed launching application\n", 30s))
      << helper.out() << helper.err();
  fs::path report = dir_.path() / "apps" / "probe.uid";
  // The shell makes the file before id writes to it.
  for (int i = 0; i < 100 && codesign_test::read_file(report).empty(); ++i) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(codesign_test::read_file(report), "65534\n");
  EXPECT_EQ(helper.err(), "");
}

// Proof that the harness notices a sandbox that is too tight: without the capability to hand
// files to another user the same replacement fails, and the installed bundle stays.
TEST_F(SandboxedHelper, WithoutOwnershipChangesTheReplacementFailsAndNothingChanges) {
  auto [download, installed] = nobodys_bundles();
  auto before = codesign_test::read_file(installed / "Contents/Resources/version");
  fs::create_directories(dir_.path() / "helper");
  test_support::ActivatedHelper helper(KOLVARIS_HELPER_BINARY, dir_.path() / "helper", true, {},
                                       sandbox({"CAP_CHOWN"}));
  ASSERT_TRUE(helper.wait_out("IPC: Listener created for socket: ", 30s)) << helper.err();
  auto [status, out] = run_client(
      helper.socket_path(), "replace '" + download.string() + "' '" + installed.string() + "'");
  EXPECT_EQ(status, 1) << out;
  EXPECT_EQ(codesign_test::read_file(installed / "Contents/Resources/version"), before);
  EXPECT_NE(helper.err().find("Operation not permitted"), std::string::npos) << helper.err();
}

}  // namespace

#endif
