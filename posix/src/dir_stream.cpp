#include "posix/dir_stream.hpp"

#include <fcntl.h>

#include <cerrno>
#include <string_view>

namespace posix {

using common::util::UniqueFd;

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

std::expected<UniqueFd, int> open_child(int parent, const std::string& name, int flags) {
  UniqueFd fd(openat(parent, name.empty() ? "." : name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return std::unexpected(errno);
  return fd;
}

std::expected<std::vector<std::string>, int> list_names(int directory) {
  // Names only: no type is asked of the file system, so an entry removed meanwhile is no failure.
  auto dir = DirStream::open_at(directory, ".", O_NOFOLLOW);
  if (!dir) return std::unexpected(dir.error());
  std::vector<std::string> names;
  for (;;) {
    auto entry = dir->next();
    if (!entry) return std::unexpected(entry.error());
    if (*entry == nullptr) return names;
    names.emplace_back((*entry)->d_name);
  }
}

}  // namespace posix
