// The README's integration example, built as an application team would build it and run as the
// application: signed, carrying the client library in its bundle, run by an unprivileged user.
// It installs its update, hands its relaunch over and exits; the new version starts, as that
// user, and restarts itself once more the same way. Needs root (another user, mounts).

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "activator.hpp"
#include "codesign_support.hpp"
#include "common/constants.hpp"
#include "kolvaris/helper_client.h"

#if defined(KOLVARIS_HELPER_BINARY) && defined(KOLVARIS_README_APP) && \
    defined(KOLVARIS_CLIENT_LIBRARY)

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::ActivatedHelper;

constexpr uid_t USER = 4713;

// The application's bundle: the example's program as main executable (with `trailer` appended,
// so that versions differ in their code), the client library in Contents/Frameworks.
fs::path application_bundle(const fs::path& where, const std::string& version,
                            const std::string& trailer) {
  fs::path bundle = where / "Kolvaris.app";
  codesign_test::write_file(bundle / "Contents/Info.plist",
                            codesign_test::info_plist(std::string(common::CLIENT_BUNDLE_IDENTIFIER),
                                                      "Kolvaris", version));
  codesign_test::write_file(bundle / codesign_test::MAIN_EXECUTABLE,
                            codesign_test::read_file(KOLVARIS_README_APP) + trailer, 0755);
  const fs::path library(KOLVARIS_CLIENT_LIBRARY);
  codesign_test::write_file(bundle / "Contents/Frameworks" / library.filename(),
                            codesign_test::read_file(library));
  codesign_test::write_file(bundle / "Contents/Resources/version", version + "\n");
  if (!codesign_test::sign(bundle, codesign_test::test_pki())) return {};
  return bundle;
}

void give_to(const fs::path& tree, uid_t uid) {
  ::lchown(tree.c_str(), uid, uid);
  for (const auto& entry : fs::recursive_directory_iterator(tree)) {
    ::lchown(entry.path().c_str(), uid, uid);
  }
}

// Makes this process the reaper of orphans below it and reaps them at once (all but `keep`),
// as systemd does on a desktop: a relaunched application is an orphan, and one reaped late stays
// a zombie, which the helper rightly counts as still there.
class PromptReaper {
 public:
  explicit PromptReaper(pid_t keep) : keep_(keep) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    thread_ = std::thread([this] {
      while (!stop_) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid > 0 &&
            info.si_pid != keep_) {
          ::waitpid(info.si_pid, nullptr, 0);
          continue;
        }
        std::this_thread::sleep_for(2ms);
      }
    });
  }
  ~PromptReaper() {
    stop_ = true;
    thread_.join();
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

 private:
  pid_t keep_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Event {
  std::string what, version;
  std::string uid;
  long long ns = 0;
};

std::vector<Event> read_report(const fs::path& report) {
  std::vector<Event> events;
  std::ifstream in(report);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    Event e;
    fields >> e.what >> e.version;
    if (e.what == "start") fields >> e.uid;
    fields >> e.ns;
    events.push_back(e);
  }
  return events;
}

// The application installed as version 1 for an unprivileged user, version 2 downloaded, the
// helper answering on the installed helper's socket path in a mount namespace of this process.
class ReadmeExample : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the application as another user";
    // The example asks the installed helper's socket; this test's helper answers there, in a
    // mount namespace of this process and its children only.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      GTEST_SKIP() << "no private mount namespace here: " << std::strerror(errno);
    }
    ::chmod(dir_.path().c_str(), 0755);
    apps_ = dir_.path() / "apps";
    const fs::path downloads = dir_.path() / "downloads";
    fs::create_directories(dir_.path() / "helper");
    installed_ = application_bundle(apps_, "1.0", "");
    fs::path download = application_bundle(downloads, "2.0", "\nversion 2\n");
    ASSERT_FALSE(installed_.empty());
    ASSERT_FALSE(download.empty());
    codesign_test::write_file(apps_ / "download", download.string() + "\n");
    give_to(apps_, USER);
    give_to(downloads, USER);

    helper_.emplace(KOLVARIS_HELPER_BINARY, dir_.path() / "helper");
    ASSERT_TRUE(helper_->wait_out("IPC: Listener created for socket: ", 30s));
    ASSERT_EQ(::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755"), 0) << std::strerror(errno);
    run_mounted_ = true;
    const fs::path installed_socket(common::HELPER_SOCKET_PATH);
    ASSERT_EQ(::symlink(helper_->socket_path().c_str(), installed_socket.c_str()), 0)
        << installed_socket << ": " << std::strerror(errno);
  }
  void TearDown() override {
    if (run_mounted_) ::umount2("/run", MNT_DETACH);
  }

  // The user starts the application and it exits; its exit status.
  int start_application() {
    const std::string executable = (installed_ / codesign_test::MAIN_EXECUTABLE).string();
    pid_t app = ::fork();
    if (app == 0) {
      const int null_fd = ::open("/dev/null", O_RDWR);
      ::dup2(null_fd, 0);
      ::dup2(null_fd, 1);
      ::dup2(null_fd, 2);
      if (::setgroups(0, nullptr) != 0 || ::setresgid(USER, USER, USER) != 0 ||
          ::setresuid(USER, USER, USER) != 0) {
        ::_exit(126);
      }
      char* argv[] = {const_cast<char*>(executable.c_str()), nullptr};
      char path[] = "PATH=/usr/bin:/bin";
      char* envp[] = {path, nullptr};
      ::execve(argv[0], argv, envp);
      ::_exit(127);
    }
    int status = 0;
    if (::waitpid(app, &status, 0) != app) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  test_support::TempDir dir_;
  fs::path apps_, installed_;
  std::optional<ActivatedHelper> helper_;
  bool run_mounted_ = false;
};

