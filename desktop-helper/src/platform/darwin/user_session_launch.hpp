#pragma once
// How the helper, a root daemon, opens an application for the user who asked.
//
// Apple documents AppKit and Launch Services as unsafe to use from a daemon and says nothing of
// what NSWorkspace does when root in the system context calls it: the application might start
// as root, in no user's session, or not at all. So a root helper never asks NSWorkspace itself.
// It has launchd run the open request in the requester's own bootstrap namespace and audit
// session ("launchctl asuser"), as that user ("sudo -u"), through "open", which asks Launch
// Services (NSWorkspace) from inside that session; "-n" is the new-instance option. NSWorkspace
// is asked directly only by a helper that already runs as the requester.
//
// Plain C++ without Apple headers, so the decisions are tested where the helper is built.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/processes.hpp"

namespace platform::darwin {

inline constexpr std::string_view LAUNCHCTL_TOOL = "/bin/launchctl";
inline constexpr std::string_view SUDO_TOOL = "/usr/bin/sudo";
inline constexpr std::string_view OPEN_TOOL = "/usr/bin/open";
// The only environment the launch tools get: nothing of the helper's or the requester's.
inline constexpr std::string_view LAUNCH_TOOL_PATH = "PATH=/usr/bin:/bin:/usr/sbin:/sbin";

// Root is never launched for: see launch_route.
enum class LaunchRoute {
  Workspace,    // the helper runs as the requester: NSWorkspace, in the helper's own session
  UserSession,  // the helper is root: the launch tools, in the requester's session as the requester
  Refused,      // the helper can act neither as nor for the requester
};

LaunchRoute launch_route(std::uint32_t helper_euid, std::uint32_t requester_uid);

// The argument vector of the user-session launch, or none when `path` is not absolute (it must
// not be read as an option of a tool) or `user_name` is empty.
std::optional<std::vector<std::string>> user_session_launch_arguments(
    std::uint32_t uid, std::string_view user_name, std::string_view path,
    const OpenConfiguration& configuration);

// The outcome of the launch tools from the child's wait status and what it wrote to standard
// error: success exactly when it exited with 0; otherwise the last line it wrote, or a
// description of how it ended.
LaunchOutcome outcome_of_launch_tools(int wait_status, std::string_view diagnostics);

}  // namespace platform::darwin
