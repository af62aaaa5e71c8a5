// WaitForExitAndLaunch through the real helper binary, asked by a signed client that runs as an
// unprivileged user: what a local user can make root start, and where and as whom the started
// application appears. Needs root (to run the client as another user); skipped otherwise.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "activator.hpp"
#include "codesign_support.hpp"
#include "posix/dir_stream.hpp"

#if defined(KOLVARIS_HELPER_BINARY) && defined(KOLVARIS_HELPERCTL_BINARY) && \
    defined(KOLVARIS_LAUNCH_PROBE)

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::ActivatedHelper;

// A user the system does not know: no home, no groups, nothing it owns but what a test gives it.
uid_t unused_uid() {
  uid_t uid = 4711;
  while (::getpwuid(uid) != nullptr || ::getgrgid(uid) != nullptr) ++uid;
  return uid;
}

// Forks, becomes `uid`:`uid` with no supplementary groups, and execs `argv` with exactly
// `environment`, standard output and error to `output` (standard input /dev/null). Everything is
// prepared before the fork. The child's pid, or -1.
pid_t spawn_as(uid_t uid, std::vector<std::string> argv, std::vector<std::string> environment,
               const fs::path& output, int keep_fd = -1) {
  std::vector<char*> args, envp;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || null_fd < 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(null_fd, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (keep_fd >= 0) ::fcntl(keep_fd, F_SETFD, 0);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
      ::_exit(126);
    }
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out);
  ::close(null_fd);
  return child;
}

// A pid that names no process.
std::uint32_t gone_pid() {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return static_cast<std::uint32_t>(child);
}

