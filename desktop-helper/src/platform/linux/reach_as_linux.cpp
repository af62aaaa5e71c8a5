// Reaching an item with a user's rights rather than root's.
//
// A forked child takes the user's identity (user, primary group, supplementary groups), opens the
// directory that holds the item and the item itself, and hands both descriptors back over a
// socket pair; the helper then works through them and never resolves the path again. Changing
// identity in a child keeps every credential of the helper as it is: set*id on a thread of the
// helper would reach all of them (the C library broadcasts it), and a failure half-way would
// leave a worker with rights nobody meant it to have.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/util/unique_fd.hpp"
#include "platform/linux/file_anchor.hpp"
#include "platform/linux/files_linux.hpp"
#include "posix/eintr.hpp"

namespace platform::linux_impl {
namespace {

using common::util::UniqueFd;
using posix::retry_eintr;

// A look-up that takes longer is given up: a user's FUSE file system may never answer, and the
// helper is not to wait for it.
constexpr std::chrono::milliseconds REACH_TIMEOUT{10'000};

struct ChildReport {
  int error = 0;
  int may_change_parent = 0;
};

// Everything the child needs, prepared before the fork.
struct ReachPlan {
  std::string directory;
  std::string name;
  Reach reach = Reach::Locate;
  bool change_identity = false;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

// --- After the fork: raw system calls only (the helper is multi-threaded) --------------------

[[noreturn]] void send_and_exit(int channel, const ChildReport& report, int directory, int item) {
  msghdr message{};
  iovec part{const_cast<ChildReport*>(&report), sizeof report};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  if (report.error == 0) {
    const int fds[2] = {directory, item};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof fds);
    std::memcpy(CMSG_DATA(header), fds, sizeof fds);
  }
  (void)retry_eintr([&] { return ::sendmsg(channel, &message, MSG_NOSIGNAL); });
  ::_exit(0);
}

[[noreturn]] void reach_in_child(const ReachPlan& plan, int channel) {
  ChildReport report;
  // Nothing of the helper's (its listener, the clients' connections) stays open in a process
  // that runs as the user. Kernels without close_range keep them; the process is not
  // dumpable, so the user cannot take them from it.
  if (channel > 0) (void)::syscall(SYS_close_range, 0u, static_cast<unsigned>(channel) - 1u, 0u);
  (void)::syscall(SYS_close_range, static_cast<unsigned>(channel) + 1u, ~0u, 0u);
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  if (plan.change_identity) {
    if (::syscall(SYS_setgroups, plan.groups.size(), plan.groups.data()) != 0 ||
        ::syscall(SYS_setresgid, plan.gid, plan.gid, plan.gid) != 0 ||
        ::syscall(SYS_setresuid, plan.uid, plan.uid, plan.uid) != 0) {
      report.error = errno;
      send_and_exit(channel, report, -1, -1);
    }
  }
  const int directory = ::open(plan.directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) {
    report.error = errno;
    send_and_exit(channel, report, -1, -1);
  }
  const int flags = plan.reach == Reach::Open
                        ? O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC
                        : O_PATH | O_NOFOLLOW | O_CLOEXEC;
  const int item = ::openat(directory, plan.name.c_str(), flags);
  if (item < 0) {
    report.error = errno;
    send_and_exit(channel, report, -1, -1);
  }
  // As this user, through the descriptor: access-control lists count, and the answer is about
  // the very directory that was opened.
  long access = ::syscall(SYS_faccessat2, directory, "", W_OK | X_OK, AT_EACCESS | AT_EMPTY_PATH);
  if (access != 0 && (errno == ENOSYS || errno == EPERM)) {
    // Kernels before 5.8, or a system-call filter that does not know the call (it answers
    // EPERM): by path, which only a rename in this instant could mislead.
    access = ::syscall(SYS_faccessat, AT_FDCWD, plan.directory.c_str(), W_OK | X_OK);
  }
  report.may_change_parent = access == 0 ? 1 : 0;
  send_and_exit(channel, report, directory, item);
}

// --- Back in the helper ----------------------------------------------------------------------

struct Reached {
  ChildReport report;
  UniqueFd directory;
  UniqueFd item;
};

std::expected<Reached, int> run_child(const ReachPlan& plan) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    return std::unexpected(errno);
  }
  UniqueFd parent_end(pair[0]);
  UniqueFd child_end(pair[1]);

