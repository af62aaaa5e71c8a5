#pragma once
// Opening a path below a directory without ever following a symbolic link, in any component:
// a bundle that is being checked can be changed by its owner while root reads it.

#include <string>
#include <string_view>

namespace posix {

// openat2(root_fd, path, flags | O_CLOEXEC | O_NOFOLLOW) resolved beneath root_fd with no
// symlinks and no magic links. Returns the descriptor, or -1 with errno set (ELOOP for a
// symlink anywhere on the path, EXDEV for an escape).
int open_beneath(int root_fd, std::string_view path, int flags);

}  // namespace posix
