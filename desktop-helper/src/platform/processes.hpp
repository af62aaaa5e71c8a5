#pragma once
// Processes: whether a pid is in the process table, who asked on a connection, and opening an
// application bundle as a new instance for that user.
//
// The launch follows the shape of the macOS workspace service: the request returns at once and
// the outcome arrives later, once, on a thread of the platform's choosing, as a pair of facts
// (whether a running application resulted, the description of the error if there was one).
// Portable code (main/relaunch) turns the outcome into log lines.

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The options of an open request (the workspace's open configuration). Defaults as there.
struct OpenConfiguration {
  // Start another instance even when the application already runs.
  bool creates_new_application_instance = false;
};

// What the platform reports once a launch request has run its course. Both facts are reported
// as found: an error together with a running application is possible, and so is neither.
struct LaunchOutcome {
  bool running_application = false;
  std::optional<std::string> error_description;
};

// The user on whose behalf an application is opened: the process at the other end of a
// connection, as it was when it connected. The application runs as this user and never with more
// rights than this user has.
struct Requester {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  // "NAME=value" entries of the requesting process's graphical session (display, session bus,
  // locale), so that the application appears where the user is. Only the names the platform
  // allows, never anything the dynamic loader reads; empty where the platform has no such notion.
  std::vector<std::string> session_environment;
  // The supplementary groups it connected with; what a file access is checked against besides
  // uid and gid.
  std::vector<std::uint32_t> groups{};
};

// Called exactly once per request, on a thread that is not the caller's runtime.
using LaunchCompletion = std::function<void(const LaunchOutcome&)>;

class Processes {
 public:
  virtual ~Processes() = default;

  // Whether a process with this id exists at the moment of the call; a process that has exited
  // but has not been collected by its parent still exists. Blocks only briefly; any thread.
  virtual bool process_exists(std::uint32_t pid) = 0;

  // Who is at the other end of a connected Unix stream socket: the user and group it connected
  // with, and its session variables, read now. The errno of a failed look-up of the user; a
  // session that cannot be read is an empty one, not a failure. Blocks briefly; any thread.
  virtual std::expected<Requester, int> requester_of(int socket_fd) = 0;

  // Asks for the application bundle at `utf8_path` to be opened as `requester`. Returns at once;
  // `completion` is called later with the outcome. Any thread.
  virtual void open_application(std::string_view utf8_path, const OpenConfiguration& configuration,
                                const Requester& requester, LaunchCompletion completion) = 0;
};

}  // namespace platform
