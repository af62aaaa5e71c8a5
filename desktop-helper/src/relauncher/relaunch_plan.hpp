#pragma once
// The relauncher: a small program that the application starts, as the user and in the user's
// session, right before it quits for an update. It waits until the application (its parent) has
// exited and then asks the workspace to open the application bundle as a new instance. This is
// the supported way to start an application in a user's session (launchd: only a process of that
// session, never root, runs in it); the root helper's own launch is the fallback.
//
// What it decides is plain C++, tested where the helper is built; relauncher_main.mm does the
// waiting and the opening on macOS.

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace relauncher {

struct RelaunchPlan {
  pid_t application_pid = 0;  // the process to outlive: the relauncher's parent
  std::string bundle_path;    // absolute, UTF-8
};

inline constexpr std::string_view USAGE = "usage: relauncher PID /path/to/Application.app";

// The plan for `arguments` (argv without the program name) in a relauncher that runs as `euid`
// and whose parent is `parent_pid`. Errors (one line each): the usage, for anything but two
// arguments; "The relauncher never runs as root, which has no graphical session" for euid 0;
// "The process {} is not the application that started the relauncher" when the pid is not the
// parent (the relauncher outlives only the process that asked for it, never one named by
// number); "The application path must be absolute" (it must not be read as an option);
// "The application path is not UTF-8".
std::expected<RelaunchPlan, std::string> plan_relaunch(const std::vector<std::string>& arguments,
                                                       std::uint32_t euid, pid_t parent_pid);

}  // namespace relauncher
