// The Linux process table look-up, the requester of a connection and the application launch, on
// real processes, sockets and bundles. Launches start tests/support/launch_probe as a bundle's
// main executable; it reports who and how it was started. Tests that change users run only as
// root.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "codesign_support.hpp"
#include "common/ipc/client.hpp"
#include "main/connection.hpp"
#include "main/relaunch.hpp"
#include "platform/linux/processes_linux.hpp"
#include "platform/linux/session_environment.hpp"
#include "platform/platform.hpp"
#include "served_connection.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using platform::LaunchOutcome;
using platform::linux_impl::LinuxProcesses;
using test_support::CapturedLog;
using test_support::TempDir;
using namespace std::chrono_literals;

bool is_root() { return ::geteuid() == 0; }

// --- Look-up ------------------------------------------------------------------------------------

TEST(ProcessLookup, LiveProcessesArePresent) {
  LinuxProcesses processes;
  EXPECT_TRUE(processes.process_exists(static_cast<std::uint32_t>(::getpid())));
  EXPECT_TRUE(processes.process_exists(1));

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  EXPECT_TRUE(processes.process_exists(static_cast<std::uint32_t>(child)));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

TEST(ProcessLookup, ZombieIsPresentUntilCollected) {
  LinuxProcesses processes;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(0);
  // Exited, but left uncollected.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  EXPECT_TRUE(processes.process_exists(static_cast<std::uint32_t>(child)));
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  EXPECT_FALSE(processes.process_exists(static_cast<std::uint32_t>(child)));
}

TEST(ProcessLookup, ThreadOfAnotherProcessIsNotAProcess) {
  LinuxProcesses processes;
  std::promise<pid_t> tid;
  std::promise<void> done;
  std::thread thread([&] {
    tid.set_value(static_cast<pid_t>(::syscall(SYS_gettid)));
    done.get_future().wait();
  });
  pid_t thread_id = tid.get_future().get();
  EXPECT_NE(thread_id, ::getpid());
  EXPECT_FALSE(processes.process_exists(static_cast<std::uint32_t>(thread_id)));
  done.set_value();
  thread.join();
}

// With no descriptor to spare pidfd_open fails with EMFILE; the answers must stay the same. Run
// in a child, whose descriptor limit can be lowered without harming the test process.
TEST(ProcessLookup, AnswersStayTheSameWithoutDescriptorsToSpare) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' runtimes need descriptors of their own and misreport when none are left.
  GTEST_SKIP() << "not meaningful under a sanitizer";
#endif
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pid_t zombie = ::fork();
    if (zombie == 0) ::_exit(0);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT);
    pid_t collected = ::fork();
    if (collected == 0) ::_exit(0);
    ::waitpid(collected, nullptr, 0);
    rlimit limit{64, 64};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    while (::dup(0) >= 0) {
    }
    if (errno != EMFILE) ::_exit(10);
    LinuxProcesses processes;
    int failures = 0;
    if (!processes.process_exists(static_cast<std::uint32_t>(::getpid()))) failures |= 1;
    if (!processes.process_exists(static_cast<std::uint32_t>(zombie))) failures |= 2;
    if (processes.process_exists(static_cast<std::uint32_t>(collected))) failures |= 4;
    if (processes.process_exists(0)) failures |= 8;
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1 self, 2 zombie, 4 collected, 8 zero, 10 setup";
}

// 0 and every value above INT_MAX are groups or "every process" to kill(); kill(0, 0) and
// kill(-1, 0) succeed, so a look-up that handed them on would see a process that does not exist.
TEST(ProcessLookup, PidsThatNoProcessCanHaveAreAbsent) {
  ASSERT_EQ(::kill(0, 0), 0);
  ASSERT_EQ(::kill(-1, 0), 0);
  LinuxProcesses processes;
  for (std::uint32_t pid : {0u, 4294967295u, 4294967294u, 2147483648u, 2147483647u}) {
    EXPECT_FALSE(processes.process_exists(pid)) << pid;
  }
}

// --- Launch -------------------------------------------------------------------------------------

std::string info_plist(const std::string& executable_entry) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n"
         "  <key>CFBundleIdentifier</key><string>com.example.probe</string>\n" +
         executable_entry + "</dict>\n</plist>\n";
}

