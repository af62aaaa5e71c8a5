#include "relauncher/relaunch_plan.hpp"

#include <charconv>

#include "common/util/quoted.hpp"

namespace relauncher {

std::expected<RelaunchPlan, std::string> plan_relaunch(const std::vector<std::string>& arguments,
                                                       std::uint32_t euid, pid_t parent_pid) {
  if (arguments.size() != 2) return std::unexpected(std::string(USAGE));
  // Root runs in no user's session: an application opened from there would start as root, or in
  // no session at all.
  if (euid == 0) {
    return std::unexpected(
        std::string("The relauncher never runs as root, which has no graphical session"));
  }
  const std::string& pid_text = arguments[0];
  long long pid = 0;
  auto [end, error] = std::from_chars(pid_text.data(), pid_text.data() + pid_text.size(), pid);
  if (error != std::errc() || end != pid_text.data() + pid_text.size() || pid <= 1 ||
      pid > 0x7fffffff) {
    return std::unexpected(std::string(USAGE));
  }
  // A pid given by number could name any process by the time it is waited for; the parent is the
  // one process the relauncher can follow without that race (it is told when its parent exits).
  if (static_cast<pid_t>(pid) != parent_pid) {
    return std::unexpected("The process " + pid_text +
                           " is not the application that started the relauncher");
  }
  const std::string& path = arguments[1];
  if (path.empty() || path.front() != '/') {
    return std::unexpected(std::string("The application path must be absolute"));
  }
  if (!common::util::is_valid_utf8(path)) {
    return std::unexpected(std::string("The application path is not UTF-8"));
  }
  return RelaunchPlan{static_cast<pid_t>(pid), path};
}

}  // namespace relauncher
