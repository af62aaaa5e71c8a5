#pragma once
// Reading a small file of a directory tree that someone else may be changing meanwhile.

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace posix {

// The contents of the regular file at `path` below the directory `root_fd`, reached without
// following a symbolic link in any component (open_beneath). Errors (errno): EINVAL for anything
// but a regular file, EFBIG for one larger than `max_size` bytes (also when it grows while read).
std::expected<std::string, int> read_file_beneath(int root_fd, std::string_view path,
                                                  std::size_t max_size);

}  // namespace posix
