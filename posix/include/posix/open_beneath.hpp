#pragma once
// Opening a path below a directory without ever following a symbolic link, in any component:
// a bundle that is being checked can be changed by its owner while root reads it.

#include <expected>
#include <string_view>

#include "common/util/unique_fd.hpp"

namespace posix {

// openat2(root_fd, path, flags | O_CLOEXEC | O_NOFOLLOW) resolved beneath root_fd with no
// symlinks and no magic links. Error: errno (ELOOP for a symlink anywhere on the path, EXDEV for
// an escape, EINVAL for a path with a NUL byte).
std::expected<common::util::UniqueFd, int> open_beneath(int root_fd, std::string_view path,
                                                        int flags);

// The same, but symbolic links are followed as long as they lead to something beneath root_fd
// (EXDEV for one that leads out); magic links never are. For trees whose owner may link inside
// them, where only an escape matters.
std::expected<common::util::UniqueFd, int> open_inside(int root_fd, std::string_view path,
                                                       int flags);

}  // namespace posix
