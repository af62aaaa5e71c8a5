#pragma once
// Starting an application inside its user's systemd user manager, so that it runs in the user's
// session and outside the helper's own sandbox (network, /tmp, capability bounding set,
// seccomp filter, no-new-privileges, control group): a transient service unit started by
// systemd-run, run as that user.
//
// Root speaks no D-Bus here: the user's bus and the user's manager belong to the user, and
// whatever answers there is the user's to choose. A child takes the user's identity and runs
// systemd-run with the user's runtime directory and bus address; the helper learns only whether
// it ended with success, within a bound, and kills it at the bound. Blocking (at most the bound);
// any thread.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/linux_layer.hpp"
#include "platform/processes.hpp"

namespace platform::linux_impl {

// How long the user's manager is given to start the application.
inline constexpr std::chrono::milliseconds USER_MANAGER_START_BOUND{10'000};

// Where the users' managers are found and how they are asked.
struct UserManagerAccess {
  // The parent of the users' runtime directories: the manager of `uid` is reached through
  // <runtime_root>/<uid> (its private socket systemd/private, else the bus).
  std::string runtime_root = "/run/user";
  // The tool that asks the manager, run as the user.
  std::string systemd_run = "/usr/bin/systemd-run";
  std::chrono::milliseconds bound = USER_MANAGER_START_BOUND;
};

// The user the application runs as: identity of the child that asks the manager.
struct ManagerUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

// std::nullopt when no user manager runs for the user (nothing listens on either socket, as the
// user finds): the caller then starts the application itself. Otherwise the outcome: a running
// application once systemd-run has reported the start job of a transient Type=exec service (in
// app.slice, ExitType=cgroup, collected when inactive or failed) that executes
// `executable_path` with `argv` and `environment` ("NAME=value" entries added to the manager's
// own) as done; else the reason in the helper's own words (systemd-run's exit status, the bound).
// Nothing systemd-run or the bus says is read.
std::optional<LaunchOutcome> launch_in_user_manager(const ManagerUser& user,
                                                    const std::string& executable_path,
                                                    const std::vector<std::string>& argv,
                                                    const std::vector<std::string>& environment);

std::optional<LaunchOutcome> launch_in_user_manager_at(const UserManagerAccess& access,
                                                       const ManagerUser& user,
                                                       const std::string& executable_path,
                                                       const std::vector<std::string>& argv,
                                                       const std::vector<std::string>& environment);

// The name of the transient unit for an executable: app-kolvaris-<name>-<random>.service, the
// name reduced to the characters unit names allow.
std::string transient_unit_name(const std::string& executable_path);

// In a forked child about to exec: every signal back to its default action, so that nothing the
// helper handles or ignores reaches the program. Async-signal-safe.
void reset_signal_dispositions();

}  // namespace platform::linux_impl
