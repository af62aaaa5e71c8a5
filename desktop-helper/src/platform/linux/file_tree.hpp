#pragma once
// Whole-tree file operations that never follow a symbolic link: every item below the top is
// reached through its parent directory's descriptor (openat with O_NOFOLLOW), so a link inside a
// tree is only ever read, copied or removed as a link.

#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "common/util/unique_fd.hpp"

namespace platform::linux_impl {

// Where a tree operation stopped: the error number and the item it was working on.
struct TreeFailure {
  int error = 0;
  std::string path;
};

// Copies the item at `from` (a link as a link) and everything below it to `to`, whose parent must
// exist and which must not. Kept: types (directories, regular files, symbolic links, FIFOs),
// permission bits, access and modification times, user.* attributes and POSIX ACLs. Not kept:
// owner and group (the copy belongs to the caller), hard links (each becomes its own file).
// Device nodes and sockets are refused (ENOTSUP): nothing of the kind belongs in a bundle, and a
// device node made by root is a way into the system. File data is cloned where the file system
// can share extents, else copied in the kernel, else read and written.
std::expected<void, TreeFailure> copy_tree(const std::string& from, const std::string& to);

// Removes the item at `path` and everything below it, several items at a time. Links are removed,
// never followed; directories below the top are opened by path (without following the last
// component), so the tree must lie where nobody else can rename its directories, as in a
// replacement directory.
std::expected<void, TreeFailure> remove_tree(const std::string& path);

// Pre-order walk of the items below a directory, in name order within each directory. Symbolic
// links are returned, never entered; hidden items are included.
class TreeWalker {
 public:
  struct Item {
    std::string path;
    bool is_directory = false;
    bool is_symlink = false;
  };

  // Opens the directory at `path` (not followed if it is a link: ELOOP, or ENOTDIR for any other
  // non-directory).
  static std::expected<TreeWalker, int> open(const std::string& path);

  // The next item, std::nullopt at the end, or the failure to open or read a directory below the
  // top; after a failure the walk goes on with the next item.
  std::expected<std::optional<Item>, TreeFailure> next();

 private:
  struct Child {
    std::string name;
    unsigned char type;  // DT_* (never DT_UNKNOWN)
  };
  struct Level {
    common::util::UniqueFd fd;
    std::string path;
    std::vector<Child> children;
    std::size_t index = 0;
  };

  static std::expected<Level, int> read_level(common::util::UniqueFd fd, std::string path);

  std::vector<Level> levels_;
  // A directory just returned, entered on the next call.
  bool pending_descent_ = false;
};

}  // namespace platform::linux_impl
