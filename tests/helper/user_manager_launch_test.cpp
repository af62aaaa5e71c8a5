// The launch through the user's service manager: what systemd-run is asked, as whom, with what
// environment; what its end becomes; and that a hostile or silent bus costs the helper at most
// the bound and not one byte read as root, against stand-in tools and stand-in buses.

#include "platform/linux/user_manager_launch.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "activator.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::linux_impl::launch_in_user_manager_at;
using platform::linux_impl::ManagerUser;
using platform::linux_impl::UserManagerAccess;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> ARGV = {"/Applications/Kolvaris.app/Contents/MacOS/Kolvaris"};
const std::vector<std::string> ENVIRONMENT = {"HOME=/home/u", "DISPLAY=:0",
                                              "XDG_RUNTIME_DIR=/run/user/1000"};

// The user the launches are for: nobody where the test may change identity, else itself.
ManagerUser test_user() {
  if (::geteuid() == 0) return ManagerUser{65534, 65534, {}};
  return ManagerUser{::geteuid(), ::getegid(), {}};
}

void write_executable(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  ::chmod(path.c_str(), 0755);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A runtime root with a directory for the test user, and a stand-in systemd-run in a folder the
// user may use; what the stand-in records lands in `record()`.
class UserManagerLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0755);
    fs::create_directories(runtime_directory());
    fs::create_directories(dir_.path() / "out");
    ::chmod((dir_.path() / "run").c_str(), 0755);
    ::chmod(runtime_directory().c_str(), 0777);
    ::chmod((dir_.path() / "out").c_str(), 0777);
    access_.runtime_root = (dir_.path() / "run").string();
    access_.systemd_run = (dir_.path() / "systemd-run").string();
    access_.bound = 1500ms;
  }

  fs::path runtime_directory() const {
    return dir_.path() / "run" / std::to_string(test_user().uid);
  }
  fs::path record() const { return dir_.path() / "out" / "record"; }

  // The stand-in: records its user, its arguments and its environment, then runs `then`.
  void stand_in_tool(const std::string& then) {
    write_executable(access_.systemd_run,
                     "#!/bin/sh\n{ id -u; echo ==; printf '%s\\n' \"$@\"; echo ==; "
                     "cat /proc/$$/environ | tr '\\0' '\\n'; } > '" +
                         record().string() + "'\n" + then + "\n");
  }

  // A socket where the user's bus would be.
  common::util::UniqueFd listen_on_bus() {
    auto listener = test_support::listen_unix((runtime_directory() / "bus").string());
    ::chmod((runtime_directory() / "bus").c_str(), 0777);
    return listener;
  }

  std::optional<platform::LaunchOutcome> launch(const std::vector<std::string>& argv = ARGV) {
    return launch_in_user_manager_at(access_, test_user(), argv[0], argv, ENVIRONMENT);
  }

  test_support::TempDir dir_;
  UserManagerAccess access_;
};

TEST_F(UserManagerLaunch, WithoutAManagerTheCallerStartsTheApplicationItself) {
  stand_in_tool("exit 0");
  EXPECT_FALSE(launch());
  // A socket left behind by a manager that has exited: nobody listens.
  { auto stale = listen_on_bus(); }
  EXPECT_FALSE(launch());
  EXPECT_FALSE(fs::exists(record())) << "the tool ran although no manager listens";
}

TEST_F(UserManagerLaunch, AsksForATransientExecServiceAsTheUserWithExactlyTheEnvironment) {
  stand_in_tool("exit 0");
  auto bus = listen_on_bus();
  auto outcome = launch();
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->running_application) << outcome->error_description.value_or("");
  EXPECT_FALSE(outcome->error_description);

  auto lines = lines_of(test_support::read_file(record().string()));
  auto first = std::find(lines.begin(), lines.end(), "==");
  ASSERT_NE(first, lines.end());
  auto second = std::find(first + 1, lines.end(), "==");
  ASSERT_NE(second, lines.end());
  ASSERT_EQ(first - lines.begin(), 1);
  EXPECT_EQ(lines[0], std::to_string(test_user().uid));
  std::vector<std::string> arguments(first + 1, second);
  ASSERT_GE(arguments.size(), 5u);
  EXPECT_EQ(arguments[0], "--user");
  const std::string runtime = runtime_directory().string();
  std::vector<std::string> environment(second + 1, lines.end());
  std::erase(environment, "PWD=/");  // the shell's own
  EXPECT_EQ(environment, (std::vector<std::string>{
                             "PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8", "XDG_RUNTIME_DIR=" + runtime,
                             "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus"}));
  std::string unit;
  for (const auto& a : arguments) {
    if (a.starts_with("--unit=")) unit = a.substr(7);
  }
  EXPECT_TRUE(unit.starts_with("app-kolvaris-Kolvaris-")) << unit;
  EXPECT_TRUE(unit.ends_with(".service")) << unit;
  for (const char* expected : {"--slice=app.slice", "--property=Type=exec",
                               "--property=ExitType=cgroup", "--collect", "--quiet"}) {
    EXPECT_NE(std::find(arguments.begin(), arguments.end(), expected), arguments.end()) << expected;
  }
  // The command comes last, after the end of the options; the application's environment is
  // passed as the service's, never as systemd-run's own.
  auto end_of_options = std::find(arguments.begin(), arguments.end(), "--");
  ASSERT_NE(end_of_options, arguments.end());
  EXPECT_EQ(std::vector<std::string>(end_of_options + 1, arguments.end()), ARGV);
  for (const auto& variable : ENVIRONMENT) {
    EXPECT_NE(std::find(arguments.begin(), end_of_options, "--setenv=" + variable), end_of_options)
        << variable;
  }
  EXPECT_EQ(::geteuid(), ::getuid());
}

