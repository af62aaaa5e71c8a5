#pragma once
// Where an item is, pinned by descriptors: what a platform::FileUrl carries on Linux.
//
// A URL made from a path opens the directory that holds the item once, and remembers which inode
// the item's name held then. Every later operation on the URL works relative to that descriptor
// with the one name, never following a link, and refuses an item that is no longer the pinned
// one; URLs below it (children, enumerated items) share their parents' descriptors. So a local
// user who renames directories or puts symbolic links in place after the helper has looked
// cannot redirect what root does next.

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.hpp"
#include "platform/linux/linux_layer.hpp"
#include "posix/file_tree.hpp"

namespace platform::linux_impl {

using posix::SharedFd;

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

inline FileIdentity identity_of(const struct stat& st) {
  return FileIdentity{st.st_dev, st.st_ino};
}

struct FileAnchor {
  // The directory that holds the item (or, with an empty name, the item itself).
  SharedFd directory;
  // The item's name in `directory`; empty when the URL's path ends in ".." or is the root, whose
  // directory is then the item.
  std::string name;
  // The item itself, where it is a directory held open already (a replacement directory).
  SharedFd self;
  // What the name held when the URL was made; none when nothing was there.
  std::optional<FileIdentity> pinned;
  // The errno of opening `directory`; every operation on the item fails with it.
  int error = 0;
  // Whatever must live as long as the URL (the replacement directory the item lies in).
  std::shared_ptr<const void> keep_alive;
};

// A URL's anchor: the one it carries, or one made now from its path (a URL made by hand).
std::shared_ptr<const FileAnchor> anchor_of(const FileUrl& url);

// `path` made absolute against the working directory, trailing separators dropped: the form of a
// URL's path.
std::string absolute_item_path(std::string_view path);

// An absolute path as the directory that holds the item and the item's name in it: trailing
// separators and "." components dropped; the name is empty when the path is the root or ends in
// "..", the directory then being the item itself.
struct ItemPath {
  std::string directory;
  std::string name;
};
ItemPath split_item_path(const std::string& absolute_path);

// Pins the item at an absolute path: its last component after trailing separators and "."
// components are dropped, in its parent directory opened now.
std::shared_ptr<const FileAnchor> anchor_path(const std::string& absolute_path);

// The item's status, without following a link; ESTALE when it is not the pinned item.
std::expected<struct stat, int> stat_item(const FileAnchor& anchor);

// Opens the item (flags | O_NOFOLLOW | O_CLOEXEC) after checking it is the pinned one: -1 with
// errno on failure (ESTALE for another item).
int open_item(const FileAnchor& anchor, int flags);

}  // namespace platform::linux_impl