std::string names_executable(const std::string& name) {
  return "  <key>CFBundleExecutable</key><string>" + name + "</string>\n";
}

void write_file(const fs::path& path, const std::string& content, mode_t mode = 0644) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << content;
  ::chmod(path.c_str(), mode);
}

// Owner and group of everything at and below `path`, links themselves included.
void chown_tree(const fs::path& path, uid_t uid, gid_t gid) {
  ASSERT_EQ(::lchown(path.c_str(), uid, gid), 0) << path;
  if (!fs::is_directory(fs::symlink_status(path))) return;
  for (const auto& entry : fs::recursive_directory_iterator(path)) {
    ASSERT_EQ(::lchown(entry.path().c_str(), uid, gid), 0) << entry.path();
  }
}

// A directory "apps" in a temporary directory, where bundles are made and where the probe writes
// its report "<bundle name>.report".
class BundleLaunch : public ::testing::Test {
 protected:
  BundleLaunch() : apps_(temp_.path() / "apps") {
    fs::create_directories(apps_);
    ::chmod(temp_.path().c_str(), 0755);
    ::chmod(apps_.c_str(), 0755);
  }

  // A bundle whose Info.plist names `executable` and whose Contents/MacOS/<executable> is a copy
  // of the probe.
  fs::path probe_bundle(const std::string& name, const std::string& executable = "Probe") {
    fs::path bundle = apps_ / (name + ".app");
    write_file(bundle / "Contents/Info.plist", info_plist(names_executable(executable)));
    fs::create_directories(bundle / "Contents/MacOS");
    fs::copy_file(KOLVARIS_LAUNCH_PROBE, bundle / "Contents/MacOS" / executable);
    ::chmod((bundle / "Contents/MacOS" / executable).c_str(), 0755);
    return bundle;
  }

  // The bundles and the report directory belong to `uid`:`gid`.
  void give_to(uid_t uid, gid_t gid) { chown_tree(apps_, uid, gid); }

  // 501:80 has no entry in the user database. A helper that is not root can only act for itself.
  static platform::Requester some_user(std::vector<std::string> session = {}) {
    if (is_root()) return {501, 80, std::move(session)};
    return {::geteuid(), ::getegid(), std::move(session)};
  }

  static LaunchOutcome open(const fs::path& bundle,
                            const platform::Requester& requester = some_user(),
                            std::thread::id* reported_on = nullptr) {
    LinuxProcesses processes;
    std::promise<std::pair<LaunchOutcome, std::thread::id>> reported;
    auto future = reported.get_future();
    processes.open_application(bundle.string(), platform::OpenConfiguration{true}, requester,
                               [&reported](const LaunchOutcome& outcome) {
                                 reported.set_value({outcome, std::this_thread::get_id()});
                               });
    if (future.wait_for(10s) != std::future_status::ready) {
      ADD_FAILURE() << "no outcome reported";
      return {};
    }
    auto [outcome, thread] = future.get();
    if (reported_on) *reported_on = thread;
    return outcome;
  }

  // The probe's report: first word of each line -> rest; "env" lines collected apart.
  struct Report {
    std::map<std::string, std::string> fields;
    std::vector<std::string> environment;
  };
  std::optional<Report> report_of(const std::string& bundle_name) {
    fs::path file = apps_ / (bundle_name + ".app.report");
    auto until = std::chrono::steady_clock::now() + 10s;
    while (!fs::exists(file)) {
      if (std::chrono::steady_clock::now() > until) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
    Report report;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      auto space = line.find(' ');
      std::string key = line.substr(0, space);
      std::string value = space == std::string::npos ? "" : line.substr(space + 1);
      if (key == "env") {
        report.environment.push_back(value);
      } else {
        report.fields[key] = value;
      }
    }
    return report;
  }