TEST_F(UserManagerLaunch, AToolThatFailsIsAFailureInTheHelpersOwnWords) {
  auto bus = listen_on_bus();
  stand_in_tool("echo 'Unit app-x.service was already loaded' >&2; exit 1");
  auto outcome = launch();
  ASSERT_TRUE(outcome);
  EXPECT_FALSE(outcome->running_application);
  ASSERT_TRUE(outcome->error_description);
  EXPECT_TRUE(outcome->error_description->starts_with(
      "The user's service manager did not start app-kolvaris-Kolvaris-"))
      << *outcome->error_description;
  EXPECT_TRUE(outcome->error_description->ends_with(" (systemd-run exited with status 1)"))
      << *outcome->error_description;

  fs::remove(access_.systemd_run);
  outcome = launch();
  ASSERT_TRUE(outcome);
  EXPECT_FALSE(outcome->running_application);
  EXPECT_EQ(outcome->error_description,
            "Could not run " + access_.systemd_run + ": No such file or directory");
}

// A manager that never finishes the start: the helper gives up at the bound, and the tool it ran
// is gone with it.
TEST_F(UserManagerLaunch, AHungStartCostsTheBoundAndTheToolIsKilled) {
  auto bus = listen_on_bus();
  const fs::path pid_file = dir_.path() / "out" / "pid";
  stand_in_tool("echo $$ > '" + pid_file.string() + "'; exec sleep 60");
  access_.bound = 700ms;
  const auto started = Clock::now();
  auto outcome = launch();
  const auto took = Clock::now() - started;
  ASSERT_TRUE(outcome);
  EXPECT_FALSE(outcome->running_application);
  ASSERT_TRUE(outcome->error_description);
  EXPECT_TRUE(outcome->error_description->ends_with(" within 0.7 seconds"))
      << *outcome->error_description;
  EXPECT_GE(took, 700ms);
  EXPECT_LT(took, 700ms + 1500ms);
  const pid_t tool = std::stoi(test_support::read_file(pid_file.string()));
  EXPECT_NE(::kill(tool, 0), 0) << "the tool still runs";
}

// Stands in for the user's bus: accepts every connection and records who made it; either never
// says a word or answers everything with garbage.
class StandInBus {
 public:
  StandInBus(common::util::UniqueFd listener, bool garbage)
      : listener_(std::move(listener)), garbage_(garbage), thread_([this] { serve(); }) {}
  ~StandInBus() {
    stop_ = true;
    thread_.join();
  }
  std::vector<uid_t> peers() const {
    std::lock_guard lock(mutex_);
    return peers_;
  }

 private:
  void serve() {
    std::vector<common::util::UniqueFd> connections;
    while (!stop_) {
      std::vector<pollfd> wanted{{listener_.get(), POLLIN, 0}};
      for (auto& c : connections) wanted.push_back({c.get(), POLLIN, 0});
      if (::poll(wanted.data(), wanted.size(), 50) <= 0) continue;
      if (wanted[0].revents & POLLIN) {
        common::util::UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (fd) {
          ucred peer{};
          socklen_t length = sizeof peer;
          if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) {
            std::lock_guard lock(mutex_);
            peers_.push_back(peer.uid);
          }
          connections.push_back(std::move(fd));
        }
      }
      for (std::size_t i = 1; i < wanted.size(); ++i) {
        if (!(wanted[i].revents & (POLLIN | POLLHUP))) continue;
        char buffer[512];
        if (::read(wanted[i].fd, buffer, sizeof buffer) <= 0) continue;
        if (garbage_) {
          static const char GARBAGE[] =
              "OK \xff\xfe\r\nDATA \x01\x02\x03 l\0\0\0\x7f\xff\xff\xff\r\n";
          (void)::send(wanted[i].fd, GARBAGE, sizeof GARBAGE, MSG_NOSIGNAL);
        }
      }
    }
  }

  common::util::UniqueFd listener_;
  bool garbage_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<uid_t> peers_;
  std::thread thread_;
};

// The real systemd-run, as the user, against a bus that never answers and one that answers
// garbage: the start fails within the bound, and every connection to the bus was the user's,
// none root's.
TEST_F(UserManagerLaunch, ASilentOrHostileBusIsTalkedToOnlyByTheUserWithinTheBound) {
  if (!fs::exists("/usr/bin/systemd-run")) GTEST_SKIP() << "systemd-run is not installed";
  access_.systemd_run = "/usr/bin/systemd-run";
  for (const bool garbage : {false, true}) {
    SCOPED_TRACE(garbage ? "garbage" : "silence");
    fs::remove(runtime_directory() / "bus");
    StandInBus bus(listen_on_bus(), garbage);
    const auto started = Clock::now();
    // systemd-run looks for the program before it asks: one that exists.
    auto outcome = launch({"/bin/true"});
    const auto took = Clock::now() - started;
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->running_application);
    EXPECT_TRUE(outcome->error_description) << "no reason given";
    std::cout << "  " << (garbage ? "garbage" : "silence") << ": "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
              << " ms: " << outcome->error_description.value_or("") << "\n";
    EXPECT_LT(took, access_.bound + 1500ms);
    auto peers = bus.peers();
    // The helper's own look and systemd-run's connection.
    EXPECT_GE(peers.size(), 2u);
    for (uid_t peer : peers) EXPECT_EQ(peer, test_user().uid);
  }
}

}  // namespace
