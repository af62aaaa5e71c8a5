// The Linux process table look-up and application launch, on real processes and real bundles.
// Launches start tests/support/launch_probe as a bundle's main executable; it reports who and
// how it was started. Tests that change owners run only as root.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

#include "common/ipc/client.hpp"
#include "main/connection.hpp"
#include "main/relaunch.hpp"
#include "platform/linux/processes_linux.hpp"
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

  static LaunchOutcome open(const fs::path& bundle, std::thread::id* reported_on = nullptr) {
    LinuxProcesses processes;
    std::promise<std::pair<LaunchOutcome, std::thread::id>> reported;
    auto future = reported.get_future();
    processes.open_application(bundle.string(), platform::OpenConfiguration{true},
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
  LaunchOutcome outcome = open(bundle, &reported_on);

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
              (std::vector<std::string>{"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/"}));
  } else {
    for (const auto& variable : report->environment) {
      EXPECT_TRUE(variable.starts_with("PATH=") || variable.starts_with("HOME=") ||
                  variable.starts_with("USER=") || variable.starts_with("LOGNAME=") ||
                  variable.starts_with("SHELL="))
          << variable;
    }
  }
  // The intermediate process has been collected and the application is not ours to collect.
  EXPECT_FALSE(has_children());
}

TEST_F(BundleLaunch, KnownOwnerGetsTheirGroupsAndAccountEnvironment) {
  if (!is_root()) GTEST_SKIP() << "needs root to give the bundle away";
  passwd* nobody = ::getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user nobody";
  const uid_t uid = nobody->pw_uid;
  const gid_t primary = nobody->pw_gid;
  const std::string home = nobody->pw_dir, shell = nobody->pw_shell;
  fs::path bundle = probe_bundle("Nobody");
  // The bundle's group, not the user's primary group, is the application's group.
  give_to(uid, 80);

  EXPECT_TRUE(open(bundle).running_application);
  auto report = report_of("Nobody");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->fields["uid"], std::to_string(uid) + " " + std::to_string(uid));
  EXPECT_EQ(report->fields["gid"], "80 80");
  EXPECT_EQ(report->fields["groups"], std::to_string(primary));
  EXPECT_EQ(report->environment,
            (std::vector<std::string>{"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + home,
                                      "USER=nobody", "LOGNAME=nobody", "SHELL=" + shell}));
}

TEST_F(BundleLaunch, BundleOfRootRunsAsRoot) {
  if (!is_root()) GTEST_SKIP() << "needs root";
  fs::path bundle = probe_bundle("Root");
  give_to(0, 0);
  EXPECT_TRUE(open(bundle).running_application);
  auto report = report_of("Root");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->fields["uid"], "0 0");
  EXPECT_EQ(report->fields["gid"], "0 0");
  EXPECT_EQ(report->environment.at(0),
            "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
}

TEST_F(BundleLaunch, ExecutableTheOwnerMayNotRunFailsAfterTheIdentityChange) {
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

TEST_F(BundleLaunch, CommandWithAMissingExecutableSucceedsAndTheHandlerLogsTheFailure) {
  fs::path bundle = probe_bundle("Gone");
  fs::remove(bundle / "Contents/MacOS/Probe");
  LinuxProcesses processes;
  platform::Platform platform;
  platform.processes = &processes;
  const auto pid = static_cast<std::uint32_t>(collected_pid());

  CapturedLog log;
  asio::io_context io;
  std::optional<common::Status> result;
  common::ipc::message::WaitForExitAndLaunch command{pid, bundle.string()};
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        result = co_await main_service::run_wait_for_exit_and_launch(platform, command);
      },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  io.run();
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(*result);
  ASSERT_TRUE(log.wait_for("Failed to launch application: No such file or directory", 10s));
  const std::string p = std::to_string(pid);
  EXPECT_EQ(log.lines(),
            (std::vector<CapturedLog::Line>{
                test_support::out("Pid: " + p), test_support::out("App path: " + bundle.string()),
                test_support::out("Waiting for process with pid \"" + p + "\" to exit"),
                test_support::out("Process with pid \"" + p + "\" has exited"),
                test_support::out("Constructing application launch completion handler"),
                test_support::out("Launching application at path: " + bundle.string()),
                test_support::err("Failed to launch application: No such file or directory")}));
}

TEST_F(BundleLaunch, CommandThroughTheConnectionHandlerOnTheSystemPlatform) {
  fs::path bundle = probe_bundle("Served");
  if (is_root()) give_to(501, 80);
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
  auto report = report_of("Served");
  ASSERT_TRUE(report);
  EXPECT_EQ(
      report->fields["uid"],
      is_root() ? "501 501" : std::to_string(::geteuid()) + " " + std::to_string(::geteuid()));
  auto texts = log.texts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "IPC: Command successful: WaitForExitAndLaunch"),
            texts.end());
}

}  // namespace
