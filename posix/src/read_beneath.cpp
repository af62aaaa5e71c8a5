#include "posix/read_beneath.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "posix/open_beneath.hpp"
#include "posix/read_file.hpp"

namespace posix {

std::expected<std::string, int> read_file_beneath(int root_fd, std::string_view path,
                                                  std::size_t max_size) {
  // Non-blocking, so a FIFO put in the file's place cannot hang the reader before the type check.
  auto fd = open_beneath(root_fd, path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!fd) return std::unexpected(fd.error());
  struct stat st;
  if (::fstat(fd->get(), &st) != 0) return std::unexpected(errno);
  if (!S_ISREG(st.st_mode)) return std::unexpected(EINVAL);
  if (static_cast<std::uint64_t>(st.st_size) > max_size) return std::unexpected(EFBIG);
  // To the end rather than to the size fstat gave: the owner may be changing the file.
  return read_all(fd->get(), max_size);
}

}  // namespace posix
