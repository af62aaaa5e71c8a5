#include "platform/linux/processes_linux.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/util/unique_fd.hpp"
#include "platform/linux/session_environment.hpp"
#include "posix/proc_status.hpp"
#include "posix/read_file.hpp"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace platform::linux_impl {
namespace {

using common::util::UniqueFd;

// The peer of a socket as a pidfd: the process that connected, whatever its pid names now.
UniqueFd peer_pidfd(int socket_fd, pid_t pid) {
  int pidfd = -1;
  socklen_t length = sizeof pidfd;
  if (::getsockopt(socket_fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0) {
    return UniqueFd(pidfd);
  }
  if (errno != ENOPROTOOPT) return UniqueFd();
  // Kernels before 6.5: a pidfd taken now, which a pid recycled since the connect would fool.
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u)));
}

bool is_alive(int pidfd) { return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0; }

// The session variables the peer was started with, or none when they cannot be read (the peer
// has gone, or the kernel refuses to show them).
std::vector<std::string> session_environment_of_peer(int socket_fd, pid_t pid) {
  if (pid <= 0) return {};
  UniqueFd pidfd = peer_pidfd(socket_fd, pid);
  if (!pidfd) return {};
  const std::string directory = "/proc/" + std::to_string(pid);
  UniqueFd process(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!process) return {};
  // The directory was found by pid; it is the peer's only if the peer still existed after it was
  // opened. From then on it stays bound to that process, whoever gets the pid later.
  if (!is_alive(pidfd.get())) return {};
  UniqueFd environ_fd(::openat(process.get(), "environ", O_RDONLY | O_CLOEXEC));
  if (!environ_fd) return {};
  std::string block;
  auto read = posix::read_chunks(environ_fd.get(), [&](std::string_view chunk) {
    block.append(chunk);
    return block.size() < MAX_ENVIRONMENT_READ;
  });
  if (!read) return {};
  return session_variables_of(block);
}

// The supplementary groups the peer connected with (SO_PEERGROUPS, fixed at connect() as the
// user and group are); none when the kernel cannot tell.
std::vector<std::uint32_t> peer_groups(int socket_fd) {
  std::vector<gid_t> groups(32);
  for (;;) {
    socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(socket_fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
      groups.resize(length / sizeof(gid_t));
      return {groups.begin(), groups.end()};
    }
    // ERANGE: `length` now holds the size the list needs (the kernel caps it at NGROUPS_MAX).
    if (errno != ERANGE || length <= groups.size() * sizeof(gid_t) || length > (1u << 20)) {
      return {};
    }
    groups.resize(length / sizeof(gid_t));
  }
}

// The answer of /proc where pidfd_open cannot give one: a thread-group leader has its own id as
// Tgid; a thread of another process is listed under its id too, with that process's Tgid.
std::optional<bool> proc_lists_process(std::uint32_t pid) {
  auto tgid = posix::proc_status_number(static_cast<pid_t>(pid), "Tgid");
  if (!tgid) {
    // No entry, or the process was collected while its entry was being read.
    if (tgid.error() == ENOENT || tgid.error() == ESRCH) return false;
    return std::nullopt;
  }
  return *tgid == pid;
}

}  // namespace

bool LinuxProcesses::process_exists(std::uint32_t pid) {
  // As a pid_t, 0 is the caller's own process group, 4294967295 is -1 ("every process") and the
  // rest above INT_MAX are negative, i.e. process groups. None may reach a pid call, and no
  // process has such an id.
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return false;
  // The raw call: glibc 2.36 declares pidfd_open without C linkage for C++.
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  // ESRCH: no such process (or collected). ENOENT: a thread id, not a process.
  if (errno == ESRCH || errno == ENOENT) return false;
  // Out of descriptors, a kernel without pidfd_open, or one that refuses it otherwise.
  if (auto listed = proc_lists_process(pid)) return *listed;
  // Without /proc, kill's probe: it counts a thread id as present, which only lengthens a wait.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::expected<Requester, int> LinuxProcesses::requester_of(int socket_fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket_fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return std::unexpected(errno);
  }
  // A socket without a peer answers uid and gid -1, which the set*id calls would take as "keep
  // the current one": root's, in the helper.
  if (credentials.uid == static_cast<uid_t>(-1) || credentials.gid == static_cast<gid_t>(-1)) {
    return std::unexpected(ENOTCONN);
  }
  Requester requester;
  requester.uid = credentials.uid;
  requester.gid = credentials.gid;
  requester.groups = peer_groups(socket_fd);
  requester.session_environment = session_environment_of_peer(socket_fd, credentials.pid);
  return requester;
}

void LinuxProcesses::open_application(std::string_view utf8_path, const OpenConfiguration&,
                                      const Requester& requester, LaunchCompletion completion) {
  auto shared = std::make_shared<LaunchCompletion>(std::move(completion));
  auto run = [path = std::string(utf8_path), requester, shared] {
    LaunchOutcome outcome;
    try {
      // Through the user's own service manager where one runs, else started directly.
      outcome = launch_application_bundle(path, requester);
    } catch (const std::exception& e) {
      outcome = LaunchOutcome{false, std::string(e.what())};
    }
    (*shared)(outcome);
  };
  try {
    std::thread(std::move(run)).detach();
  } catch (const std::system_error& e) {
    // No thread to report from: the outcome is known now, so it is reported now.
    (*shared)(LaunchOutcome{false, common::os_error_description(e.code().value())});
  }
}

}  // namespace platform::linux_impl
