#pragma once
// Whole-tree file operations that never follow a symbolic link and never resolve a path of more
// than one component: every item is reached through its parent directory's descriptor
// (openat with O_NOFOLLOW), so a link inside a tree is only ever read, copied or removed as a
// link, and a directory renamed or swapped for a link by someone else meanwhile cannot redirect
// the operation outside the tree it started in.

#include <sys/types.h>

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/util/unique_fd.hpp"
#include "posix/dir_stream.hpp"

namespace posix {

using SharedFd = std::shared_ptr<const common::util::UniqueFd>;

// Where a tree operation stopped: the error number and the item it was working on.
struct TreeFailure {
  int error = 0;
  std::string path;
};

// Copies the item `from_name` of the directory `from_parent` (a link as a link) and everything
// below it to `to_name` in `to_parent`, which must not exist. `from_path` names the source in
// failures. Kept: types (directories, regular files, symbolic links, FIFOs), permission bits
// without set-user-id and set-group-id (a copy made by root must not hand out its rights), access
// and modification times, user.* attributes and POSIX ACLs. Not kept: owner and group (the copy
// belongs to the caller), hard links (each becomes its own file). Device nodes and sockets are
// refused (ENOTSUP): nothing of the kind belongs in a bundle, and a device node made by root is a
// way into the system. File data is cloned where the file system can share extents, else copied
// in the kernel, else read and written. A large file's writeback is started once its data is in
// (nothing waits for it), so that a flush of the copy afterwards has less left to do.
//
// With a `tap`, the tap sees every byte each regular file of the copy receives, in order, on the
// calling thread, one file at a time: `data` for each chunk once it is written, then `done` with
// the copy's descriptor once its data, mode and times are final. The data is then read once and
// written once (cloned and read back where the file system can share extents), never copied in
// the kernel out of the tap's sight.
//
// A chunk comes in a buffer of COPY_CHUNK_BYTES, its first `size` bytes the data. The tap may
// keep the buffer, leaving another of COPY_CHUNK_BYTES in its place: the bytes then need no copy
// of their own to outlive the call.
inline constexpr std::size_t COPY_CHUNK_BYTES = 256 * 1024;
using CopyChunk = std::unique_ptr<unsigned char[]>;
struct CopyTap {
  std::function<void(CopyChunk& buffer, std::size_t size)> data;
  std::function<void(int copy_fd)> done;
};
std::expected<void, TreeFailure> copy_tree_at(int from_parent, const std::string& from_name,
                                              int to_parent, const std::string& to_name,
                                              const std::string& from_path,
                                              const CopyTap* tap = nullptr);

// Removes the item `name` of the directory `parent` and everything below it, several items at a
// time. `path` names it in failures. Directories are entered only through their parent's
// descriptor; an item that turns out to be a link (or a file) when it is opened is removed as
// such, never followed, so the tree may belong to someone who changes it meanwhile.
std::expected<void, TreeFailure> remove_tree_at(int parent, const std::string& name,
                                                const std::string& path);

// Removes everything in the open directory `directory` (not the directory itself), as
// remove_tree_at does.
std::expected<void, TreeFailure> remove_tree_contents(SharedFd directory, const std::string& path);

// The same for whole paths, whose directories are resolved once (for tools and tests).
std::expected<void, TreeFailure> copy_tree(const std::string& from, const std::string& to);
std::expected<void, TreeFailure> remove_tree(const std::string& path);

// Pre-order walk of the items below a directory, in name order within each directory. Symbolic
// links are returned, never entered; hidden items are included.
class TreeWalker {
 public:
  struct Item {
    std::string path;
    bool is_directory = false;
    bool is_symlink = false;
    bool is_regular = false;
    SharedFd parent;  // the directory the item is in, as it was opened during the walk
    std::string name;
  };

  // Opens the directory `name` of `parent` (not followed if it is a link: ELOOP, or ENOTDIR for
  // any other non-directory; an empty name: `parent` itself); `path` names it in the items.
  static std::expected<TreeWalker, int> open_at(int parent, const std::string& name,
                                                std::string path);

  // The next item, std::nullopt at the end, or the failure to open or read a directory below the
  // top; after a failure the walk goes on with the next item.
  std::expected<std::optional<Item>, TreeFailure> next();

 private:
  struct Child {
    std::string name;
    unsigned char type;  // DT_* (never DT_UNKNOWN)
  };
  struct Level {
    SharedFd fd;
    std::string path;
    std::vector<Child> children;
    std::size_t index = 0;
  };

  static std::expected<Level, int> read_level(common::util::UniqueFd fd, std::string path);

  std::vector<Level> levels_;
  // A directory just returned, entered on the next call.
  bool pending_descent_ = false;
};

}  // namespace posix
