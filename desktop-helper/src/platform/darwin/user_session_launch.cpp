#include "platform/darwin/user_session_launch.hpp"

#include <sys/wait.h>

#include <algorithm>

namespace platform::darwin {

LaunchRoute launch_route(std::uint32_t helper_euid, std::uint32_t requester_uid) {
  // An application that runs as root runs outside every graphical session: there is no session
  // of root's to open it in, and opening it as root would hand a root process to whatever the
  // bundle holds.
  if (requester_uid == 0) return LaunchRoute::Refused;
  if (helper_euid == 0) return LaunchRoute::UserSession;
  if (helper_euid == requester_uid) return LaunchRoute::Workspace;
  return LaunchRoute::Refused;
}

std::optional<std::vector<std::string>> user_session_launch_arguments(
    std::uint32_t uid, std::string_view user_name, std::string_view path,
    const OpenConfiguration& configuration) {
  if (path.empty() || path.front() != '/' || user_name.empty()) return std::nullopt;
  std::vector<std::string> arguments{std::string(LAUNCHCTL_TOOL), "asuser", std::to_string(uid),
                                     // -n: never ask for a password (root needs none; a prompt
                                     // would hang the launch). -H: the user's own home.
                                     std::string(SUDO_TOOL), "-n", "-H", "-u",
                                     std::string(user_name), "--", std::string(OPEN_TOOL)};
  if (configuration.creates_new_application_instance) arguments.emplace_back("-n");
  arguments.emplace_back(path);
  return arguments;
}

LaunchOutcome outcome_of_launch_tools(int wait_status, std::string_view diagnostics) {
  LaunchOutcome outcome;
  if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) {
    outcome.running_application = true;
    return outcome;
  }
  // The last line with text: the tools' own explanation, as a localized description would be.
  const std::size_t end = diagnostics.find_last_not_of(" \t\r\n");
  if (end != std::string_view::npos) {
    std::string_view text = diagnostics.substr(0, end + 1);
    const std::size_t newline = text.find_last_of('\n');
    if (newline != std::string_view::npos) text.remove_prefix(newline + 1);
    text.remove_prefix(std::min(text.find_first_not_of(" \t\r"), text.size()));
    outcome.error_description = std::string(text);
    return outcome;
  }
  if (WIFEXITED(wait_status)) {
    outcome.error_description = "The application could not be opened (exit status " +
                                std::to_string(WEXITSTATUS(wait_status)) + ")";
  } else if (WIFSIGNALED(wait_status)) {
    outcome.error_description = "The application could not be opened (signal " +
                                std::to_string(WTERMSIG(wait_status)) + ")";
  } else {
    outcome.error_description = "The application could not be opened";
  }
  return outcome;
}

}  // namespace platform::darwin