  static bool has_children() {
    errno = 0;
    return !(::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
  }

  TempDir temp_;
  fs::path apps_;
};

TEST_F(BundleLaunch, StartsDetachedWithOnlyStandardDescriptorsDefaultSignalsAndAFixedEnvironment) {
  fs::path bundle = probe_bundle("Probe");
  // 501:80 has no entry in the user database: no supplementary groups, HOME "/".
  const uid_t uid = is_root() ? 501 : ::geteuid();
  const gid_t gid = is_root() ? 80 : ::getegid();
  if (is_root()) give_to(uid, gid);
  // Loader and resolver variables in the requester are dropped again here, whoever made it.
  const platform::Requester requester =
      some_user({"LD_PRELOAD=/tmp/evil.so", "DISPLAY=:5", "GCONV_PATH=/tmp", "LC_ALL=C",
                 "LC_CTYPE=../../tmp/x", "XAUTHORITY=/home/u/.Xauthority", "DISPLAY=:6"});

  // What the helper's threads have that the application must not get.
  ::setenv("KOLVARIS_MUST_NOT_LEAK", "1", 1);
  struct sigaction ignore {
  }, previous_pipe{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous_pipe);
  sigset_t usr2, previous_mask;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  ::pthread_sigmask(SIG_BLOCK, &usr2, &previous_mask);
  common::util::UniqueFd stray(::open("/dev/zero", O_RDONLY));  // not close-on-exec

  std::thread::id reported_on;
  LaunchOutcome outcome = open(bundle, requester, &reported_on);

  ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  ::sigaction(SIGPIPE, &previous_pipe, nullptr);
  ::unsetenv("KOLVARIS_MUST_NOT_LEAK");

  EXPECT_TRUE(outcome.running_application);
  EXPECT_EQ(outcome.error_description, std::nullopt);
  EXPECT_NE(reported_on, std::this_thread::get_id());

  auto report = report_of("Probe");
  ASSERT_TRUE(report) << "the probe did not run";
  auto& f = report->fields;
  EXPECT_EQ(f["uid"], std::to_string(uid) + " " + std::to_string(uid));
  EXPECT_EQ(f["gid"], std::to_string(gid) + " " + std::to_string(gid));
  if (is_root()) {
    EXPECT_EQ(f["groups"], "");
  }
  EXPECT_EQ(f["sid"], f["pid"]) << "not a session leader";
  EXPECT_NE(f["ppid"], std::to_string(::getpid())) << "still the helper's child";
  EXPECT_EQ(f["fds"], "0=/dev/null 1=/dev/null 2=/dev/null");
  EXPECT_EQ(f["cwd"], "/");
  EXPECT_EQ(f["SigBlk"], "0000000000000000");
  EXPECT_EQ(f["SigIgn"], "0000000000000000");
  if (is_root()) {
    EXPECT_EQ(report->environment,
              (std::vector<std::string>{"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/", "DISPLAY=:5",
                                        "LC_ALL=C", "XAUTHORITY=/home/u/.Xauthority"}));
  } else {
    for (const auto& variable : report->environment) {
      EXPECT_TRUE(variable.starts_with("PATH=") || variable.starts_with("HOME=") ||
                  variable.starts_with("USER=") || variable.starts_with("LOGNAME=") ||
                  variable.starts_with("SHELL=") || variable == "DISPLAY=:5" ||
                  variable == "LC_ALL=C" || variable == "XAUTHORITY=/home/u/.Xauthority")
          << variable;
    }
  }
  // The intermediate process has been collected and the application is not ours to collect.
  EXPECT_FALSE(has_children());
}

TEST_F(BundleLaunch, KnownRequesterGetsTheirPrimaryGroupGroupsAndAccountEnvironment) {
  if (!is_root()) GTEST_SKIP() << "needs root to act for another user";
  passwd* nobody = ::getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user nobody";
  const uid_t uid = nobody->pw_uid;
  const gid_t primary = nobody->pw_gid;
  const std::string home = nobody->pw_dir, shell = nobody->pw_shell;
  fs::path bundle = probe_bundle("Nobody");
  // The report directory is theirs; the bundle's owner and group have no say.
  give_to(uid, 80);
  ASSERT_EQ(::chown(bundle.c_str(), 0, 0), 0);

  // The group the peer connected with gives way to the user database's primary group.
  EXPECT_TRUE(open(bundle, {uid, 80, {}}).running_application);
  auto report = report_of("Nobody");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->fields["uid"], std::to_string(uid) + " " + std::to_string(uid));
  EXPECT_EQ(report->fields["gid"], std::to_string(primary) + " " + std::to_string(primary));
  EXPECT_EQ(report->fields["groups"], std::to_string(primary));
  EXPECT_EQ(report->environment,
            (std::vector<std::string>{"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + home,
                                      "USER=nobody", "LOGNAME=nobody", "SHELL=" + shell}));
}

