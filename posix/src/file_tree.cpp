#include "posix/file_tree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "posix/dir_stream.hpp"
#include "posix/eintr.hpp"

namespace posix {
namespace {

using common::util::UniqueFd;

std::unexpected<TreeFailure> fail_at(int error, const std::string& path) {
  return std::unexpected<TreeFailure>(TreeFailure{error, path});
}

struct Entry {
  std::string name;
  unsigned char type;
};

// Every entry of an open directory except "." and "..", with its type (asked of the file system
// where the directory listing does not say). Takes the descriptor over.
std::expected<std::vector<Entry>, int> read_entries(UniqueFd fd) {
  auto dir = DirStream::adopt(std::move(fd));
  if (!dir) return std::unexpected(dir.error());
  std::vector<Entry> entries;
  for (;;) {
    auto entry = dir->next();
    if (!entry) return std::unexpected(entry.error());
    if (*entry == nullptr) return entries;
    unsigned char type = (*entry)->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(dir->fd(), (*entry)->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::unexpected(errno);
      }
      type = IFTODT(st.st_mode);
    }
    entries.push_back(Entry{std::string((*entry)->d_name), type});
  }
}

// The entries of the open directory `directory`, read through a descriptor of its own.
std::expected<std::vector<Entry>, int> list_entries(int directory) {
  auto listing = open_child(directory, "", O_RDONLY | O_DIRECTORY);
  if (!listing) return std::unexpected(listing.error());
  return read_entries(std::move(*listing));
}

std::string child_path(const std::string& parent, std::string_view name) {
  std::string path;
  path.reserve(parent.size() + 1 + name.size());
  path.append(parent);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

// Permission bits a copy keeps: never set-user-id or set-group-id, which a copy made as root
// would otherwise carry with root as its owner until ownership is handed over.
constexpr mode_t COPIED_MODE_BITS = 01777;

bool copied_attribute(std::string_view name) {
  // Never security.* or trusted.*: a file capability copied by root out of a tree its owner
  // wrote would hand out privileges.
  return name.starts_with("user.") || name == "system.posix_acl_access" ||
         name == "system.posix_acl_default";
}

constexpr off_t EARLY_WRITEBACK_BYTES = 1 << 20;

bool unsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

struct CopyState {
  bool try_clone = true;
  bool try_copy_range = true;
  CopyChunk buffer;  // COPY_CHUNK_BYTES once made
  const CopyTap* tap = nullptr;
};

std::expected<void, int> copy_attributes(int from, int to) {
  ssize_t length = flistxattr(from, nullptr, 0);
  if (length < 0) return unsupported(errno) ? std::expected<void, int>{} : std::unexpected(errno);
  if (length == 0) return {};
  std::vector<char> names(static_cast<std::size_t>(length));
  for (;;) {
    length = flistxattr(from, names.data(), names.size());
    if (length >= 0) break;
    if (errno != ERANGE) return std::unexpected(errno);
    ssize_t needed = flistxattr(from, nullptr, 0);
    if (needed < 0) return std::unexpected(errno);
    names.resize(static_cast<std::size_t>(needed));
  }
  std::vector<char> value;
  for (std::size_t at = 0; at < static_cast<std::size_t>(length);) {
    const char* name = names.data() + at;
    at += std::strlen(name) + 1;
    if (!copied_attribute(name)) continue;
    ssize_t size = fgetxattr(from, name, nullptr, 0);
    if (size < 0) {
      if (errno == ENODATA) continue;  // removed since the listing
      return std::unexpected(errno);
    }
    value.resize(static_cast<std::size_t>(size));
    size = fgetxattr(from, name, value.data(), value.size());
    if (size < 0) {
      if (errno == ENODATA) continue;
      return std::unexpected(errno);
    }
    if (fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0) != 0 &&
        !unsupported(errno)) {
      return std::unexpected(errno);
    }
  }
  return {};
}

bool fall_back_from_kernel_copy(int error) {
  return error == EXDEV || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS ||
         error == EINVAL || error == ENOTTY || error == EBADF;
}

// Feeds the tap what `fd` holds from its start: the clone a tap cannot see being made.
std::expected<void, int> read_back(CopyState& state, int fd) {
  if (!state.buffer)
    state.buffer = std::make_unique_for_overwrite<unsigned char[]>(COPY_CHUNK_BYTES);
  for (off_t at = 0;;) {
    ssize_t n = retry_eintr([&] { return pread(fd, state.buffer.get(), COPY_CHUNK_BYTES, at); });
    if (n < 0) return std::unexpected(errno);
    if (n == 0) return {};
    state.tap->data(state.buffer, static_cast<std::size_t>(n));
    at += n;
  }
}

std::expected<void, int> copy_data(CopyState& state, int from, int to, off_t size) {
  if (size == 0) return {};
  if (state.try_clone) {
    if (ioctl(to, FICLONE, from) == 0) {
      if (state.tap) return read_back(state, to);
      return {};
    }
    if (!fall_back_from_kernel_copy(errno)) return std::unexpected(errno);
    state.try_clone = false;  // the answer holds for the rest of this tree
  }
  off_t done = 0;
  // A kernel copy would keep the bytes from the tap, and reading the copy back would read
  // everything twice: with a tap, the bytes pass through here once.
  while (state.try_copy_range && !state.tap && done < size) {
    ssize_t n = retry_eintr([&] {
      return copy_file_range(from, nullptr, to, nullptr, static_cast<std::size_t>(size - done), 0);
    });
    if (n > 0) {
      done += n;
      continue;
    }
    if (n == 0) return {};  // the file shrank meanwhile; the signature check will tell
    if (done == 0 && fall_back_from_kernel_copy(errno)) {
      state.try_copy_range = false;
      break;
    }
    return std::unexpected(errno);
  }
  if (done >= size) return {};
  if (!state.buffer)
    state.buffer = std::make_unique_for_overwrite<unsigned char[]>(COPY_CHUNK_BYTES);
  for (;;) {
    ssize_t n = retry_eintr([&] { return read(from, state.buffer.get(), COPY_CHUNK_BYTES); });
    if (n < 0) return std::unexpected(errno);
    if (n == 0) return {};
    for (ssize_t written = 0; written < n;) {
      ssize_t w = retry_eintr([&] {
        return write(to, state.buffer.get() + written, static_cast<std::size_t>(n - written));
      });
      if (w < 0) return std::unexpected(errno);
      written += w;
    }
    // The bytes just written, from the very buffer they were written from.
    if (state.tap) state.tap->data(state.buffer, static_cast<std::size_t>(n));
  }
}

std::expected<void, TreeFailure> copy_entry(CopyState& state, int from_parent,
                                            const char* from_name, int to_parent,
                                            const char* to_name, unsigned char type,
                                            const std::string& from_path);

std::expected<void, TreeFailure> copy_regular(CopyState& state, int from_parent,
                                              const char* from_name, int to_parent,
                                              const char* to_name, const std::string& from_path) {
  UniqueFd from(
      openat(from_parent, from_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!from) return fail_at(errno, from_path);
  struct stat st;
  if (fstat(from.get(), &st) != 0) return fail_at(errno, from_path);
  // The name was a regular file when listed; anything else now was put there behind our back.
  if (!S_ISREG(st.st_mode)) return fail_at(EAGAIN, from_path);
  // Readable too when a tap must see a clone's data.
  const int access = state.tap ? O_RDWR : O_WRONLY;
  UniqueFd to(openat(to_parent, to_name, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!to) return fail_at(errno, from_path);
  if (auto r = copy_data(state, from.get(), to.get(), st.st_size); !r) {
    return fail_at(r.error(), from_path);
  }
  // A large file's writeback starts now, not at the flush before the swap: the device writes
  // while the rest of the tree is copied, and the flush finds less left. Small files are left to
  // the flush, which writes them together rather than as a request each. A hint only: the flush
  // still decides.
  if (st.st_size >= EARLY_WRITEBACK_BYTES) {
    (void)sync_file_range(to.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  if (auto r = copy_attributes(from.get(), to.get()); !r) return fail_at(r.error(), from_path);
  if (fchmod(to.get(), st.st_mode & COPIED_MODE_BITS) != 0) return fail_at(errno, from_path);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (futimens(to.get(), times) != 0) return fail_at(errno, from_path);
  if (state.tap) state.tap->done(to.get());
  return {};
}

std::expected<void, TreeFailure> copy_directory(CopyState& state, int from_parent,
                                                const char* from_name, int to_parent,
                                                const char* to_name, const std::string& from_path) {
  UniqueFd from(openat(from_parent, from_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!from) return fail_at(errno, from_path);
  struct stat st;
  if (fstat(from.get(), &st) != 0) return fail_at(errno, from_path);
  // Private until its contents are complete; the real bits come last.
  if (mkdirat(to_parent, to_name, 0700) != 0) return fail_at(errno, from_path);
  UniqueFd to(openat(to_parent, to_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!to) return fail_at(errno, from_path);

  UniqueFd listing(dup(from.get()));
  if (!listing) return fail_at(errno, from_path);
  auto entries = read_entries(std::move(listing));
  if (!entries) return fail_at(entries.error(), from_path);
  for (const Entry& entry : *entries) {
    auto copied = copy_entry(state, from.get(), entry.name.c_str(), to.get(), entry.name.c_str(),
                             entry.type, child_path(from_path, entry.name));
    if (!copied) return copied;
  }

  if (auto r = copy_attributes(from.get(), to.get()); !r) return fail_at(r.error(), from_path);
  if (fchmod(to.get(), st.st_mode & COPIED_MODE_BITS) != 0) return fail_at(errno, from_path);
  // Last, because creating the entries above moved the modification time.
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (futimens(to.get(), times) != 0) return fail_at(errno, from_path);
  return {};
}

std::expected<void, TreeFailure> copy_symlink(int from_parent, const char* from_name, int to_parent,
                                              const char* to_name, const std::string& from_path) {
  struct stat st;
  if (fstatat(from_parent, from_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return fail_at(errno, from_path);
  }
  if (!S_ISLNK(st.st_mode)) return fail_at(EAGAIN, from_path);
  std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
  for (;;) {
    ssize_t n = readlinkat(from_parent, from_name, target.data(), target.size());
    if (n < 0) return fail_at(errno, from_path);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      break;
    }
    target.resize(target.size() * 2);
  }
  if (symlinkat(target.c_str(), to_parent, to_name) != 0) return fail_at(errno, from_path);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (utimensat(to_parent, to_name, times, AT_SYMLINK_NOFOLLOW) != 0) {
    return fail_at(errno, from_path);
  }
  return {};
}

std::expected<void, TreeFailure> copy_fifo(int from_parent, const char* from_name, int to_parent,
                                           const char* to_name, const std::string& from_path) {
  struct stat st;
  if (fstatat(from_parent, from_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return fail_at(errno, from_path);
  }
  if (!S_ISFIFO(st.st_mode)) return fail_at(EAGAIN, from_path);
  if (mkfifoat(to_parent, to_name, 0600) != 0) return fail_at(errno, from_path);
  // The name was just made in a directory nobody else can enter, so following it is safe.
  if (fchmodat(to_parent, to_name, st.st_mode & COPIED_MODE_BITS, 0) != 0) {
    return fail_at(errno, from_path);
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (utimensat(to_parent, to_name, times, AT_SYMLINK_NOFOLLOW) != 0) {
    return fail_at(errno, from_path);
  }
  return {};
}

std::expected<void, TreeFailure> copy_entry(CopyState& state, int from_parent,
                                            const char* from_name, int to_parent,
                                            const char* to_name, unsigned char type,
                                            const std::string& from_path) {
  switch (type) {
    case DT_REG:
      return copy_regular(state, from_parent, from_name, to_parent, to_name, from_path);
    case DT_DIR:
      return copy_directory(state, from_parent, from_name, to_parent, to_name, from_path);
    case DT_LNK:
      return copy_symlink(from_parent, from_name, to_parent, to_name, from_path);
    case DT_FIFO:
      return copy_fifo(from_parent, from_name, to_parent, to_name, from_path);
    default:
      return fail_at(ENOTSUP, from_path);
  }
}

std::expected<void, TreeFailure> remove_directory(int parent, const std::string& name,
                                                  const std::string& path);

// Removal is parallel because on some file systems each unlink waits for the device (online
// discard makes it milliseconds per file): 5,000 files took 18 s one at a time and under a second
// with eight at once. The work is done in two phases, since a directory can only go once it is
// empty: every directory is emptied of its other items (directories found on the way become new
// work), then the directories are removed, the deepest first. Every directory is held open from
// the moment it is found, and every name is used only relative to its parent's descriptor.
class ParallelRemoval {
 public:
  ParallelRemoval(SharedFd top, std::string path) {
    queue_.push_back(Job{std::move(top), std::move(path), 0, {}});
  }

  std::expected<void, TreeFailure> run() {
    run_workers([this] { empty_directories(); });
    if (failure_) return std::unexpected(*failure_);
    std::sort(directories_.begin(), directories_.end(),
              [](const Directory& a, const Directory& b) { return a.depth > b.depth; });
    for (std::size_t level = 0; level < directories_.size();) {
      std::size_t end = level;
      while (end < directories_.size() && directories_[end].depth == directories_[level].depth) {
        ++end;
      }
      next_ = level;
      end_ = end;
      run_workers([this] { remove_directories(); });
      if (failure_) return std::unexpected(*failure_);
      level = end;
    }
    return {};
  }

 private:
  // A directory below the top, to be removed from its parent once it is empty.
  struct Directory {
    SharedFd parent;
    std::string name;
    std::string path;
    int depth;
  };
  // A directory to list (no names), or names in it to unlink.
  struct Job {
    SharedFd directory;
    std::string path;
    int depth = 0;
    std::vector<std::string> names;
  };
  static constexpr unsigned WORKERS = 8;
  static constexpr std::size_t BATCH = 32;

  template <typename Work>
  void run_workers(Work work) {
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < WORKERS; ++i) {
      try {
        helpers.emplace_back(work);
      } catch (const std::system_error&) {
        break;  // fewer helpers; this thread still does everything that is left
      }
    }
    work();
    for (auto& helper : helpers) helper.join();
  }

  void fail(int error, const std::string& path) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = TreeFailure{error, path};
    changed_.notify_all();
  }

  void empty_directories() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return failure_ || !queue_.empty() || busy_ == 0; });
        if (failure_ || queue_.empty()) return;
        job = std::move(queue_.back());
        queue_.pop_back();
        ++busy_;
      }
      std::vector<Job> found;
      std::vector<Directory> subdirectories;
      if (job.names.empty()) {
        list_directory(job, found, subdirectories);
      } else {
        unlink_names(job, found, subdirectories);
      }
      std::lock_guard lock(mutex_);
      --busy_;
      for (auto& more : found) queue_.push_back(std::move(more));
      for (auto& directory : subdirectories) directories_.push_back(std::move(directory));
      changed_.notify_all();
    }
  }

  // Opens the subdirectory `name` of `job`'s directory as new work. False when it is no
  // directory (any more): the caller removes it as a plain name.
  bool enter(const Job& job, const std::string& name, std::vector<Job>& found,
             std::vector<Directory>& subdirectories) {
    std::string path = child_path(job.path, name);
    auto fd = open_child(job.directory->get(), name, O_RDONLY | O_DIRECTORY);
    if (!fd) {
      if (fd.error() == ENOTDIR || fd.error() == ELOOP) return false;
      if (fd.error() != ENOENT) fail(fd.error(), path);
      return true;
    }
    auto shared = std::make_shared<const UniqueFd>(std::move(*fd));
    found.push_back(Job{shared, path, job.depth + 1, {}});
    subdirectories.push_back(Directory{job.directory, name, std::move(path), job.depth + 1});
    return true;
  }

  // Subdirectories become listing jobs, everything else batches of names to unlink, so that a
  // directory of thousands of files is shared out too.
  void list_directory(const Job& job, std::vector<Job>& found,
                      std::vector<Directory>& subdirectories) {
    auto entries = list_entries(job.directory->get());
    if (!entries) return fail(entries.error(), job.path);
    Job batch{job.directory, job.path, job.depth, {}};
    for (Entry& entry : *entries) {
      if (entry.type == DT_DIR && enter(job, entry.name, found, subdirectories)) continue;
      batch.names.push_back(std::move(entry.name));
      if (batch.names.size() == BATCH) {
        found.push_back(std::move(batch));
        batch = Job{job.directory, job.path, job.depth, {}};
      }
    }
    if (!batch.names.empty()) found.push_back(std::move(batch));
  }

  void unlink_names(const Job& job, std::vector<Job>& found,
                    std::vector<Directory>& subdirectories) {
    for (const auto& name : job.names) {
      if (unlinkat(job.directory->get(), name.c_str(), 0) == 0 || errno == ENOENT) continue;
      // A directory put in the place of a listed file is emptied like the others.
      if (errno == EISDIR && enter(job, name, found, subdirectories)) continue;
      return fail(errno, child_path(job.path, name));
    }
  }

  void remove_directories() {
    for (;;) {
      std::size_t index = next_.fetch_add(1);
      if (index >= end_ || failed()) return;
      const Directory& directory = directories_[index];
      if (auto removed = remove_directory(directory.parent->get(), directory.name, directory.path);
          !removed) {
        return fail(removed.error().error, removed.error().path);
      }
    }
  }

  bool failed() {
    std::lock_guard lock(mutex_);
    return failure_.has_value();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Job> queue_;
  std::vector<Directory> directories_;
  unsigned busy_ = 0;
  std::optional<TreeFailure> failure_;
  std::atomic<std::size_t> next_{0};
  std::size_t end_ = 0;
};

// Removes an emptied directory. Someone who can still write into it (its owner, through a
// descriptor kept open) may have added items meanwhile, or put something else under its name:
// what is there now is removed as what it is, a few times over, then the failure stands.
std::expected<void, TreeFailure> remove_directory(int parent, const std::string& name,
                                                  const std::string& path) {
  constexpr int ATTEMPTS = 3;
  for (int attempt = 0;; ++attempt) {
    if (unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return {};
    if (errno == ENOTDIR) {
      if (unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT) return {};
      return fail_at(errno, path);
    }
    if ((errno != ENOTEMPTY && errno != EEXIST) || attempt + 1 == ATTEMPTS) {
      return fail_at(errno, path);
    }
    auto fd = open_child(parent, name, O_RDONLY | O_DIRECTORY);
    if (!fd) {
      if (fd.error() == ENOENT) return {};
      if (fd.error() != ENOTDIR && fd.error() != ELOOP) return fail_at(fd.error(), path);
      continue;  // no directory any more: removed as a name on the next pass
    }
    auto emptied = ParallelRemoval(std::make_shared<const UniqueFd>(std::move(*fd)), path).run();
    if (!emptied) return emptied;
  }
}

// The directory of a path, opened once, and the path's last component.
struct SplitPath {
  UniqueFd parent;
  std::string name;
};

std::expected<SplitPath, int> split_path(const std::string& path) {
  auto slash = path.rfind('/');
  std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  UniqueFd fd(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return std::unexpected(errno);
  return SplitPath{std::move(fd), std::move(name)};
}

}  // namespace

std::expected<void, TreeFailure> copy_tree_at(int from_parent, const std::string& from_name,
                                              int to_parent, const std::string& to_name,
                                              const std::string& from_path, const CopyTap* tap) {
  struct stat st;
  if (fstatat(from_parent, from_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return fail_at(errno, from_path);
  }
  CopyState state;
  state.tap = tap;
  return copy_entry(state, from_parent, from_name.c_str(), to_parent, to_name.c_str(),
                    IFTODT(st.st_mode), from_path);
}

std::expected<void, TreeFailure> remove_tree_at(int parent, const std::string& name,
                                                const std::string& path) {
  auto fd = open_child(parent, name, O_RDONLY | O_DIRECTORY);
  if (!fd) {
    if (fd.error() != ENOTDIR && fd.error() != ELOOP) return fail_at(fd.error(), path);
    if (unlinkat(parent, name.c_str(), 0) != 0) return fail_at(errno, path);
    return {};
  }
  auto emptied = ParallelRemoval(std::make_shared<const UniqueFd>(std::move(*fd)), path).run();
  if (!emptied) return emptied;
  return remove_directory(parent, name, path);
}

std::expected<void, TreeFailure> remove_tree_contents(SharedFd directory, const std::string& path) {
  return ParallelRemoval(std::move(directory), path).run();
}

std::expected<void, TreeFailure> copy_tree(const std::string& from, const std::string& to) {
  auto source = split_path(from);
  if (!source) return fail_at(source.error(), from);
  auto target = split_path(to);
  if (!target) return fail_at(target.error(), to);
  return copy_tree_at(source->parent.get(), source->name, target->parent.get(), target->name, from);
}

std::expected<void, TreeFailure> remove_tree(const std::string& path) {
  auto split = split_path(path);
  if (!split) return fail_at(split.error(), path);
  return remove_tree_at(split->parent.get(), split->name, path);
}

std::expected<TreeWalker::Level, int> TreeWalker::read_level(UniqueFd fd, std::string path) {
  auto entries = list_entries(fd.get());
  if (!entries) return std::unexpected(entries.error());
  std::sort(entries->begin(), entries->end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  Level level;
  level.fd = std::make_shared<const UniqueFd>(std::move(fd));
  level.path = std::move(path);
  level.children.reserve(entries->size());
  for (auto& entry : *entries) level.children.push_back(Child{std::move(entry.name), entry.type});
  return level;
}

std::expected<TreeWalker, int> TreeWalker::open_at(int parent, const std::string& name,
                                                   std::string path) {
  auto fd = open_child(parent, name, O_RDONLY | O_DIRECTORY);
  if (!fd) return std::unexpected(fd.error());
  auto level = read_level(std::move(*fd), std::move(path));
  if (!level) return std::unexpected(level.error());
  TreeWalker walker;
  walker.levels_.push_back(std::move(*level));
  return walker;
}

std::expected<std::optional<TreeWalker::Item>, TreeFailure> TreeWalker::next() {
  if (pending_descent_) {
    pending_descent_ = false;
    Level& parent = levels_.back();
    const Child& child = parent.children[parent.index - 1];
    std::string path = child_path(parent.path, child.name);
    auto fd = open_child(parent.fd->get(), child.name, O_RDONLY | O_DIRECTORY);
    if (!fd) return fail_at(fd.error(), path);
    auto level = read_level(std::move(*fd), path);
    if (!level) return fail_at(level.error(), path);
    levels_.push_back(std::move(*level));
  }
  while (!levels_.empty()) {
    Level& level = levels_.back();
    if (level.index == level.children.size()) {
      levels_.pop_back();
      continue;
    }
    const Child& child = level.children[level.index++];
    Item item{child_path(level.path, child.name),
              child.type == DT_DIR,
              child.type == DT_LNK,
              child.type == DT_REG,
              level.fd,
              child.name};
    pending_descent_ = item.is_directory;
    return item;
  }
  return std::optional<Item>{};
}

}  // namespace posix
