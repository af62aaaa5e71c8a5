// Reaching an item with a user's rights rather than root's, on macOS: a forked child takes the
// user's identity and looks at the item there; the helper then makes the item's URL and refuses
// it if the path no longer leads to the item the user reached. Between fork and _exit the child
// calls only async-signal-safe functions: the helper is multi-threaded.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <expected>
#include <string>
#include <vector>

#include "platform/darwin/files_darwin.hpp"

namespace platform::darwin {
namespace {

constexpr int REACH_TIMEOUT_MS = 10'000;
// What setgroups accepts here.
constexpr std::size_t MAX_GROUPS = 16;

struct ChildReport {
  int error = 0;
  int may_change_parent = 0;
  uid_t owner = 0;
  uid_t parent_owner = 0;
  dev_t device = 0;
  ino_t inode = 0;
};

std::string absolute_path(std::string_view path) {
  std::string absolute;
  if (!path.starts_with('/')) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) {
      absolute = cwd;
      if (absolute.back() != '/') absolute.push_back('/');
    }
  }
  absolute.append(path);
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

[[noreturn]] void report_and_exit(int fd, const ChildReport& report) {
  (void)::write(fd, &report, sizeof report);
  ::_exit(0);
}

[[noreturn]] void reach_in_child(int fd, const std::string& path, const std::string& parent,
                                 Reach reach, bool change, uid_t uid, gid_t gid,
                                 const std::vector<gid_t>& groups) {
  ChildReport report;
  if (change && (::setgroups(static_cast<int>(groups.size()), groups.data()) != 0 ||
                 ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
    report.error = errno;
    report_and_exit(fd, report);
  }
  struct stat item;
  if (reach == Reach::Open) {
    const int opened = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK);
    if (opened < 0 || ::fstat(opened, &item) != 0) {
      report.error = errno;
      report_and_exit(fd, report);
    }
    ::close(opened);
  } else if (::lstat(path.c_str(), &item) != 0) {
    report.error = errno;
    report_and_exit(fd, report);
  }
  struct stat holder;
  if (::lstat(parent.c_str(), &holder) != 0) {
    report.error = errno;
    report_and_exit(fd, report);
  }
  report.owner = item.st_uid;
  report.parent_owner = holder.st_uid;
  report.device = item.st_dev;
  report.inode = item.st_ino;
  report.may_change_parent = ::access(parent.c_str(), W_OK | X_OK) == 0 ? 1 : 0;
  report_and_exit(fd, report);
}

std::vector<gid_t> groups_for(const Credentials& who) {
  std::vector<gid_t> groups(who.groups.begin(), who.groups.end());
  if (groups.empty()) {
    // The audit token names no groups: the user database's, as a login would have them.
    std::vector<char> storage(16384);
    passwd entry;
    passwd* found = nullptr;
    if (::getpwuid_r(static_cast<uid_t>(who.uid), &entry, storage.data(), storage.size(), &found) ==
            0 &&
        found != nullptr) {
      int count = static_cast<int>(MAX_GROUPS);
      std::vector<int> list(MAX_GROUPS);
      (void)::getgrouplist(entry.pw_name, static_cast<int>(who.gid), list.data(), &count);
      for (int i = 0; i < count && i < static_cast<int>(MAX_GROUPS); ++i) {
        groups.push_back(static_cast<gid_t>(list[static_cast<std::size_t>(i)]));
      }
    }
  }
  if (groups.size() > MAX_GROUPS) groups.resize(MAX_GROUPS);
  return groups;
}

}  // namespace

std::expected<ReachedItem, int> DarwinFiles::reach_as(std::string_view path, const Credentials& who,
                                                      Reach reach) {
  if (path.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
  const std::string absolute = absolute_path(path);
  const auto slash = absolute.rfind('/');
  const std::string name = absolute.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::unexpected(EINVAL);
  const std::string parent = slash == 0 ? "/" : absolute.substr(0, slash);
  const uid_t uid = static_cast<uid_t>(who.uid);
  const gid_t gid = static_cast<gid_t>(who.gid);
  if (uid == static_cast<uid_t>(-1) || gid == static_cast<gid_t>(-1)) {
    return std::unexpected(EINVAL);
  }
  const bool change = ::geteuid() == 0;
  if (!change && uid != ::geteuid()) return std::unexpected(EPERM);
  const std::vector<gid_t> groups = groups_for(who);

  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return std::unexpected(errno);
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    reach_in_child(pipe_fds[1], absolute, parent, reach, change, uid, gid, groups);
  }
  const int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::close(pipe_fds[1]);
  if (child < 0) {
    ::close(pipe_fds[0]);
    return std::unexpected(fork_error);
  }
  ChildReport report;
  pollfd ready{pipe_fds[0], POLLIN, 0};
  int polled;
  do {
    polled = ::poll(&ready, 1, REACH_TIMEOUT_MS);
  } while (polled < 0 && errno == EINTR);
  ssize_t got = -1;
  if (polled > 0) {
    do {
      got = ::read(pipe_fds[0], &report, sizeof report);
    } while (got < 0 && errno == EINTR);
  } else {
    ::kill(child, SIGKILL);
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (polled == 0) return std::unexpected(ETIMEDOUT);
  if (got != static_cast<ssize_t>(sizeof report)) return std::unexpected(EIO);
  if (report.error != 0) return std::unexpected(report.error);

  // The URL is made by path: the item must still be the one the user reached.
  struct stat now;
  if (::lstat(absolute.c_str(), &now) != 0) return std::unexpected(errno);
  if (now.st_dev != report.device || now.st_ino != report.inode) return std::unexpected(ESTALE);
  ReachedItem reached;
  reached.url = file_url(absolute);
  reached.owner = report.owner;
  reached.parent_owner = report.parent_owner;
  reached.may_change_parent = report.may_change_parent != 0;
  return reached;
}

}  // namespace platform::darwin