// An installed application belongs to root; whoever asks gets it as themselves, never as root.
TEST_F(BundleLaunch, BundleOfRootRunsAsTheRequesterAndAsRootOnlyForRoot) {
  if (!is_root()) GTEST_SKIP() << "needs root";
  fs::path bundle = probe_bundle("Root");
  give_to(0, 0);
  ::chmod(apps_.c_str(), 01777);  // the report must be writable for the requester

  EXPECT_TRUE(open(bundle, {4711, 4712, {}}).running_application);
  auto report = report_of("Root");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->fields["uid"], "4711 4711");
  EXPECT_EQ(report->fields["gid"], "4712 4712");
  EXPECT_EQ(report->fields["groups"], "");
  EXPECT_EQ(report->environment.at(0), "PATH=/usr/local/bin:/usr/bin:/bin");

  fs::remove(apps_ / "Root.app.report");
  EXPECT_TRUE(open(bundle, {0, 0, {}}).running_application);
  report = report_of("Root");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->fields["uid"], "0 0");
  EXPECT_EQ(report->fields["gid"], "0 0");
  EXPECT_EQ(report->environment.at(0),
            "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
}

// Root opens the bundle, but the requester must be able to reach it: a bundle in a directory
// the requester may not enter is refused, not started through root's rights.
TEST_F(BundleLaunch, BundleTheRequesterCannotReachIsRefused) {
  if (!is_root()) GTEST_SKIP() << "needs root";
  fs::path bundle = probe_bundle("Hidden");
  give_to(0, 0);
  ::chmod(apps_.c_str(), 0700);
  LaunchOutcome outcome = open(bundle, {4711, 4711, {}});
  EXPECT_FALSE(outcome.running_application);
  EXPECT_EQ(outcome.error_description, "Permission denied");
  ::chmod(apps_.c_str(), 0755);
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(fs::exists(apps_ / "Hidden.app.report"));
  EXPECT_FALSE(has_children());
}

