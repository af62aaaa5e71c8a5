// The launch through the user's service manager, against a stand-in manager served with sd-bus
// on a private socket: what is asked of the manager, what its answers become, and when there is
// no manager at all.

#include "platform/linux/user_manager_launch.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using platform::linux_impl::launch_in_user_manager_at;

// What the stand-in manager was asked, and how it answers.
struct Manager {
  std::string job_result = "done";
  bool refuse = false;
  bool subscribed = false;
  uid_t peer_uid = static_cast<uid_t>(-1);
  std::string unit, mode, exec_path;
  std::vector<std::string> exec_argv, environment;
  int exec_ignore_failure = -1;
  std::map<std::string, std::string> strings;  // string-valued properties
};

std::vector<std::string> read_strv(sd_bus_message* m) {
  char** list = nullptr;
  std::vector<std::string> out;
  if (sd_bus_message_read_strv(m, &list) >= 0 && list != nullptr) {
    for (char** p = list; *p != nullptr; ++p) {
      out.emplace_back(*p);
      free(*p);
    }
    free(list);
  }
  return out;
}

int hello(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "s", ":1.7");
}
int add_match(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, ""); }
int subscribe(sd_bus_message* m, void* userdata, sd_bus_error*) {
  static_cast<Manager*>(userdata)->subscribed = true;
  return sd_bus_reply_method_return(m, "");
}

int start_transient_unit(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto& manager = *static_cast<Manager*>(userdata);
  const char* unit = nullptr;
  const char* mode = nullptr;
  sd_bus_message_read(m, "ss", &unit, &mode);
  manager.unit = unit;
  manager.mode = mode;
  sd_bus_message_enter_container(m, 'a', "(sv)");
  while (sd_bus_message_enter_container(m, 'r', "sv") > 0) {
    const char* name = nullptr;
    sd_bus_message_read(m, "s", &name);
    const std::string key = name;
    if (key == "ExecStart") {
      sd_bus_message_enter_container(m, 'v', "a(sasb)");
      sd_bus_message_enter_container(m, 'a', "(sasb)");
      sd_bus_message_enter_container(m, 'r', "sasb");
      const char* path = nullptr;
      sd_bus_message_read(m, "s", &path);
      manager.exec_path = path;
      manager.exec_argv = read_strv(m);
      sd_bus_message_read(m, "b", &manager.exec_ignore_failure);
      sd_bus_message_exit_container(m);
      sd_bus_message_exit_container(m);
      sd_bus_message_exit_container(m);
    } else if (key == "Environment") {
      sd_bus_message_enter_container(m, 'v', "as");
      manager.environment = read_strv(m);
      sd_bus_message_exit_container(m);
    } else {
      const char* value = nullptr;
      sd_bus_message_read(m, "v", "s", &value);
      manager.strings[key] = value;
    }
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
  if (manager.refuse) {
    return sd_bus_error_set(error, "org.freedesktop.systemd1.UnitExists",
                            "Unit app-x.service was already loaded");
  }
  const char* job = "/org/freedesktop/systemd1/job/42";
  int r = sd_bus_reply_method_return(m, "o", job);
  if (r < 0) return r;
  sd_bus_message* signal = nullptr;
  sd_bus_message_new_signal(sd_bus_message_get_bus(m), &signal, "/org/freedesktop/systemd1",
                            "org.freedesktop.systemd1.Manager", "JobRemoved");
  // As a broker would: the sender is the manager's unique name.
  sd_bus_message_set_sender(signal, ":1.1");
  sd_bus_message_append(signal, "uoss", 42u, job, unit, manager.job_result.c_str());
  r = sd_bus_send(nullptr, signal, nullptr);
  sd_bus_message_unref(signal);
  return r;
}

const sd_bus_vtable BUS_DRIVER[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Hello", "", "s", hello, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AddMatch", "s", "", add_match, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};
const sd_bus_vtable SYSTEMD_MANAGER[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Subscribe", "", "", subscribe, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StartTransientUnit", "ssa(sv)a(sa(sv))", "o", start_transient_unit,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// Serves one connection on <root>/<uid>/bus on a thread of its own.
class StandInManager {
 public:
  StandInManager(const fs::path& root, uid_t uid, Manager& manager) : manager_(manager) {
    fs::create_directories(root / std::to_string(uid));
    ::chmod(root.c_str(), 0755);
    ::chmod((root / std::to_string(uid)).c_str(), 0755);
    listener_ = test_support::listen_unix((root / std::to_string(uid) / "bus").string());
    thread_ = std::thread([this] { serve(); });
  }
  ~StandInManager() {
    stop_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
  }

 private:
  void serve() {
    int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0)
      manager_.peer_uid = peer.uid;
    sd_bus* bus = nullptr;
    sd_id128_t id{};
    sd_id128_randomize(&id);
    sd_bus_new(&bus);
    sd_bus_set_fd(bus, fd, fd);
    sd_bus_set_server(bus, 1, id);
    sd_bus_set_anonymous(bus, 1);
    sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             BUS_DRIVER, &manager_);
    sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/systemd1",
                             "org.freedesktop.systemd1.Manager", SYSTEMD_MANAGER, &manager_);
    if (sd_bus_start(bus) >= 0) {
      while (!stop_) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r == 0) sd_bus_wait(bus, 100'000);
      }
    }
    sd_bus_flush_close_unref(bus);
  }

  Manager& manager_;
  common::util::UniqueFd listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

