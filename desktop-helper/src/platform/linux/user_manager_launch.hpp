#pragma once
// Starting an application inside its user's systemd user manager, so that it runs in the user's
// session and outside the helper's own sandbox (network, /tmp, capability bounding set,
// seccomp filter, no-new-privileges, control group): a transient service unit started over the
// user's bus.
//
// Blocking (at most about BUS_TIMEOUT in total); any thread. Forks a short-lived child that
// connects to the bus as the user, since the user's bus broker only serves its own user.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/linux_layer.hpp"
#include "platform/processes.hpp"

namespace platform::linux_impl {

// std::nullopt when no user manager runs for `uid` (nothing listens on its bus): the caller
// then starts the application itself. Otherwise the outcome of the start: a running
// application once the user manager has executed `executable_path` (an absolute path) with
// `argv` and exactly `environment` ("NAME=value" entries added to the manager's own), or the
// reason it did not.
std::optional<LaunchOutcome> launch_in_user_manager(uid_t uid, gid_t gid,
                                                    const std::string& executable_path,
                                                    const std::vector<std::string>& argv,
                                                    const std::vector<std::string>& environment);

// The same with the parent of the users' runtime directories given (production: "/run/user"):
// the bus is <runtime_root>/<uid>/bus.
std::optional<LaunchOutcome> launch_in_user_manager_at(const std::string& runtime_root, uid_t uid,
                                                       gid_t gid,
                                                       const std::string& executable_path,
                                                       const std::vector<std::string>& argv,
                                                       const std::vector<std::string>& environment);

// The name of the transient unit for an executable: app-kolvaris-<name>-<random>.service, the
// name reduced to the characters unit names allow.
std::string transient_unit_name(const std::string& executable_path);

}  // namespace platform::linux_impl
