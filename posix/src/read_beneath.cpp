#include "posix/read_beneath.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/util/unique_fd.hpp"
#include "posix/open_beneath.hpp"

namespace posix {

std::expected<std::string, int> read_file_beneath(int root_fd, std::string_view path,
                                                  std::size_t max_size) {
  // Non-blocking, so a FIFO put in the file's place cannot hang the reader before the type check.
  common::util::UniqueFd fd(open_beneath(root_fd, path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (!fd) return std::unexpected(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(errno);
  if (!S_ISREG(st.st_mode)) return std::unexpected(EINVAL);
  if (static_cast<std::uint64_t>(st.st_size) > max_size) return std::unexpected(EFBIG);
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(errno);
    if (n == 0) return bytes;
    if (bytes.size() + static_cast<std::size_t>(n) > max_size) return std::unexpected(EFBIG);
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace posix