// The real helper, socket-activated on a socket everyone may connect to (as installed), and
// helperctl in a signed bundle that any user may run: the genuine client, run by `user_`.
class RelaunchAsAUser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the client as another user";
    user_ = unused_uid();
    ::chmod(dir_.path().c_str(), 0755);
    for (const char* d : {"client", "helper", "home"}) {
      fs::create_directories(dir_.path() / d);
      ::chmod((dir_.path() / d).c_str(), 0755);
    }
    client_ = codesign_test::make_bundle(dir_.path() / "client");
    fs::copy_file(KOLVARIS_HELPERCTL_BINARY, client_ / codesign_test::MAIN_EXECUTABLE,
                  fs::copy_options::overwrite_existing);
    ASSERT_TRUE(codesign_test::sign(client_, codesign_test::test_pki()));
    ASSERT_EQ(::chown((dir_.path() / "home").c_str(), user_, user_), 0);
    helper_.emplace(KOLVARIS_HELPER_BINARY, dir_.path() / "helper");
    ASSERT_TRUE(helper_->wait_out("IPC: Listener created for socket: ", 30s));
  }

  // helperctl relaunch <a pid that is gone> <app>, as the user, with `environment`: its exit
  // status and output.
  std::pair<int, std::string> relaunch(const fs::path& app, std::vector<std::string> environment) {
    const fs::path output = dir_.path() / "home" / ("client-" + std::to_string(runs_++) + ".out");
    pid_t child = spawn_as(
        user_,
        {(client_ / codesign_test::MAIN_EXECUTABLE).string(), "--socket", helper_->socket_path(),
         "--timeout", "60", "relaunch", std::to_string(gone_pid()), app.string()},
        std::move(environment), output);
    if (child < 0) return {-1, ""};
    int status = 0;
    ::waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test_support::read_file(output)};
  }

  // A bundle of the client's identity in `where`, signed, owned by root, whose main executable
  // is `executable` (a file to copy) or the script `script`.
  static fs::path signed_root_bundle(const fs::path& where, const std::string& executable,
                                     const std::string& script = {}) {
    fs::path bundle = codesign_test::make_bundle(where);
    if (!executable.empty()) {
      fs::copy_file(executable, bundle / codesign_test::MAIN_EXECUTABLE,
                    fs::copy_options::overwrite_existing);
    } else {
      codesign_test::write_file(bundle / codesign_test::MAIN_EXECUTABLE, script, 0755);
    }
    if (!codesign_test::sign(bundle, codesign_test::test_pki())) return {};
    return bundle;
  }

  bool wait_log(const std::string& text, std::chrono::milliseconds timeout) const {
    auto until = std::chrono::steady_clock::now() + timeout;
    while ((helper_->out() + helper_->err()).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  test_support::TempDir dir_;
  uid_t user_ = 0;
  fs::path client_;
  std::optional<ActivatedHelper> helper_;
  int runs_ = 0;
};

// The classic way to root: a directory owned by root that anyone may fill (as /tmp is), made to
// look like a bundle. Whatever its spelling, nothing in it runs, as root or otherwise; the
// request itself is answered as every relaunch is.
TEST_F(RelaunchAsAUser, WorldWritableRootDirectoryMadeToLookLikeABundleRunsNothing) {
  const fs::path sticky = dir_.path() / "tmp";
  fs::create_directories(sticky);
  ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
  const fs::path ran = sticky / "evil.ran";
  codesign_test::write_file(
      sticky / "Contents/Info.plist",
      codesign_test::info_plist(std::string(common::CLIENT_BUNDLE_IDENTIFIER), "evil"));
  codesign_test::write_file(sticky / "Contents/MacOS/evil",
                            "#!/bin/sh\nid -u > '" + ran.string() + "'\n", 0755);
  for (const char* item :
       {"Contents", "Contents/Info.plist", "Contents/MacOS", "Contents/MacOS/evil"}) {
    ASSERT_EQ(::lchown((sticky / item).c_str(), user_, user_), 0);
  }

  int refusals = 0;
  for (const std::string& spelling :
       {sticky.string(), sticky.string() + "/", sticky.string() + "/.", sticky.string() + "//"}) {
    SCOPED_TRACE(spelling);
    auto [status, out] = relaunch(spelling, {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "Ok\n");
    ++refusals;
    const std::string failures = helper_->err();
    std::size_t count = 0;
    for (std::size_t at = 0;
         (at = failures.find("Failed to launch application: ", at)) != std::string::npos; ++at) {
      ++count;
    }
    EXPECT_EQ(count, static_cast<std::size_t>(refusals)) << failures;
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(fs::exists(ran)) << "it ran as uid " << test_support::read_file(ran.string());
  EXPECT_EQ(helper_->out().find("Successfully completed launching application"), std::string::npos);
  EXPECT_NE(helper_->out().find("Launching application at path: " + sticky.string() + "\n"),
            std::string::npos);
}

// The installed application belongs to root; a user who asks for it gets it as themselves,
// with the session variables of their own process and nothing else of it.
TEST_F(RelaunchAsAUser, RootOwnedSignedApplicationRunsAsTheUserWhoAsked) {
  const fs::path apps = dir_.path() / "apps";
  fs::path bundle = signed_root_bundle(apps, KOLVARIS_LAUNCH_PROBE);
  ASSERT_FALSE(bundle.empty());
  // The probe writes its report beside the bundle, as the user.
  ASSERT_EQ(::chown(apps.c_str(), user_, user_), 0);
  ::chmod(apps.c_str(), 0755);

  auto [status, out] = relaunch(
      bundle, {"PATH=/usr/bin:/bin", "DISPLAY=:42", "LANG=C.UTF-8", "TMPDIR=/tmp/elsewhere",
               "LC_ALL=/tmp/locale", "HOME=/root", "KOLVARIS_MUST_NOT_LEAK=1"});
  EXPECT_EQ(status, 0) << out;
  ASSERT_TRUE(wait_log("Successfully completed launching application", 30s))
      << helper_->out() << helper_->err();

  const fs::path report = apps / "Kolvaris.app.report";
  for (int i = 0; i < 500 && !fs::exists(report); ++i) std::this_thread::sleep_for(20ms);
  std::map<std::string, std::string> fields;
  std::vector<std::string> environment;
  std::ifstream in(report);
  for (std::string line; std::getline(in, line);) {
    auto space = line.find(' ');
    if (line.substr(0, space) == "env") {
      environment.push_back(line.substr(space + 1));
    } else {
      fields[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
  }
  const std::string u = std::to_string(user_);
  ASSERT_FALSE(fields.empty()) << "the application did not run";
  EXPECT_EQ(fields["uid"], u + " " + u);
  EXPECT_EQ(fields["gid"], u + " " + u);
  EXPECT_EQ(fields["groups"], "");
  EXPECT_EQ(environment, (std::vector<std::string>{"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/",
                                                   "DISPLAY=:42", "LANG=C.UTF-8"}));
}

// A script asks for the relaunch of the application after its own exit, hears that the helper
// has taken it, and exits: the application starts as the script's user, soon after.
TEST_F(RelaunchAsAUser, ScriptHandsItsOwnRelaunchOverWithNoWaitAndExits) {
  const fs::path apps = dir_.path() / "apps";
  const fs::path started = apps / "started";
  fs::path bundle = signed_root_bundle(
      apps, {},
      "#!/bin/sh\ndate +%s.%N > '" + started.string() + "'\nid -u >> '" + started.string() + "'\n");
  ASSERT_FALSE(bundle.empty());
  ASSERT_EQ(::chown(apps.c_str(), user_, user_), 0);
  ::chmod(apps.c_str(), 0755);

  const fs::path output = dir_.path() / "home" / "script.out";
  pid_t script = spawn_as(user_,
                          {"/bin/sh", "-c", "\"$0\" --socket \"$1\" relaunch --no-wait $$ \"$2\"",
                           (client_ / codesign_test::MAIN_EXECUTABLE).string(),
                           helper_->socket_path(), bundle.string()},
                          {"PATH=/usr/bin:/bin"}, output);
  ASSERT_GT(script, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(script, &status, 0), script);
  const auto exited = std::chrono::system_clock::now();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(test_support::read_file(output), "Accepted\n");

  std::string report;
  for (int i = 0; i < 250; ++i) {
    report = test_support::read_file(started.string());
    if (std::count(report.begin(), report.end(), '\n') == 2) break;
    std::this_thread::sleep_for(20ms);
  }
  std::istringstream fields(report);
  double start_seconds = 0;
  std::string uid;
  fields >> start_seconds >> uid;
  ASSERT_EQ(uid, std::to_string(user_)) << report << helper_->out() << helper_->err();
  const double after =
      start_seconds - std::chrono::duration<double>(exited.time_since_epoch()).count();
  std::printf("the application started %.3f s after the script that asked had exited\n", after);
  EXPECT_LT(after, 1.5);
}

// --- As a person would see it
// ---------------------------------------------------------------------

// The uid of a process and its environment entry `name`, from /proc.
std::optional<std::pair<std::string, std::string>> uid_and_variable(pid_t pid,
                                                                    const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line, uid;
  while (std::getline(status, line)) {
    if (line.starts_with("Uid:")) {
      std::istringstream fields(line.substr(4));
      fields >> uid;
    }
  }
  if (uid.empty()) return std::nullopt;
  std::string environ = test_support::read_file("/proc/" + std::to_string(pid) + "/environ");
  std::string value;
  for (std::size_t at = 0; at < environ.size();) {
    std::size_t end = environ.find('\0', at);
    std::string entry = environ.substr(at, end - at);
    if (entry.starts_with(name + "=")) value = entry.substr(name.size() + 1);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return std::pair{uid, value};
}

// Processes whose command line contains `text`.
std::vector<pid_t> processes_with(const std::string& text) {
  std::vector<pid_t> found;
  auto proc = posix::DirStream::open_at(AT_FDCWD, "/proc");
  if (!proc) return found;
  for (auto entry = proc->next(); entry && *entry; entry = proc->next()) {
    const pid_t pid = std::atoi((*entry)->d_name);
    if (pid <= 0 || pid == ::getpid()) continue;
    std::string cmdline = test_support::read_file("/proc/" + std::to_string(pid) + "/cmdline");
    if (cmdline.find(text) != std::string::npos) found.push_back(pid);
  }
  return found;
}

std::string command_output(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
  }
  return output;
}

// An X server of the user's own, which tells its display number once it is ready.
class UserDisplay {
 public:
  UserDisplay(uid_t user, const fs::path& log) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    pid_ = spawn_as(user,
                    {"/usr/bin/Xvfb", "-displayfd", std::to_string(ready[1]), "-nolisten", "tcp",
                     "-screen", "0", "640x480x24"},
                    {"PATH=/usr/bin:/bin"}, log, ready[1]);
    ::close(ready[1]);
    std::string digits;
    pollfd wait{ready[0], POLLIN, 0};
    while (pid_ > 0 && ::poll(&wait, 1, 15000) == 1) {
      char c;
      if (::read(ready[0], &c, 1) != 1 || c == '\n') break;
      digits.push_back(c);
    }
    ::close(ready[0]);
    if (!digits.empty()) display_ = ":" + digits;
  }
  ~UserDisplay() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // ":N", or empty when the server did not start.
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

TEST_F(RelaunchAsAUser, RelaunchedApplicationOpensItsWindowOnTheRequestersDisplayAsTheRequester) {
  if (!fs::exists("/usr/bin/Xvfb") || !fs::exists("/usr/bin/xmessage") ||
      !fs::exists("/usr/bin/xwininfo")) {
    GTEST_SKIP() << "Xvfb, xmessage or xwininfo missing (scripts/install-deps.sh installs them)";
  }
  UserDisplay x(user_, dir_.path() / "home" / "xvfb.log");
  if (x.display().empty()) {
    GTEST_SKIP() << "Xvfb could not start: "
                 << test_support::read_file((dir_.path() / "home" / "xvfb.log").string());
  }
  const std::string title = "kolvaris-relaunched-" + std::to_string(std::random_device{}());
  fs::path bundle =
      signed_root_bundle(dir_.path() / "apps", {},
                         "#!/bin/sh\nexec /usr/bin/xmessage -name " + title + " -title " + title +
                             " 'The application was started again.'\n");
  ASSERT_FALSE(bundle.empty());

  auto [status, out] = relaunch(bundle, {"PATH=/usr/bin:/bin", "DISPLAY=" + x.display()});
  EXPECT_EQ(status, 0) << out;
  ASSERT_TRUE(wait_log("Successfully completed launching application", 30s))
      << helper_->out() << helper_->err();

  std::string tree;
  for (int i = 0; i < 150; ++i) {
    tree = command_output("DISPLAY='" + x.display() + "' /usr/bin/xwininfo -root -tree 2>&1");
    if (tree.find("\"" + title + "\"") != std::string::npos) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_NE(tree.find("\"" + title + "\""), std::string::npos) << tree;

  auto windows = processes_with(title);
  ASSERT_EQ(windows.size(), 1u) << "no single process shows the window";
  auto seen = uid_and_variable(windows[0], "DISPLAY");
  ::kill(windows[0], SIGKILL);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->first, std::to_string(user_)) << "the window's process is not the requester's";
  EXPECT_EQ(seen->second, x.display());
}

// A user's bus that accepts and never answers, where the helper would find the user's manager:
// the relaunch is answered at once, the start gives up within the helper's bound while other
// requests are served, and nothing but the user's own processes ever connected to it.
TEST_F(RelaunchAsAUser, ASilentUserBusCostsTheBoundAndNeverARootConnection) {
  if (!fs::exists("/usr/bin/systemd-run")) GTEST_SKIP() << "systemd-run is not installed";
  // A user of its own: every other launch for a user of these tests, in this run or another one
  // on this machine, would meet the silent bus too.
  user_ = 5300 + static_cast<uid_t>(::getpid() % 500);
  while (::getpwuid(user_) != nullptr || ::getgrgid(user_) != nullptr ||
         fs::exists(fs::path("/run/user") / std::to_string(user_))) {
    ++user_;
  }
  ASSERT_EQ(::chown((dir_.path() / "home").c_str(), user_, user_), 0);
  const fs::path runtime = fs::path("/run/user") / std::to_string(user_);
  if (!fs::is_directory("/run/user") || fs::exists(runtime)) {
    GTEST_SKIP() << "no /run/user of the system's to put a stand-in bus in";
  }
  fs::create_directories(runtime);
  struct RemoveRuntime {
    fs::path path;
    ~RemoveRuntime() { fs::remove_all(path); }
  } remove_runtime{runtime};
  ASSERT_EQ(::chown(runtime.c_str(), user_, user_), 0);
  ::chmod(runtime.c_str(), 0700);
  auto listener = test_support::listen_unix((runtime / "bus").string());
  ASSERT_EQ(::chown((runtime / "bus").c_str(), user_, user_), 0);

  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::vector<uid_t> peers;
  std::thread silent([&] {
    std::vector<common::util::UniqueFd> held;
    while (!stop) {
      pollfd ready{listener.get(), POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      common::util::UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!fd) continue;
      ucred peer{};
      socklen_t length = sizeof peer;
      ::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length);
      std::lock_guard lock(mutex);
      peers.push_back(peer.uid);
      held.push_back(std::move(fd));  // never read, never answered
    }
  });

  const fs::path apps = dir_.path() / "apps";
  fs::path bundle = signed_root_bundle(apps, KOLVARIS_LAUNCH_PROBE);
  ASSERT_FALSE(bundle.empty());
  ASSERT_EQ(::chown(apps.c_str(), user_, user_), 0);
  ::chmod(apps.c_str(), 0755);

  const auto asked = std::chrono::steady_clock::now();
  auto [status, out] = relaunch(bundle, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(status, 0) << out;
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  // The start hangs meanwhile; the helper serves the next request all the same.
  auto [again, again_out] = relaunch(bundle, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(again, 0) << again_out;
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 8s);
  EXPECT_TRUE(
      wait_log("Failed to launch application: The user's service manager did not start ", 25s))
      << helper_->out() << helper_->err();
  const auto given_up = std::chrono::steady_clock::now() - asked;
  std::cout << "  first start given up after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(given_up).count() << " ms\n";
  EXPECT_LT(given_up, 20s);
  EXPECT_EQ(helper_->out().find("Successfully completed launching application"), std::string::npos);
  EXPECT_FALSE(fs::exists(apps / "Kolvaris.app.report")) << "the application ran anyway";

  stop = true;
  silent.join();
  ASSERT_FALSE(peers.empty()) << "nobody asked the user's manager";
  for (uid_t peer : peers) EXPECT_EQ(peer, user_) << "a connection to the user's bus as root";
}

}  // namespace

#endif
