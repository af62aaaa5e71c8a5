#include "posix/read_file.hpp"

#include <fcntl.h>

#include "common/util/unique_fd.hpp"

namespace posix {

std::expected<std::string, int> read_all(int fd, std::size_t max_size) {
  std::string bytes;
  bool too_large = false;
  auto read = read_chunks(fd, [&](std::string_view chunk) {
    too_large = chunk.size() > max_size - bytes.size();
    if (!too_large) bytes.append(chunk);
    return !too_large;
  });
  if (!read) return std::unexpected(read.error());
  if (too_large) return std::unexpected(EFBIG);
  return bytes;
}

std::expected<std::string, int> read_file(const std::string& path, std::size_t max_size) {
  common::util::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(errno);
  return read_all(fd.get(), max_size);
}

}  // namespace posix
