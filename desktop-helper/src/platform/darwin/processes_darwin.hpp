#pragma once
// Processes: the process table through kill's probe, and application launches for the user who
// asked (user_session_launch.hpp says how and why).

#include "platform/processes.hpp"

namespace platform::darwin {

class DarwinProcesses final : public Processes {
 public:
  // kill(pid, 0): present when it succeeds or the process belongs to someone else (EPERM); a
  // zombie the probe no longer finds is looked up in the kernel's process table. Ids that are
  // not a single process as a pid_t (0, and everything above INT32_MAX) never reach kill.
  bool process_exists(std::uint32_t pid) override;

  // Opens the bundle for `requester` (uid from the peer's audit token): as that user, in that
  // user's session; never for uid 0. Returns at once; `completion` runs once, later, on another
  // thread, and nothing it throws escapes that thread. AppKit is loaded (dlopen) only when the
  // helper itself runs as the requester; the root daemon never maps it.
  void open_application(std::string_view utf8_path, const OpenConfiguration& configuration,
                        const Requester& requester, LaunchCompletion completion) override;

  // The effective user and group of the peer's audit token, read now.
  std::expected<Requester, int> requester_of(int socket_fd) override;
};

}  // namespace platform::darwin
