// The launch through the user's service manager, by systemd-run running as the user.
//
// The helper is root and sandboxed; whatever it forks inherits that sandbox, so where the user's
// own systemd instance runs, it is asked to start the application instead. Asking means talking
// to a socket the user owns, and the user may have put anything there: a server that never
// answers, or one that answers garbage. So root does not talk to it. A child takes the user's
// identity and execs systemd-run, which waits for the start job as the user; root learns its
// exit status, and kills it once the bound has passed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/util/hex.hpp"
#include "common/util/unique_fd.hpp"
#include "platform/linux/user_manager_launch.hpp"
#include "posix/eintr.hpp"

namespace platform::linux_impl {
namespace {

using common::util::UniqueFd;
using posix::retry_eintr;
using Clock = std::chrono::steady_clock;

// What the child reports before exec; nothing at all once systemd-run runs (the pipe closes at
// exec).
struct ChildReport {
  enum Kind : int { NoManager = 1, SetupFailed = 2, ExecFailed = 3 };
  int kind = 0;
  int error = 0;
};

// Everything the child needs, prepared before the fork.
struct Plan {
  ManagerUser user;
  bool change_identity = true;
  std::vector<sockaddr_un> sockets;  // the manager's private socket, then the bus
  std::string tool;
  std::vector<std::string> argument_storage;
  std::vector<std::string> environment_storage;
  std::vector<char*> argv;
  std::vector<char*> envp;
  UniqueFd null_device;
};

std::optional<sockaddr_un> socket_address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// --- After the fork: raw system calls and async-signal-safe functions only --------------------

[[noreturn]] void report_and_exit(int fd, ChildReport::Kind kind, int error) {
  ChildReport report{kind, error};
  (void)retry_eintr([&] { return ::write(fd, &report, sizeof report); });
  ::_exit(127);
}

// Whether anything listens on one of the manager's sockets, as the user finds it: a connect and
// a close, not a byte exchanged.
bool manager_listens(const Plan& plan) {
  for (const auto& address : plan.sockets) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return true;  // cannot tell: let systemd-run find out
    const int connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::close(fd);
    // A full backlog (EAGAIN) still is a manager, a busy one.
    if (connected == 0 || error == EAGAIN || error == EINPROGRESS) return true;
  }
  return false;
}

[[noreturn]] void run_systemd_run(const Plan& plan, int report) {
  reset_signal_dispositions();
  for (int target = 0; target <= 2; ++target) {
    if (retry_eintr([&] { return ::dup2(plan.null_device.get(), target); }) < 0) {
      report_and_exit(report, ChildReport::SetupFailed, errno);
    }
  }
  // Nothing of the helper's reaches a process of the user's; the report pipe closes at exec.
  const unsigned keep = static_cast<unsigned>(report);
  if (keep > 3) (void)::syscall(SYS_close_range, 3u, keep - 1u, 0u);
  (void)::syscall(SYS_close_range, keep + 1u, ~0u, 0u);

  // Raw calls: in a forked child of a threaded process the C library's set*id wrappers would try
  // to reach threads that no longer exist.
  const ManagerUser& user = plan.user;
  if (plan.change_identity &&
      (::syscall(SYS_setgroups, user.groups.size(), user.groups.data()) != 0 ||
       ::syscall(SYS_setresgid, user.gid, user.gid, user.gid) != 0 ||
       ::syscall(SYS_setresuid, user.uid, user.uid, user.uid) != 0)) {
    report_and_exit(report, ChildReport::SetupFailed, errno);
  }
  if (!manager_listens(plan)) report_and_exit(report, ChildReport::NoManager, 0);
  if (::chdir("/") != 0) report_and_exit(report, ChildReport::SetupFailed, errno);

  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(plan.tool.c_str(), plan.argv.data(), plan.envp.data());
  const int error = errno;
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);
  report_and_exit(report, ChildReport::ExecFailed, error);
}

// --- Back in the helper -----------------------------------------------------------------------

LaunchOutcome failure(std::string description) {
  return LaunchOutcome{false, std::move(description)};
}

// Waits until `child` has ended or `deadline` has passed; true when it has ended (not yet
// collected).
bool wait_for_end(pid_t child, Clock::time_point deadline) {
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0u)));
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (pidfd) {
      pollfd ended{pidfd.get(), POLLIN, 0};
      const int polled = ::poll(&ended, 1, left > 0 ? static_cast<int>(left) : 0);
      if (polled > 0) return true;
      if (polled == 0 && Clock::now() >= deadline) return false;
      if (polled == 0) continue;
      if (errno != EINTR) pidfd.reset();  // fall back to asking
      continue;
    }
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == child) {
      return true;
    }
    if (left <= 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left, 20)));
  }
}

std::string seconds_text(std::chrono::milliseconds bound) {
  const auto ms = bound.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    std::string fraction = std::to_string(ms % 1000);
    text += "." + std::string(3 - fraction.size(), '0') + fraction;
    while (text.back() == '0') text.pop_back();
  }
  return text;
}

}  // namespace

