#include "platform/linux/file_anchor.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform::linux_impl {

using posix::open_child;

using common::util::UniqueFd;

std::string absolute_item_path(std::string_view path) {
  std::string absolute;
  if (!path.starts_with('/')) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) {
      absolute = cwd;
      if (absolute.back() != '/') absolute.push_back('/');
    }
  }
  absolute.append(path);
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

ItemPath split_item_path(const std::string& absolute_path) {
  std::string path = absolute_path;
  // "App.app/", "App.app//" and "App.app/." all name App.app, whose parent is the anchor.
  for (;;) {
    if (path.size() > 1 && path.back() == '/') {
      path.pop_back();
    } else if (path.size() > 2 && path.ends_with("/.")) {
      path.resize(path.size() - 2);
    } else {
      break;
    }
  }
  ItemPath split;
  auto slash = path.rfind('/');
  std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  if (path == "/" || last == ".." || last == "." || slash == std::string::npos) {
    split.directory = path;  // the item is the directory itself: it has no name of its own here
  } else {
    split.directory = slash == 0 ? "/" : path.substr(0, slash);
    split.name = std::move(last);
  }
  return split;
}

std::shared_ptr<const FileAnchor> anchor_path(const std::string& absolute_path) {
  auto anchor = std::make_shared<FileAnchor>();
  ItemPath split = split_item_path(absolute_path);
  const std::string& directory = split.directory;
  anchor->name = std::move(split.name);
  UniqueFd fd(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    anchor->error = errno;
    return anchor;
  }
  anchor->directory = std::make_shared<const UniqueFd>(std::move(fd));
  struct stat st;
  if (::fstatat(anchor->directory->get(), anchor->name.c_str(), &st,
                AT_SYMLINK_NOFOLLOW | (anchor->name.empty() ? AT_EMPTY_PATH : 0)) == 0) {
    anchor->pinned = identity_of(st);
  }
  return anchor;
}

std::shared_ptr<const FileAnchor> anchor_of(const FileUrl& url) {
  if (url.native) return std::static_pointer_cast<const FileAnchor>(url.native);
  return anchor_path(url.path);
}

std::expected<struct stat, int> stat_item(const FileAnchor& anchor) {
  if (anchor.error != 0) return std::unexpected(anchor.error);
  struct stat st;
  if (::fstatat(anchor.directory->get(), anchor.name.c_str(), &st,
                AT_SYMLINK_NOFOLLOW | (anchor.name.empty() ? AT_EMPTY_PATH : 0)) != 0) {
    return std::unexpected(errno);
  }
  if (anchor.pinned && identity_of(st) != *anchor.pinned) return std::unexpected(ESTALE);
  return st;
}

int open_item(const FileAnchor& anchor, int flags) {
  if (anchor.error != 0) {
    errno = anchor.error;
    return -1;
  }
  auto opened = open_child(anchor.directory->get(), anchor.name, flags);
  if (!opened) {
    errno = opened.error();
    return -1;
  }
  UniqueFd fd = std::move(*opened);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return -1;
  if (anchor.pinned && identity_of(st) != *anchor.pinned) {
    errno = ESTALE;
    return -1;
  }
  return fd.release();
}

}  // namespace platform::linux_impl