TEST_F(BundleLaunch, ExecutableTheRequesterMayNotRunFailsAfterTheIdentityChange) {
  if (!is_root()) GTEST_SKIP() << "needs root";
  fs::path bundle = probe_bundle("Locked");
  give_to(501, 80);
  fs::path executable = bundle / "Contents/MacOS/Probe";
  ASSERT_EQ(::chown(executable.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(executable.c_str(), 0700), 0);
  LaunchOutcome outcome = open(bundle);
  EXPECT_FALSE(outcome.running_application);
  EXPECT_EQ(outcome.error_description, "Permission denied");
  EXPECT_FALSE(has_children());
}

TEST_F(BundleLaunch, ScriptRunsWithTheBundleAsWorkingDirectory) {
  fs::path bundle = apps_ / "Script.app";
  write_file(bundle / "Contents/Info.plist", info_plist(names_executable("run")));
  write_file(bundle / "Contents/MacOS/run",
             "#!/bin/sh\n{ id -u; pwd; } > ../Script.app.report.partial\n"
             "mv ../Script.app.report.partial ../Script.app.report\n",
             0755);
  if (is_root()) give_to(501, 80);
  EXPECT_TRUE(open(bundle).running_application);
  fs::path file = apps_ / "Script.app.report";
  for (int i = 0; i < 1000 && !fs::exists(file); ++i) std::this_thread::sleep_for(10ms);
  std::ifstream in(file);
  std::string uid, cwd;
  std::getline(in, uid);
  std::getline(in, cwd);
  EXPECT_EQ(uid, std::to_string(is_root() ? 501 : ::geteuid()));
  EXPECT_EQ(cwd, bundle.string());
}

TEST_F(BundleLaunch, LinkThatStaysInsideTheBundleIsFollowed) {
  fs::path bundle = probe_bundle("Inside", "Real");
  fs::create_directories(bundle / "Contents/Resources");
  fs::rename(bundle / "Contents/MacOS/Real", bundle / "Contents/Resources/Real");
  fs::create_symlink("../Resources/Real", bundle / "Contents/MacOS/Real");
  if (is_root()) give_to(501, 80);
  EXPECT_TRUE(open(bundle).running_application);
  EXPECT_TRUE(report_of("Inside"));
}

// Refusals and failures: each reported to the handler, nothing started.
TEST_F(BundleLaunch, FailuresAreReportedWithTheirDescription) {
  struct Case {
    std::string name;
    std::function<fs::path()> make;
    std::string description;
  };
  std::vector<Case> cases = {
      {"missing executable",
       [&] {
         fs::path b = probe_bundle("Missing");
         fs::remove(b / "Contents/MacOS/Probe");
         return b;
       },
       "No such file or directory"},
      {"missing bundle", [&] { return apps_ / "Nowhere.app"; }, "No such file or directory"},
      {"bundle that is a file",
       [&] {
         write_file(apps_ / "File.app", "");
         return apps_ / "File.app";
       },
       "Not a directory"},
      {"missing Info.plist",
       [&] {
         fs::path b = probe_bundle("NoPlist");
         fs::remove(b / "Contents/Info.plist");
         return b;
       },
       "No such file or directory"},
      {"bundle path that is a link",
       [&] {
         fs::path real = probe_bundle("LinkTarget");
         fs::create_symlink(real, apps_ / "Link.app");
         return apps_ / "Link.app";
       },
       "The application path is a symbolic link"},
      {"executable linked outside by an absolute link",
       [&] {
         fs::path b = probe_bundle("Absolute");
         fs::remove(b / "Contents/MacOS/Probe");
         fs::create_symlink(KOLVARIS_LAUNCH_PROBE, b / "Contents/MacOS/Probe");
         return b;
       },
       "The application's executable lies outside its bundle"},
      {"executable linked outside by a relative link",
       [&] {
         probe_bundle("Other");
         fs::path b = probe_bundle("Relative");
         fs::remove(b / "Contents/MacOS/Probe");
         fs::create_symlink("../../../Other.app/Contents/MacOS/Probe", b / "Contents/MacOS/Probe");
         return b;
       },
       "The application's executable lies outside its bundle"},
      {"Info.plist that is a link",
       [&] {
         fs::path b = probe_bundle("PlistLink");
         fs::rename(b / "Contents/Info.plist", b / "Contents/Real.plist");
         fs::create_symlink("Real.plist", b / "Contents/Info.plist");
         return b;
       },
       "Too many levels of symbolic links"},
      {"no CFBundleExecutable",
       [&] {
         fs::path b = probe_bundle("Unnamed");
         write_file(b / "Contents/Info.plist", info_plist(""));
         return b;
       },
       "The application's Info.plist names no executable"},
      {"CFBundleExecutable with a path",
       [&] {
         fs::path b = probe_bundle("Climber");
         write_file(b / "Contents/Info.plist", info_plist(names_executable("../MacOS/Probe")));
         return b;
       },
       "The application's Info.plist names no executable"},
      {"malformed Info.plist",
       [&] {
         fs::path b = probe_bundle("Malformed");
         write_file(b / "Contents/Info.plist", "<plist><dict><key>x</key>");
         return b;
       },
       ""},  // the reader's own words follow the prefix
      {"executable that is a directory",
       [&] {
         fs::path b = probe_bundle("Directory");
         fs::remove(b / "Contents/MacOS/Probe");
         fs::create_directories(b / "Contents/MacOS/Probe");
         return b;
       },
       "Permission denied"},
      {"executable without execute permission",
       [&] {
         fs::path b = probe_bundle("NotExecutable");
         ::chmod((b / "Contents/MacOS/Probe").c_str(), 0644);
         return b;
       },
       "Permission denied"},
      {"file that is not a program",
       [&] {
         fs::path b = probe_bundle("Garbage");
         write_file(b / "Contents/MacOS/Probe",
                    "\x7F"
                    "ELF garbage",
                    0755);
         return b;
       },
       "Exec format error"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path bundle = c.make();
    if (is_root()) give_to(501, 80);
    LaunchOutcome outcome = open(bundle);
    EXPECT_FALSE(outcome.running_application);
    ASSERT_TRUE(outcome.error_description.has_value());
    if (c.description.empty()) {
      EXPECT_TRUE(
          outcome.error_description->starts_with("The application's Info.plist is malformed: "))
          << *outcome.error_description;
    } else {
      EXPECT_EQ(*outcome.error_description, c.description);
    }
  }
  // No probe ran.
  for (const auto& entry : fs::directory_iterator(apps_)) {
    EXPECT_NE(entry.path().extension(), ".report") << entry.path();
  }
  EXPECT_FALSE(has_children());
}

// --- The command on the real platform -----------------------------------------------------------

pid_t collected_pid() {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

// Anyone can make a directory that looks like a bundle; only the signed application is started.
// The refusal is the launch's failure line, and the command still succeeds.
TEST_F(BundleLaunch, CommandForADirectoryThatIsNoSignedApplicationLogsTheRefusalAndStartsNothing) {
  fs::path bundle = probe_bundle("Lookalike");
  if (is_root()) give_to(501, 80);
  platform::Platform platform = platform::system_platform();
  const auto pid = static_cast<std::uint32_t>(collected_pid());

  CapturedLog log;
  asio::io_context io;
  std::optional<common::Status> result;
  common::ipc::message::WaitForExitAndLaunch command{pid, bundle.string()};
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        result =
            co_await main_service::run_wait_for_exit_and_launch(platform, command, some_user());
      },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  io.run();
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(*result);
  const std::string p = std::to_string(pid);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(std::vector<CapturedLog::Line>(lines.begin(), lines.begin() + 6),
            (std::vector<CapturedLog::Line>{
                test_support::out("Pid: " + p), test_support::out("App path: " + bundle.string()),
                test_support::out("Waiting for process with pid \"" + p + "\" to exit"),
                test_support::out("Process with pid \"" + p + "\" has exited"),
                test_support::out("Constructing application launch completion handler"),
                test_support::out("Launching application at path: " + bundle.string())}));
  EXPECT_TRUE(lines[6].text.starts_with(
      "Failed to launch application: SecStaticCodeCheckValidityWithErrors failed with code: "))
      << lines[6].text;
  EXPECT_EQ(lines[6], test_support::err(lines[6].text));
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(fs::exists(apps_ / "Lookalike.app.report"));
}

// The whole road on the system platform: the requester is whoever is at the other end of the
// socket (here this process), and the signed application runs as that user.
TEST_F(BundleLaunch, CommandThroughTheConnectionHandlerOnTheSystemPlatform) {
  fs::path bundle = codesign_test::make_bundle(apps_);
  fs::copy_file(KOLVARIS_LAUNCH_PROBE, bundle / codesign_test::MAIN_EXECUTABLE,
                fs::copy_options::overwrite_existing);
  ASSERT_TRUE(codesign_test::sign(bundle, codesign_test::test_pki()));
  auto services = main_service::real_services(platform::system_platform());
  services.verify_peer = [](int) { return common::Status{}; };
  services.recheck_peer = nullptr;  // the peer here is the test itself
  const auto pid = static_cast<std::uint32_t>(collected_pid());

  CapturedLog log;
  {
    test_support::ServedConnection c(services);
    c.send(R"({"type":"WaitForExitAndLaunch","pid":)" + std::to_string(pid) + R"(,"app_path":")" +
           bundle.string() + "\"}");
    EXPECT_EQ(c.reply().value(), R"({"type":"Ok"})");
  }

  EXPECT_TRUE(log.wait_for("Successfully completed launching application", 10s));
  auto report = report_of("Kolvaris");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->fields["uid"], std::to_string(::geteuid()) + " " + std::to_string(::geteuid()));
  auto texts = log.texts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "IPC: Command successful: WaitForExitAndLaunch"),
            texts.end());
}