std::string transient_unit_name(const std::string& executable_path) {
  std::string name = executable_path.substr(executable_path.rfind('/') + 1);
  std::string kept;
  for (char c : name) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '_' || c == '.';
    if (allowed) kept.push_back(c);
  }
  if (kept.empty()) kept = "application";
  if (kept.size() > 128) kept.resize(128);
  unsigned char random[8] = {};
  if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    // Uniqueness only: the clock will do when the kernel has no randomness to give.
    auto now = Clock::now().time_since_epoch().count();
    std::memcpy(random, &now, sizeof random);
  }
  return "app-kolvaris-" + kept + "-" + common::util::to_hex(random) + ".service";
}

std::optional<LaunchOutcome> launch_in_user_manager_at(
    const UserManagerAccess& access, const ManagerUser& user, const std::string& executable_path,
    const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  // -1 would tell the set*id calls to keep the current value: root's.
  if (user.uid == static_cast<uid_t>(-1) || user.gid == static_cast<gid_t>(-1)) {
    return failure(common::os_error_description(EINVAL));
  }
  const std::string runtime_directory = access.runtime_root + "/" + std::to_string(user.uid);
  Plan plan;
  plan.user = user;
  if (::geteuid() != 0) {
    // Without root the helper can ask only its own user's manager, as itself.
    if (user.uid != ::geteuid()) return failure(common::os_error_description(EPERM));
    plan.change_identity = false;
  }
  plan.tool = access.systemd_run;
  for (const char* name : {"/systemd/private", "/bus"}) {
    if (auto address = socket_address(runtime_directory + name)) plan.sockets.push_back(*address);
  }
  const std::string unit = transient_unit_name(executable_path);
  plan.argument_storage = {access.systemd_run,
                           "--user",
                           "--quiet",
                           "--collect",
                           "--unit=" + unit,
                           "--slice=app.slice",
                           "--description=Application " + executable_path,
                           "--property=Type=exec",
                           "--property=ExitType=cgroup"};
  for (const auto& variable : environment) plan.argument_storage.push_back("--setenv=" + variable);
  plan.argument_storage.push_back("--");
  plan.argument_storage.push_back(executable_path);
  for (std::size_t i = 1; i < argv.size(); ++i) plan.argument_storage.push_back(argv[i]);
  // systemd-run finds the user's manager by these two; nothing else of the helper's reaches it.
  plan.environment_storage = {"PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8",
                              "XDG_RUNTIME_DIR=" + runtime_directory,
                              "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_directory + "/bus"};
  for (auto& a : plan.argument_storage) plan.argv.push_back(a.data());
  plan.argv.push_back(nullptr);
  for (auto& e : plan.environment_storage) plan.envp.push_back(e.data());
  plan.envp.push_back(nullptr);
  plan.null_device.reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!plan.null_device) return failure(common::os_error_description(errno));

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return failure(common::os_error_description(errno));
  UniqueFd report_read(pipe_fds[0]);
  UniqueFd report_write(pipe_fds[1]);

  const auto deadline = Clock::now() + access.bound;
  // No handler of the helper may run in the child before its dispositions are reset.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t child = ::fork();
  if (child == 0) run_systemd_run(plan, report_write.get());
  const int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (child < 0) return failure(common::os_error_description(fork_error));
  report_write.reset();

  const bool ended = wait_for_end(child, deadline);
  // Not collected yet, so the pid is still this child's.
  if (!ended) ::kill(child, SIGKILL);
  int status = 0;
  (void)retry_eintr([&] { return ::waitpid(child, &status, 0); });
  if (!ended) {
    return failure("The user's service manager did not start " + unit + " within " +
                   seconds_text(access.bound) + " seconds");
  }

  ChildReport report;
  const ssize_t got =
      retry_eintr([&] { return ::read(report_read.get(), &report, sizeof report); });
  if (got == static_cast<ssize_t>(sizeof report)) {
    switch (report.kind) {
      case ChildReport::NoManager:
        return std::nullopt;
      case ChildReport::ExecFailed:
        return failure("Could not run " + access.systemd_run + ": " +
                       common::os_error_description(report.error));
      default:
        return failure("Could not take the identity of user " + std::to_string(user.uid) + ": " +
                       common::os_error_description(report.error));
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return LaunchOutcome{true, std::nullopt};
  if (WIFSIGNALED(status)) {
    return failure("The user's service manager did not start " + unit +
                   " (systemd-run ended by signal " + std::to_string(WTERMSIG(status)) + ")");
  }
  return failure("The user's service manager did not start " + unit +
                 " (systemd-run exited with status " + std::to_string(WEXITSTATUS(status)) + ")");
}

std::optional<LaunchOutcome> launch_in_user_manager(const ManagerUser& user,
                                                    const std::string& executable_path,
                                                    const std::vector<std::string>& argv,
                                                    const std::vector<std::string>& environment) {
  return launch_in_user_manager_at(UserManagerAccess{}, user, executable_path, argv, environment);
}

}  // namespace platform::linux_impl
