#include "platform/linux/processes_linux.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "common/error.hpp"
#include "common/util/unique_fd.hpp"

namespace platform::linux_impl {
namespace {

using common::util::UniqueFd;

// The answer of /proc where pidfd_open cannot give one: a thread-group leader has its own id as
// Tgid; a thread of another process is listed under its id too, with that process's Tgid.
std::optional<bool> proc_lists_process(std::uint32_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT || errno == ESRCH) return false;
    return std::nullopt;
  }
  char buffer[4096];
  std::string status;
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // The process was collected while its entry was being read.
      if (errno == ESRCH) return false;
      return std::nullopt;
    }
    if (n == 0) break;
    status.append(buffer, static_cast<std::size_t>(n));
  }
  auto at = status.find("\nTgid:");
  if (at == std::string::npos) return std::nullopt;
  std::size_t i = at + 6;
  while (i < status.size() && (status[i] == '\t' || status[i] == ' ')) ++i;
  std::uint64_t tgid = 0;
  bool digits = false;
  while (i < status.size() && status[i] >= '0' && status[i] <= '9' && tgid <= UINT32_MAX) {
    tgid = tgid * 10 + static_cast<std::uint64_t>(status[i++] - '0');
    digits = true;
  }
  if (!digits) return std::nullopt;
  return tgid == pid;
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

void LinuxProcesses::open_application(std::string_view utf8_path, const OpenConfiguration&,
                                      LaunchCompletion completion) {
  auto shared = std::make_shared<LaunchCompletion>(std::move(completion));
  auto run = [path = std::string(utf8_path), shared] {
    LaunchOutcome outcome;
    try {
      outcome = launch_application_bundle(path);
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