// --- Who asked ----------------------------------------------------------------------------------

TEST(SessionVariables, OnlyTheSessionsOwnNamesPassWithinBounds) {
  using platform::linux_impl::is_session_variable;
  for (std::string_view allowed :
       {"DISPLAY=:0", "WAYLAND_DISPLAY=wayland-0", "XAUTHORITY=/run/user/1000/gdm/Xauthority",
        "XDG_RUNTIME_DIR=/run/user/1000", "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus",
        "LANG=de_DE.UTF-8", "LC_ALL=C", "LC_MESSAGES=fr_FR.UTF-8", "DISPLAY="}) {
    EXPECT_TRUE(is_session_variable(allowed)) << allowed;
  }
  for (std::string_view refused : {"LD_PRELOAD=/tmp/evil.so",
                                   "LD_LIBRARY_PATH=/tmp",
                                   "LD_AUDIT=/tmp/a.so",
                                   "GCONV_PATH=/tmp",
                                   "LOCPATH=/tmp",
                                   "NLSPATH=/tmp/%N",
                                   "GLIBC_TUNABLES=x",
                                   "HOME=/root",
                                   "PATH=/tmp",
                                   "SHELL=/tmp/sh",
                                   "TMPDIR=/tmp",
                                   "DISPLAYS=:0",
                                   "display=:0",
                                   "LC_=x",
                                   "LC_all=C",
                                   "LC_ALL1=C",
                                   "LC_ALL=../../tmp/evil",
                                   "LANG=/tmp/evil",
                                   "DISPLAY",
                                   "=:0",
                                   ""}) {
    EXPECT_FALSE(is_session_variable(refused)) << refused;
  }
  const std::string longest = "DISPLAY=" + std::string(4096 - 8, 'x');
  EXPECT_TRUE(is_session_variable(longest));
  EXPECT_FALSE(is_session_variable(longest + "x"));
  EXPECT_FALSE(is_session_variable(std::string("DISPLAY=:0\0LD_PRELOAD=x", 23)));
}

