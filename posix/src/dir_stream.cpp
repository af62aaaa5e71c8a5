#include "posix/dir_stream.hpp"

#include <fcntl.h>

#include <cerrno>
#include <string_view>

namespace posix {

void DirStream::Closer::operator()(DIR* dir) const { ::closedir(dir); }

std::expected<DirStream, int> DirStream::open_at(int parent, const char* name, int flags) {
  common::util::UniqueFd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags));
  if (!fd) return std::unexpected(errno);
  return adopt(std::move(fd));
}

std::expected<DirStream, int> DirStream::adopt(common::util::UniqueFd directory) {
  DIR* dir = ::fdopendir(directory.get());
  if (dir == nullptr) return std::unexpected(errno);
  directory.release();
  return DirStream(dir);
}

int DirStream::fd() const { return ::dirfd(dir_.get()); }

std::expected<const dirent*, int> DirStream::next() {
  for (;;) {
    // readdir answers nullptr both at the end and on failure; only errno tells them apart.
    errno = 0;
    const dirent* entry = ::readdir(dir_.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(errno);
      return nullptr;
    }
    std::string_view name(entry->d_name);
    if (name != "." && name != "..") return entry;
  }
}

}  // namespace posix
