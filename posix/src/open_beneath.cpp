#include "posix/open_beneath.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "posix/eintr.hpp"

namespace posix {
namespace {

std::expected<common::util::UniqueFd, int> open_resolved(int root_fd, std::string_view path,
                                                         std::uint64_t flags,
                                                         std::uint64_t resolve) {
  if (path.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
  std::string terminated(path);
  open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = flags;
  how.resolve = resolve;
  // EAGAIN: a concurrent rename raced the resolution; a few retries, then give up.
  for (int attempt = 0;; ++attempt) {
    long fd = retry_eintr(
        [&] { return ::syscall(SYS_openat2, root_fd, terminated.c_str(), &how, sizeof how); });
    if (fd >= 0) return common::util::UniqueFd(static_cast<int>(fd));
    if (errno != EAGAIN || attempt >= 16) return std::unexpected(errno);
  }
}

}  // namespace

std::expected<common::util::UniqueFd, int> open_beneath(int root_fd, std::string_view path,
                                                        int flags) {
  return open_resolved(root_fd, path, static_cast<std::uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW),
                       RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
}

std::expected<common::util::UniqueFd, int> open_inside(int root_fd, std::string_view path,
                                                       int flags) {
  return open_resolved(root_fd, path, static_cast<std::uint64_t>(flags | O_CLOEXEC),
                       RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
}

}  // namespace posix