TEST(SessionVariables, BlockKeepsTheFirstOfEachNameAndDropsWhatIsCutOff) {
  using platform::linux_impl::session_variables_of;
  using std::literals::string_literals::operator""s;
  EXPECT_EQ(session_variables_of(
                "PATH=/bin\0DISPLAY=:1\0LD_PRELOAD=/x.so\0DISPLAY=:2\0LANG=C\0XAUTHORITY=/a"s),
            (std::vector<std::string>{"DISPLAY=:1", "LANG=C"}));
  EXPECT_EQ(session_variables_of(""s), std::vector<std::string>{});
  EXPECT_EQ(session_variables_of("\0\0DISPLAY=:1\0"s), std::vector<std::string>{"DISPLAY=:1"});

  // At most 32 are kept, however many different locale categories a process invents.
  std::string many;
  for (char a = 'A'; a <= 'Z'; ++a) {
    for (char b = 'A'; b <= 'B'; ++b) many += std::string("LC_") + a + b + "=C" + '\0';
  }
  auto kept = session_variables_of(many);
  ASSERT_EQ(kept.size(), platform::linux_impl::MAX_SESSION_VARIABLES);
  EXPECT_EQ(kept.front(), "LC_AA=C");

  // Nothing past the read bound is looked at.
  std::string huge(platform::linux_impl::MAX_ENVIRONMENT_READ, 'x');
  huge[0] = '\0';
  EXPECT_EQ(session_variables_of(huge + "DISPLAY=:1"s + '\0'), std::vector<std::string>{});
}

