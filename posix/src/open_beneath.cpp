#include "posix/open_beneath.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace posix {

int open_beneath(int root_fd, std::string_view path, int flags) {
  if (path.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return -1;
  }
  std::string terminated(path);
  open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  // EAGAIN: a concurrent rename raced the resolution; a few retries, then give up.
  for (int attempt = 0;; ++attempt) {
    long fd = ::syscall(SYS_openat2, root_fd, terminated.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == EINTR) continue;
    if (errno != EAGAIN || attempt >= 16) return -1;
  }
}

}  // namespace posix