const std::vector<std::string> ARGV = {"/Applications/Kolvaris.app/Contents/MacOS/Kolvaris"};
const std::vector<std::string> ENVIRONMENT = {"HOME=/home/u", "DISPLAY=:0",
                                              "XDG_RUNTIME_DIR=/run/user/1000"};

TEST(UserManagerLaunch, WithoutAManagerTheCallerStartsTheApplicationItself) {
  test_support::TempDir root;
  EXPECT_FALSE(launch_in_user_manager_at(root.path().string(), ::getuid(), ::getgid(), ARGV[0],
                                         ARGV, ENVIRONMENT));
  // A socket left behind by a manager that has exited: nobody listens.
  fs::create_directories(root.path() / std::to_string(::getuid()));
  {
    auto stale =
        test_support::listen_unix((root.path() / std::to_string(::getuid()) / "bus").string());
  }
  EXPECT_FALSE(launch_in_user_manager_at(root.path().string(), ::getuid(), ::getgid(), ARGV[0],
                                         ARGV, ENVIRONMENT));
}

TEST(UserManagerLaunch, AsksForATransientExecServiceInTheUsersAppSliceWithExactlyTheEnvironment) {
  test_support::TempDir root;
  Manager manager;
  std::optional<platform::LaunchOutcome> outcome;
  {
    StandInManager stand_in(root.path(), ::getuid(), manager);
    outcome = launch_in_user_manager_at(root.path().string(), ::getuid(), ::getgid(), ARGV[0], ARGV,
                                        ENVIRONMENT);
  }
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->running_application);
  EXPECT_FALSE(outcome->error_description) << *outcome->error_description;
  EXPECT_TRUE(manager.subscribed);
  EXPECT_TRUE(manager.unit.starts_with("app-kolvaris-Kolvaris-")) << manager.unit;
  EXPECT_TRUE(manager.unit.ends_with(".service")) << manager.unit;
  EXPECT_EQ(manager.mode, "fail");
  EXPECT_EQ(manager.exec_path, ARGV[0]);
  EXPECT_EQ(manager.exec_argv, ARGV);
  EXPECT_EQ(manager.exec_ignore_failure, 0);
  EXPECT_EQ(manager.environment, ENVIRONMENT);
  EXPECT_EQ(manager.strings["Type"], "exec");
  EXPECT_EQ(manager.strings["ExitType"], "cgroup");
  EXPECT_EQ(manager.strings["Slice"], "app.slice");
  EXPECT_EQ(manager.strings["CollectMode"], "inactive-or-failed");
}

TEST(UserManagerLaunch, AJobThatFailsOrACallThatIsRefusedIsAFailureWithTheReason) {
  {
    test_support::TempDir root;
    Manager manager;
    manager.job_result = "failed";
    StandInManager stand_in(root.path(), ::getuid(), manager);
    auto outcome = launch_in_user_manager_at(root.path().string(), ::getuid(), ::getgid(), ARGV[0],
                                             ARGV, ENVIRONMENT);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->running_application);
    ASSERT_TRUE(outcome->error_description);
    EXPECT_TRUE(outcome->error_description->ends_with(": failed")) << *outcome->error_description;
  }
  {
    test_support::TempDir root;
    Manager manager;
    manager.refuse = true;
    StandInManager stand_in(root.path(), ::getuid(), manager);
    auto outcome = launch_in_user_manager_at(root.path().string(), ::getuid(), ::getgid(), ARGV[0],
                                             ARGV, ENVIRONMENT);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->running_application);
    ASSERT_TRUE(outcome->error_description);
    EXPECT_NE(outcome->error_description->find("Unit app-x.service was already loaded"),
              std::string::npos)
        << *outcome->error_description;
  }
}

// The user's broker believes the credentials fixed at connect(): they must be the user's, not
// root's, while the helper itself keeps its identity.
TEST(UserManagerLaunch, ConnectsWithTheUsersCredentialsAndKeepsItsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  test_support::TempDir root;
  ::chmod(root.path().c_str(), 0755);
  Manager manager;
  std::optional<platform::LaunchOutcome> outcome;
  {
    StandInManager stand_in(root.path(), 65534, manager);
    outcome =
        launch_in_user_manager_at(root.path().string(), 65534, 65534, ARGV[0], ARGV, ENVIRONMENT);
  }
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->running_application) << outcome->error_description.value_or("");
  EXPECT_EQ(manager.peer_uid, 65534u);
  EXPECT_EQ(::geteuid(), 0u);
  EXPECT_EQ(::getegid(), 0u);
}

}  // namespace