// A peer of a listening socket in the abstract namespace, connected from a child process that
// first becomes `uid`:`gid` (when given; root only) and then execs `sleep` with `environment`.
class Peer {
 public:
  Peer(std::optional<std::pair<uid_t, gid_t>> identity, std::vector<std::string> environment,
       bool exec_after_connect = true) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name =
        "kolvaris-requester-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++);
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_.get(), 1) != 0) {
      return;
    }
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    char sleep_name[] = "sleep";
    char seconds[] = "30";
    char* argv[] = {sleep_name, seconds, nullptr};
    child_ = ::fork();
    if (child_ == 0) {
      if (identity) {
        if (::setgroups(0, nullptr) != 0 ||
            ::setresgid(identity->second, identity->second, identity->second) != 0 ||
            ::setresuid(identity->first, identity->first, identity->first) != 0) {
          ::_exit(90);
        }
      }
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);  // inherited across exec: it stays the peer
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) ::_exit(91);
      if (!exec_after_connect) ::_exit(0);
      ::execve("/bin/sleep", argv, envp.data());
      ::_exit(92);
    }
    accepted_.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  ~Peer() {
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
  }
  int socket() const { return accepted_.get(); }
  pid_t pid() const { return child_; }
  // Waits until the child runs `sleep` with its environment in place: the kernel names the new
  // executable before it has laid out the new stack, and until then the environment reads empty.
  bool wait_for_exec() const {
    for (int i = 0; i < 500; ++i) {
      char target[256] = {};
      const std::string proc = "/proc/" + std::to_string(child_);
      if (::readlink((proc + "/exe").c_str(), target, sizeof target - 1) > 0 &&
          std::string_view(target).ends_with("/sleep")) {
        common::util::UniqueFd environ_fd(
            ::open((proc + "/environ").c_str(), O_RDONLY | O_CLOEXEC));
        char first = 0;
        if (environ_fd && ::read(environ_fd.get(), &first, 1) == 1) return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  void collect() {
    ::waitpid(child_, nullptr, 0);
    child_ = -1;
  }

 private:
  static inline int counter_ = 0;
  common::util::UniqueFd listener_, accepted_;
  pid_t child_ = -1;
};

TEST(Requester, IsThePeerAsItConnectedWithItsSessionVariablesOnly) {
  if (!is_root()) GTEST_SKIP() << "needs root to connect as another user";
  Peer peer(std::pair<uid_t, gid_t>{4711, 4712},
            {"PATH=/bin", "LD_LIBRARY_PATH=/tmp/evil", "DISPLAY=:3", "HOME=/root", "LANG=C.UTF-8",
             "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/4711/bus", "LC_MESSAGES=/tmp/evil",
             "XDG_RUNTIME_DIR=/run/user/4711", "GCONV_PATH=/tmp", "WAYLAND_DISPLAY=wayland-0",
             "XAUTHORITY=/tmp/xauth", "DISPLAY=:4"});
  ASSERT_GE(peer.socket(), 0);
  ASSERT_TRUE(peer.wait_for_exec());
  LinuxProcesses processes;
  auto requester = processes.requester_of(peer.socket());
  ASSERT_TRUE(requester) << requester.error();
  EXPECT_EQ(requester->uid, 4711u);
  EXPECT_EQ(requester->gid, 4712u);
  EXPECT_EQ(
      requester->session_environment,
      (std::vector<std::string>{
          "DISPLAY=:3", "LANG=C.UTF-8", "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/4711/bus",
          "XDG_RUNTIME_DIR=/run/user/4711", "WAYLAND_DISPLAY=wayland-0", "XAUTHORITY=/tmp/xauth"}));
}

// A peer that has gone (and whose pid another process may hold by now) still tells who connected,
// but nothing of any process's environment is read.
TEST(Requester, PeerThatHasGoneKeepsItsUserButHasNoSession) {
  std::optional<std::pair<uid_t, gid_t>> identity;
  if (is_root()) identity = std::pair<uid_t, gid_t>{4711, 4712};
  Peer peer(identity, {}, /*exec_after_connect=*/false);
  ASSERT_GE(peer.socket(), 0);
  peer.collect();
  LinuxProcesses processes;
  auto requester = processes.requester_of(peer.socket());
  ASSERT_TRUE(requester) << requester.error();
  EXPECT_EQ(requester->uid, is_root() ? 4711u : ::geteuid());
  EXPECT_EQ(requester->gid, is_root() ? 4712u : ::getegid());
  EXPECT_TRUE(requester->session_environment.empty());
}

// The kernel answers uid and gid -1 for a socket without a peer; to the set*id calls -1 means
// "keep the current one", which would leave the application root.
TEST(Requester, SocketWithoutAPeerIsAnErrorNotAUserMinusOne) {
  common::util::UniqueFd unconnected(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  LinuxProcesses processes;
  auto requester = processes.requester_of(unconnected.get());
  ASSERT_FALSE(requester);
  EXPECT_EQ(requester.error(), ENOTCONN);
  EXPECT_EQ(processes.requester_of(-1).error(), EBADF);
}

TEST_F(BundleLaunch, RequesterMinusOneIsRefusedRatherThanLeftAsRoot) {
  fs::path bundle = probe_bundle("Unchanged");
  ::chmod(apps_.c_str(), 01777);
  for (platform::Requester requester :
       {platform::Requester{UINT32_MAX, 80, {}}, platform::Requester{501, UINT32_MAX, {}}}) {
    LaunchOutcome outcome = open(bundle, requester);
    EXPECT_FALSE(outcome.running_application);
    EXPECT_EQ(outcome.error_description, "Invalid argument");
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(fs::exists(apps_ / "Unchanged.app.report"));
}

}  // namespace
