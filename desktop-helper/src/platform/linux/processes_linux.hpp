#pragma once
#include <string>

#include "platform/linux/linux_layer.hpp"
#include "platform/processes.hpp"

namespace platform::linux_impl {

// Process look-up through pidfd_open (a process counts from its creation until its parent has
// collected it; a thread id that is not a process's own id does not count). The values 0 and
// above INT_MAX name process groups or "every process" to the kernel's pid calls, so they never
// reach one: no process has such an id, and they are reported absent.
//
// requester_of reads the peer's user and group with SO_PEERCRED (as they were at connect time)
// and its session variables from /proc/<pid>/environ (what it was started with), through a
// pidfd of the peer so that a process that took over the pid is never read.
//
// open_application starts the bundle's main executable (CFBundleExecutable of
// Contents/Info.plist, in Contents/MacOS) on a thread of its own, and calls the completion there
// once the executable has been exec'd (running_application) or the start has failed (the
// description of the error). Every start is a new instance; the configuration has nothing else
// that applies on Linux.
class LinuxProcesses final : public Processes {
 public:
  bool process_exists(std::uint32_t pid) override;
  std::expected<Requester, int> requester_of(int socket_fd) override;
  void open_application(std::string_view utf8_path, const OpenConfiguration& configuration,
                        const Requester& requester, LaunchCompletion completion) override;
};

// The start of one bundle, on the calling thread; what open_application reports.
//
// The application runs as the requester's uid, never as anyone else: with the primary group the
// user database gives that user (else the requester's gid), that user's supplementary groups
// (none for a user the database does not know) and home; as root only when root asked. Who owns
// the bundle does not matter. A helper that is not root starts applications only for its own
// user, as itself. After taking the requester's identity, the started process must reach the
// very bundle directory that was checked by its path, with the requester's rights: root's
// rights never lend the requester a bundle it could not open itself, and a bundle renamed away
// meanwhile is refused. The bundle path must not end in a symbolic link; the executable is
// resolved inside the bundle and refused if a symbolic link leads out of it. The process is
// detached: a session of its own, standard descriptors on /dev/null and no other descriptor,
// default signal dispositions, an empty signal mask, umask 022, working directory "/", and an
// environment of PATH, HOME, USER, LOGNAME and SHELL followed by the requester's session
// variables (filtered again by is_session_variable; nothing of the helper's own environment). The
// checked file itself is exec'd (through its descriptor); a "#!" script instead runs by its name
// relative to the checked bundle directory, which is then its working directory, since its
// interpreter must open it by a name. It is not the caller's child: an intermediate process that
// exits at once is collected before this returns. Failure descriptions are the system's error
// texts, or a sentence of its own for a refused bundle.
LaunchOutcome launch_application_bundle(const std::string& bundle_path, const Requester& requester);

}  // namespace platform::linux_impl