  // No handler of the helper may run in the child.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t child = ::fork();
  if (child == 0) reach_in_child(plan, child_end.get());
  const int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (child < 0) return std::unexpected(fork_error);
  child_end.reset();
  auto collect = [child] {
    int status = 0;
    (void)retry_eintr([&] { return ::waitpid(child, &status, 0); });
  };

  pollfd ready{parent_end.get(), POLLIN, 0};
  const int polled =
      retry_eintr([&] { return ::poll(&ready, 1, static_cast<int>(REACH_TIMEOUT.count())); });
  if (polled <= 0) {
    const int error = polled == 0 ? ETIMEDOUT : errno;
    // Not yet collected, so the pid is still this child's.
    ::kill(child, SIGKILL);
    collect();
    return std::unexpected(error);
  }
  Reached reached;
  msghdr message{};
  iovec part{&reached.report, sizeof reached.report};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got =
      retry_eintr([&] { return ::recvmsg(parent_end.get(), &message, MSG_CMSG_CLOEXEC); });
  const int receive_error = errno;
  collect();
  if (got < 0) return std::unexpected(receive_error);
  // A child that died before reporting: end of file.
  if (got != static_cast<ssize_t>(sizeof reached.report)) return std::unexpected(EIO);
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (header != nullptr && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
      header->cmsg_len == CMSG_LEN(2 * sizeof(int))) {
    int fds[2];
    std::memcpy(fds, CMSG_DATA(header), sizeof fds);
    reached.directory.reset(fds[0]);
    reached.item.reset(fds[1]);
  }
  if (reached.report.error != 0) return std::unexpected(reached.report.error);
  if (!reached.directory || !reached.item) return std::unexpected(EIO);
  return reached;
}

}  // namespace

std::expected<ReachedItem, int> LinuxFiles::reach_as(std::string_view path, const Credentials& who,
                                                     Reach reach) {
  if (path.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
  const std::string absolute = absolute_item_path(path);
  ItemPath split = split_item_path(absolute);
  if (split.name.empty()) return std::unexpected(EINVAL);

  ReachPlan plan;
  plan.directory = std::move(split.directory);
  plan.name = split.name;
  plan.reach = reach;
  plan.uid = static_cast<uid_t>(who.uid);
  plan.gid = static_cast<gid_t>(who.gid);
  // -1 would tell the set*id calls to keep the current value: root's.
  if (plan.uid == static_cast<uid_t>(-1) || plan.gid == static_cast<gid_t>(-1)) {
    return std::unexpected(EINVAL);
  }
  plan.groups.assign(who.groups.begin(), who.groups.end());
  if (::geteuid() == 0) {
    plan.change_identity = true;
  } else if (plan.uid != ::geteuid()) {
    // Without root the helper has no other rights to lend than its own.
    return std::unexpected(EPERM);
  }

  auto reached = run_child(plan);
  if (!reached) return std::unexpected(reached.error());
  struct stat item;
  struct stat parent;
  if (::fstat(reached->item.get(), &item) != 0 || ::fstat(reached->directory.get(), &parent) != 0) {
    return std::unexpected(errno);
  }
  auto anchor = std::make_shared<FileAnchor>();
  anchor->directory = std::make_shared<const UniqueFd>(std::move(reached->directory));
  anchor->name = std::move(split.name);
  anchor->pinned = identity_of(item);
  // The item the user opened stays open as long as the URL: its inode cannot be reused for
  // another item meanwhile, so the pinned identity keeps meaning this one.
  anchor->keep_alive = std::make_shared<const UniqueFd>(std::move(reached->item));

  ReachedItem result;
  result.url = FileUrl{absolute, true, std::move(anchor)};
  result.owner = item.st_uid;
  result.parent_owner = parent.st_uid;
  result.may_change_parent = reached->report.may_change_parent != 0;
  return result;
}

}  // namespace platform::linux_impl
