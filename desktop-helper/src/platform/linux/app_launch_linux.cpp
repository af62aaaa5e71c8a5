// Starting an application bundle's main executable, detached, as the user who asked for it.
//
// posix_spawn cannot change the user and groups of the child, so this forks. The helper is
// multi-threaded: between fork and exec the child calls only async-signal-safe functions and raw
// system calls, on memory prepared before the fork.

#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "codesign/info_plist.hpp"
#include "common/bundle_layout.hpp"
#include "common/error.hpp"
#include "common/util/unique_fd.hpp"
#include "platform/linux/processes_linux.hpp"
#include "platform/linux/session_environment.hpp"
#include "platform/linux/user_manager_launch.hpp"
#include "posix/eintr.hpp"
#include "posix/open_beneath.hpp"
#include "posix/read_beneath.hpp"

namespace platform::linux_impl {

using codesign::read_plist_strings;
using posix::retry_eintr;
namespace {

using common::util::UniqueFd;

constexpr std::size_t MAX_INFO_PLIST_SIZE = 1 << 20;
using common::bundle_layout::EXECUTABLE_DIRECTORY;
constexpr std::string_view INFO_PLIST = common::bundle_layout::INFO_PLIST_PATH;

LaunchOutcome failure(std::string description) {
  return LaunchOutcome{false, std::move(description)};
}
LaunchOutcome failure_os(int error) { return failure(common::os_error_description(error)); }

// What the started process reports instead of an errno when the bundle path, resolved with the
// requester's rights, no longer leads to the bundle that was checked.
constexpr int REPORT_BUNDLE_MOVED = -1;

// Who the application runs as.
struct Identity {
  bool change = false;  // false: the helper is not root and runs as the requester already
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

// Everything the child needs, made before the fork. `argv` and `envp` point into the storage
// vectors' strings, which a move of the plan leaves where they are.
struct Plan {
  std::string bundle_path;
  UniqueFd bundle;
  dev_t bundle_device = 0;
  ino_t bundle_inode = 0;
  UniqueFd executable;
  bool script = false;  // "#!": its interpreter opens it by name
  std::string relative_executable;
  Identity identity;
  std::vector<std::string> argument_storage;
  std::vector<std::string> environment_storage;
  std::vector<char*> argv;
  std::vector<char*> envp;
  UniqueFd null_device;
  unsigned int descriptor_limit = 0;
};

std::optional<passwd> user_entry(uid_t uid, std::vector<char>& storage) {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  storage.resize(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
  for (;;) {
    passwd entry;
    passwd* found = nullptr;
    int rc = ::getpwuid_r(uid, &entry, storage.data(), storage.size(), &found);
    if (rc == ERANGE && storage.size() < (1u << 20)) {
      storage.resize(storage.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr) return std::nullopt;
    return entry;
  }
}

std::vector<gid_t> supplementary_groups(const passwd& user) {
  int count = 16;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  while (::getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) {
    if (count <= static_cast<int>(groups.size()) || count > 65536) return {};
    groups.resize(static_cast<std::size_t>(count));
  }
  groups.resize(static_cast<std::size_t>(count));
  return groups;
}

bool is_plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// The identity the application gets, or the errno that forbids the start. The requester alone
// decides it: whoever owns the bundle (root, for an installed application or for /tmp) has no
// say, so a launch never runs with more rights than the user who asked has.
std::expected<Identity, int> identity_for(const Requester& requester,
                                          std::vector<char>& user_storage,
                                          std::optional<passwd>& user) {
  // -1 tells the set*id calls to keep the current value, which would be root's.
  if (requester.uid == static_cast<uid_t>(-1) || requester.gid == static_cast<gid_t>(-1)) {
    return std::unexpected(EINVAL);
  }
  Identity identity;
  identity.uid = requester.uid;
  user = user_entry(requester.uid, user_storage);
  identity.gid = user ? user->pw_gid : requester.gid;
  if (::geteuid() != 0) {
    // Without root the helper can start applications only as itself.
    if (requester.uid != ::geteuid()) return std::unexpected(EPERM);
    identity.gid = ::getegid();
    return identity;
  }
  identity.change = true;
  if (user) identity.groups = supplementary_groups(*user);
  return identity;
}

void add_environment(Plan& plan, const std::optional<passwd>& user, uid_t uid,
                     const std::vector<std::string>& session) {
  plan.environment_storage.push_back(
      uid == 0 ? "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
               : "PATH=/usr/local/bin:/usr/bin:/bin");
  const bool home_known = user && user->pw_dir && user->pw_dir[0] != '\0';
  plan.environment_storage.push_back(std::string("HOME=") + (home_known ? user->pw_dir : "/"));
  if (user && user->pw_name && user->pw_name[0] != '\0') {
    plan.environment_storage.push_back(std::string("USER=") + user->pw_name);
    plan.environment_storage.push_back(std::string("LOGNAME=") + user->pw_name);
  }
  if (user && user->pw_shell && user->pw_shell[0] != '\0') {
    plan.environment_storage.push_back(std::string("SHELL=") + user->pw_shell);
  }
  // Filtered again here, whoever made the requester: this is the last point before a process
  // that root starts.
  for (auto& variable : session_variables_of(session)) {
    plan.environment_storage.push_back(std::move(variable));
  }
}

// Resolves the bundle into a plan, or the outcome of a start that is refused before any fork.
std::expected<Plan, LaunchOutcome> make_plan(const std::string& bundle_path,
                                             const Requester& requester) {
  auto refused = [](LaunchOutcome outcome) { return std::unexpected(std::move(outcome)); };
  if (bundle_path.find('\0') != std::string::npos) return refused(failure_os(EINVAL));
  Plan plan;
  // A link would let whoever owns it choose what is started. The directory stays open, so what
  // is checked is what is started.
  plan.bundle.reset(::open(bundle_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!plan.bundle) {
    int error = errno;
    struct stat link;
    if ((error == ELOOP || error == ENOTDIR) && ::lstat(bundle_path.c_str(), &link) == 0 &&
        S_ISLNK(link.st_mode)) {
      return refused(failure("The application path is a symbolic link"));
    }
    return refused(failure_os(error));
  }
  struct stat bundle;
  if (::fstat(plan.bundle.get(), &bundle) != 0) return refused(failure_os(errno));
  plan.bundle_path = bundle_path;
  plan.bundle_device = bundle.st_dev;
  plan.bundle_inode = bundle.st_ino;

  auto plist = posix::read_file_beneath(plan.bundle.get(), INFO_PLIST, MAX_INFO_PLIST_SIZE);
  if (!plist) return refused(failure_os(plist.error()));
  auto strings = read_plist_strings(*plist);
  if (!strings) {
    return refused(failure("The application's Info.plist is malformed: " + strings.error()));
  }
  auto name = strings->find("CFBundleExecutable");
  if (name == strings->end() || !is_plain_name(name->second)) {
    return refused(failure("The application's Info.plist names no executable"));
  }

  plan.relative_executable = std::string(EXECUTABLE_DIRECTORY) + name->second;
  // Symbolic links inside the bundle are allowed (whoever may write the bundle made them); one
  // that leads out of it is not.
  auto opened = posix::open_inside(plan.bundle.get(), plan.relative_executable,
                                   O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!opened) {
    if (opened.error() == EXDEV) {
      return refused(failure("The application's executable lies outside its bundle"));
    }
    return refused(failure_os(opened.error()));
  }
  plan.executable = std::move(*opened);
  struct stat executable;
  if (::fstat(plan.executable.get(), &executable) != 0) return refused(failure_os(errno));
  // What exec would answer for anything but a regular file.
  if (!S_ISREG(executable.st_mode)) return refused(failure_os(EACCES));
  char magic[2] = {0, 0};
  plan.script =
      ::pread(plan.executable.get(), magic, 2, 0) == 2 && magic[0] == '#' && magic[1] == '!';

  std::vector<char> user_storage;
  std::optional<passwd> user;
  auto identity = identity_for(requester, user_storage, user);
  if (!identity) return refused(failure_os(identity.error()));
  plan.identity = std::move(*identity);
  add_environment(plan, user, plan.identity.uid, requester.session_environment);

  plan.argument_storage.push_back(bundle_path + "/" + plan.relative_executable);
  for (auto& a : plan.argument_storage) plan.argv.push_back(a.data());
  plan.argv.push_back(nullptr);
  for (auto& e : plan.environment_storage) plan.envp.push_back(e.data());
  plan.envp.push_back(nullptr);

  plan.null_device.reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!plan.null_device) return refused(failure_os(errno));
  rlimit limit;
  plan.descriptor_limit = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < (1u << 20)
                              ? static_cast<unsigned int>(limit.rlim_cur)
                              : (1u << 20);
  return plan;
}

// --- After the fork: async-signal-safe calls only ---------------------------------------------

[[noreturn]] void report_and_exit(int report_fd, int error) {
  (void)retry_eintr([&] { return ::write(report_fd, &error, sizeof error); });
  ::_exit(127);
}

// Closes every descriptor from `from` on except the sorted `keep` ones (which are close-on-exec).
int close_all_but(unsigned int from, const int* keep, int keep_count, unsigned int limit) {
  unsigned int next = from;
  for (int i = 0; i <= keep_count; ++i) {
    const bool last = i == keep_count;
    const unsigned int stop = last ? ~0u : static_cast<unsigned int>(keep[i]);
    if (stop > next) {
      if (::syscall(SYS_close_range, next, stop - 1, 0) != 0) {
        if (errno != ENOSYS) return errno;
        for (unsigned int fd = next; fd < stop && fd < limit; ++fd) ::close(static_cast<int>(fd));
      }
    }
    if (!last && stop + 1 > next) next = stop + 1;
  }
  return 0;
}

int put_on_standard_descriptor(int fd, int target) {
  if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0 ? 0 : errno;
  return retry_eintr([&] { return ::dup2(fd, target); }) < 0 ? errno : 0;
}

[[noreturn]] void become_application(const Plan& plan, int report_fd) {
  const int report = report_fd;
  if (::setsid() < 0) report_and_exit(report, errno);

  reset_signal_dispositions();

  for (int target = 0; target <= 2; ++target) {
    if (int e = put_on_standard_descriptor(plan.null_device.get(), target); e != 0) {
      report_and_exit(report, e);
    }
  }
  // The runtime's sockets are not close-on-exec; nothing of the helper may reach the
  // application. The report pipe, the executable and the bundle close at exec.
  int keep[3] = {report, plan.executable.get(), plan.bundle.get()};
  for (int i = 0; i < 3; ++i)
    for (int j = i + 1; j < 3; ++j)
      if (keep[j] < keep[i]) {
        int t = keep[i];
        keep[i] = keep[j];
        keep[j] = t;
      }
  if (int e = close_all_but(3, keep, 3, plan.descriptor_limit); e != 0) report_and_exit(report, e);

  ::umask(022);
  if (plan.identity.change) {
    // Raw calls: in a forked child of a threaded process the C library's set*id wrappers would
    // try to reach threads that no longer exist; here there is only this one.
    if (::syscall(SYS_setgroups, plan.identity.groups.size(), plan.identity.groups.data()) != 0) {
      report_and_exit(report, errno);
    }
    gid_t g = plan.identity.gid;
    uid_t u = plan.identity.uid;
    if (::syscall(SYS_setresgid, g, g, g) != 0) report_and_exit(report, errno);
    if (::syscall(SYS_setresuid, u, u, u) != 0) report_and_exit(report, errno);
  }
  // The helper opened the bundle with its own rights. The requester must reach the same
  // directory by the same path with theirs, or root would lend them a way into directories they
  // may not enter, and a bundle swapped in after the checks would be started.
  {
    const int reached =
        ::open(plan.bundle_path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (reached < 0) report_and_exit(report, errno);
    struct stat seen;
    const bool same = ::fstat(reached, &seen) == 0 && seen.st_dev == plan.bundle_device &&
                      seen.st_ino == plan.bundle_inode;
    ::close(reached);
    if (!same) report_and_exit(report, REPORT_BUNDLE_MOVED);
  }

  sigset_t none;
  sigemptyset(&none);
  if (plan.script) {
    // An interpreter opens its script by the name it is given: a name relative to the bundle
    // directory that was checked, which no rename of a parent directory can redirect.
    if (::fchdir(plan.bundle.get()) != 0) report_and_exit(report, errno);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(plan.relative_executable.c_str(), plan.argv.data(), plan.envp.data());
  } else {
    if (::chdir("/") != 0) report_and_exit(report, errno);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::syscall(SYS_execveat, plan.executable.get(), "", plan.argv.data(), plan.envp.data(),
              AT_EMPTY_PATH);
  }
  int error = errno;
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);
  report_and_exit(report, error);
}

// The intermediate process: starts the application and leaves at once, so the application is
// nobody's child here and no zombie of it can stay behind in the helper.
[[noreturn]] void start_detached(const Plan& plan, int report_fd) {
  pid_t child = ::_Fork();
  if (child < 0) report_and_exit(report_fd, errno);
  if (child == 0) become_application(plan, report_fd);
  ::_exit(0);
}

// --- Back in the helper -----------------------------------------------------------------------

LaunchOutcome run_plan(const Plan& plan) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return failure_os(errno);
  UniqueFd report_read(pipe_fds[0]);
  UniqueFd report_write(pipe_fds[1]);

  // No handler of the helper may run in the children before their dispositions are reset.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  pid_t intermediate = ::fork();
  if (intermediate == 0) start_detached(plan, report_write.get());
  int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (intermediate < 0) return failure_os(fork_error);
  report_write.reset();

  // End of file without a report: the exec closed the last write end.
  int reported = 0;
  std::size_t received = 0;
  for (;;) {
    ssize_t n = retry_eintr([&] {
      return ::read(report_read.get(), reinterpret_cast<char*>(&reported) + received,
                    sizeof reported - received);
    });
    if (n <= 0) break;
    received += static_cast<std::size_t>(n);
    if (received == sizeof reported) break;
  }
  int status = 0;
  (void)retry_eintr([&] { return ::waitpid(intermediate, &status, 0); });
  if (received == sizeof reported) {
    if (reported == REPORT_BUNDLE_MOVED) {
      return failure("The application path no longer leads to the checked bundle");
    }
    return failure_os(reported);
  }
  return LaunchOutcome{true, std::nullopt};
}

}  // namespace

LaunchOutcome launch_application_bundle(const std::string& bundle_path,
                                        const Requester& requester) {
  auto made = make_plan(bundle_path, requester);
  if (!made) return made.error();
  const Plan& plan = *made;
  // Where the user's own service manager runs, it starts the application: a child of the helper
  // would live in the helper's sandbox (no network, its own /tmp, no new privileges) and die
  // with it. Only where none runs does the helper start the application itself.
  if (plan.identity.change) {
    const ManagerUser user{plan.identity.uid, plan.identity.gid, plan.identity.groups};
    if (auto started =
            launch_in_user_manager(user, plan.bundle_path + "/" + plan.relative_executable,
                                   plan.argument_storage, plan.environment_storage)) {
      return *started;
    }
  }
  return run_plan(plan);
}

void reset_signal_dispositions() {
  struct sigaction default_action;
  std::memset(&default_action, 0, sizeof default_action);
  default_action.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP) continue;
    // The C library's own signals refuse; exec resets handled signals anyway.
    (void)::sigaction(signal, &default_action, nullptr);
  }
}

}  // namespace platform::linux_impl
