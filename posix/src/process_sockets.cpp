#include "posix/process_sockets.hpp"

#include <fcntl.h>
#include <linux/kcmp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "common/util/unique_fd.hpp"
#include "posix/dir_stream.hpp"
#include "posix/eintr.hpp"

namespace posix {

using common::util::UniqueFd;

namespace {

// The next entry of a listing whose failure ends it as its end does: an entry that cannot be
// listed is one that is gone.
const dirent* next_entry(DirStream& dir) {
  auto entry = dir.next();
  return entry ? *entry : nullptr;
}

template <typename Number>
bool parse_number(std::string_view text, Number& out, int base = 10) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && ptr == text.data() + text.size();
}

// Whether two tasks share one descriptor table. kcmp refuses (EPERM) only tasks that root with
// CAP_SYS_PTRACE may not inspect, which no local user can make; without that capability the
// descriptors themselves could not be read either. Those count as sharing; any other failure
// (no kcmp in this kernel) as not sharing, so both tables are read.
bool share_descriptor_table(pid_t a, pid_t b) {
  if (::syscall(SYS_kcmp, a, b, KCMP_FILES, 0, 0) == 0) return true;
  return errno == EPERM;
}

// The close-on-exec flag of a descriptor, from its fdinfo ("flags:" in octal, O_CLOEXEC
// included when set). Unknown counts as not set.
bool is_close_on_exec(int task_dir, std::string_view fd_name) {
  std::string path = "fdinfo/" + std::string(fd_name);
  UniqueFd info(::openat(task_dir, path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!info) return false;
  std::array<char, 512> buffer;
  ssize_t n = ::read(info.get(), buffer.data(), buffer.size());
  if (n <= 0) return false;
  std::string_view text(buffer.data(), static_cast<std::size_t>(n));
  auto at = text.find("flags:");
  if (at == std::string_view::npos) return false;
  text.remove_prefix(at + 6);
  while (!text.empty() && (text.front() == '\t' || text.front() == ' ')) text.remove_prefix(1);
  text = text.substr(0, text.find('\n'));
  unsigned long flags = 0;
  return parse_number(text, flags, 8) && (flags & O_CLOEXEC) != 0;
}

// Adds the descriptors of one task's table that refer to `wanted` ("socket:[<inode>]").
void scan_table(int task_dir, std::string_view wanted, std::vector<SocketDescriptor>& found) {
  auto fds = DirStream::open_at(task_dir, "fd");
  if (!fds) return;  // gone, or a zombie without a table
  const int fds_fd = fds->fd();
  std::array<char, 64> target;
  while (const dirent* entry = next_entry(*fds)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    ssize_t n = ::readlinkat(fds_fd, entry->d_name, target.data(), target.size());
    if (n <= 0 || std::string_view(target.data(), static_cast<std::size_t>(n)) != wanted) continue;
    int fd = -1;
    parse_number(std::string_view(entry->d_name), fd);
    found.push_back(SocketDescriptor{fd, is_close_on_exec(task_dir, entry->d_name)});
  }
}

}  // namespace

std::expected<ino_t, int> peer_socket_inode(ino_t socket_inode) {
  UniqueFd netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink) return std::unexpected(errno);
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } query{};
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST;
  query.request.sdiag_family = AF_UNIX;
  query.request.udiag_ino = static_cast<__u32>(socket_inode);
  query.request.udiag_show = UDIAG_SHOW_PEER;
  query.request.udiag_cookie[0] = ~0u;
  query.request.udiag_cookie[1] = ~0u;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(netlink.get(), &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
    return std::unexpected(errno);
  }
  alignas(nlmsghdr) std::array<char, 8192> buffer;
  ssize_t n =
      posix::retry_eintr([&] { return ::recv(netlink.get(), buffer.data(), buffer.size(), 0); });
  if (n < 0) return std::unexpected(errno);
  auto* header = reinterpret_cast<nlmsghdr*>(buffer.data());
  int length = static_cast<int>(n);
  // The kernel's NLMSG_OK compares its unsigned length field with the signed remaining length.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
  for (; NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
    if (header->nlmsg_type == NLMSG_ERROR) {
      auto* error = static_cast<nlmsgerr*>(NLMSG_DATA(header));
      return std::unexpected(error->error < 0 ? -error->error : EINVAL);
    }
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
    auto* message = static_cast<unix_diag_msg*>(NLMSG_DATA(header));
    if (message->udiag_ino != socket_inode) continue;
    int attributes = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *message));
    for (auto* attribute = reinterpret_cast<rtattr*>(message + 1); RTA_OK(attribute, attributes);
         attribute = RTA_NEXT(attribute, attributes)) {
      if (attribute->rta_type == UNIX_DIAG_PEER && RTA_PAYLOAD(attribute) >= sizeof(__u32)) {
        __u32 peer;
        std::memcpy(&peer, RTA_DATA(attribute), sizeof peer);
        return static_cast<ino_t>(peer);
      }
    }
    return std::unexpected(ENOTCONN);
  }
#pragma GCC diagnostic pop
  return std::unexpected(ENOENT);
}

std::expected<std::vector<SocketDescriptor>, int> descriptors_of_socket(pid_t pid, ino_t inode) {
  const std::string task_path = "/proc/" + std::to_string(pid) + "/task";
  auto tasks = DirStream::open_at(AT_FDCWD, task_path.c_str());
  if (!tasks) return std::unexpected(tasks.error());
  const int tasks_fd = tasks->fd();
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  std::vector<SocketDescriptor> found;
  // Threads normally share their leader's table; one made without CLONE_FILES (or a leader that
  // has exited before its threads) keeps a table of its own, which /proc/<pid>/fd does not show.
  std::vector<pid_t> scanned;
  while (const dirent* entry = next_entry(*tasks)) {
    pid_t tid = 0;
    if (!parse_number(std::string_view(entry->d_name), tid)) continue;
    bool known = false;
    for (pid_t other : scanned) {
      if (share_descriptor_table(other, tid)) {
        known = true;
        break;
      }
    }
    if (known) continue;
    UniqueFd task(::openat(tasks_fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!task) continue;
    scan_table(task.get(), wanted, found);
    scanned.push_back(tid);
  }
  return found;
}

}  // namespace posix