TEST_F(ReadmeExample, ApplicationUpdatesItselfExitsAndItsSuccessorStarts) {
  EXPECT_EQ(start_application(), 0);
  PromptReaper reaper(helper_->pid());

  // Version 2 starts, restarts itself through the other call, and starts again.
  const fs::path report = apps_ / "report";
  std::vector<Event> events;
  for (int i = 0; i < 500; ++i) {
    events = read_report(report);
    if (events.size() >= 6) break;
    std::this_thread::sleep_for(20ms);
  }
  std::string seen;
  for (const Event& e : events) seen += e.what + " " + e.version + " " + e.uid + "\n";
  ASSERT_EQ(events.size(), 6u) << seen << helper_->out() << helper_->err();
  const std::string u = std::to_string(USER);
  const std::vector<std::string> expected = {"start 1.0 " + u, "exit 1.0 ",      "start 2.0 " + u,
                                             "exit 2.0 ",      "start 2.0 " + u, "exit 2.0 "};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(events[i].what + " " + events[i].version + " " + events[i].uid, expected[i]) << seen;
  }
  EXPECT_EQ(codesign_test::read_file(installed_ / "Contents/Resources/version"), "2.0\n");

  const double after_update = static_cast<double>(events[2].ns - events[1].ns) / 1e9;
  const double after_restart = static_cast<double>(events[4].ns - events[3].ns) / 1e9;
  std::printf(
      "successor started %.3f s after the exit that followed the update, %.3f s after "
      "the exit that followed the restart\n",
      after_update, after_restart);
  EXPECT_LT(after_update, 1.5);
  EXPECT_LT(after_restart, 1.5);
  EXPECT_GT(after_update, 0.0);
}

// Why the update and the relaunch share one connection: once the bundle has been replaced, the
// running version 1 is no longer the code on disk, and a new connection from it is turned away.
TEST_F(ReadmeExample, AfterItsReplacementTheOldProcessIsNotServedOnANewConnection) {
  codesign_test::write_file(apps_ / "separate", "");
  ::lchown((apps_ / "separate").c_str(), USER, USER);
  EXPECT_EQ(start_application(), 0);
  std::vector<Event> events = read_report(apps_ / "report");
  ASSERT_EQ(events.size(), 3u) << helper_->out() << helper_->err();
  // "separate REPLACE RELAUNCH": the statuses of the two calls.
  EXPECT_EQ(events[1].what, "separate");
  EXPECT_EQ(events[1].version, std::to_string(KOLVARIS_HELPER_OK));
  EXPECT_EQ(events[1].ns, KOLVARIS_HELPER_PROTOCOL_FAILURE);
  EXPECT_EQ(codesign_test::read_file(installed_ / "Contents/Resources/version"), "2.0\n");
  // (Its executable now lies in the replacement directory the old bundle was swapped into, and
  // is gone with it.)
  EXPECT_NE(helper_->err().find("IPC: Client connection closed with error: Client code signing "
                                "validation failed: "),
            std::string::npos)
      << helper_->err();
}

}  // namespace

#endif
