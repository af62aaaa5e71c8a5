#include "platform/linux/files_linux.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "codesign/info_plist.hpp"
#include "codesign/mapped_code.hpp"
#include "codesign/sha256.hpp"
#include "codesign/written_digests.hpp"
#include "common/bundle_layout.hpp"
#include "common/error.hpp"
#include "common/util/hex.hpp"
#include "common/util/quoted.hpp"
#include "common/util/unique_fd.hpp"
#include "platform/linux/file_anchor.hpp"
#include "posix/file_tree.hpp"
#include "posix/read_beneath.hpp"

namespace platform::linux_impl {

using codesign::read_plist_strings;
using posix::copy_tree_at;
using posix::list_names;
using posix::open_child;
using posix::read_file_beneath;
using posix::remove_tree_at;
using posix::remove_tree_contents;
using posix::SharedFd;
using posix::TreeWalker;
namespace {

using common::util::quoted;
using common::util::UniqueFd;

constexpr std::size_t MAX_INFO_PLIST_SIZE = 1 << 20;

// What went wrong, in words: ESTALE is how this file reports an item swapped under its feet.
std::string describe(int error) {
  if (error == ESTALE) return "it was replaced by another item meanwhile";
  return common::Error::os(error).text();
}

std::unexpected<FoundationFailure> foundation_failure(std::string description, int error) {
  return std::unexpected<FoundationFailure>(FoundationFailure{std::move(description), error});
}

// Hashes what a copy writes on a thread of its own, so that hashing runs beside the kernel's
// work of creating and filling the files instead of after it. The copy thread hands over each
// chunk's buffer (taking a spare one in its place) and, at each file's end, the file's key; the
// digest is recorded under that key as soon as the hashing thread reaches it. Without a thread
// of its own (none could be made) it hashes on the caller's thread, as the copy goes.
class BackgroundHasher {
 public:
  BackgroundHasher() {
    try {
      worker_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
  }
  ~BackgroundHasher() { finish(); }
  BackgroundHasher(const BackgroundHasher&) = delete;
  BackgroundHasher& operator=(const BackgroundHasher&) = delete;

  void data(posix::CopyChunk& buffer, std::size_t size) {
    if (!worker_.joinable()) return hashing_.update(std::span(buffer.get(), size));
    posix::CopyChunk replacement;
    {
      std::unique_lock lock(mutex_);
      room_.wait(lock, [this] { return queue_.size() < MAX_QUEUED; });
      queue_.push_back(Piece{std::move(buffer), size, false, std::nullopt});
      work_.notify_one();
      if (!spare_.empty()) {
        replacement = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    // At most MAX_QUEUED + 2 buffers ever exist: the queued ones, the one being hashed and the
    // copy's own.
    buffer = replacement ? std::move(replacement)
                         : std::make_unique_for_overwrite<unsigned char[]>(posix::COPY_CHUNK_BYTES);
  }

  // The end of a file; without a key (it could not be read) its digest is dropped.
  void done(std::optional<codesign::FileKey> key) {
    if (!worker_.joinable()) return record(hashing_, key);
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return queue_.size() < MAX_QUEUED; });
    queue_.push_back(Piece{{}, 0, true, key});
    work_.notify_one();
  }

  // Returns once every file handed over so far has its digest recorded.
  void finish() {
    if (!worker_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
      work_.notify_one();
    }
    worker_.join();
  }

 private:
  struct Piece {
    posix::CopyChunk bytes;
    std::size_t size = 0;
    bool end = false;
    std::optional<codesign::FileKey> key;
  };
  // Enough for the two threads to overlap; more only costs memory (a chunk is up to 256 KiB).
  static constexpr std::size_t MAX_QUEUED = 4;

  static void record(codesign::Sha256Stream& hashing, const std::optional<codesign::FileKey>& key) {
    auto digest = std::exchange(hashing, codesign::Sha256Stream()).finish();
    if (digest && key) codesign::written_digests().record(*key, *digest);
  }

  void run() {
    for (;;) {
      Piece piece;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [this] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) return;
        piece = std::move(queue_.front());
        queue_.pop_front();
      }
      if (piece.end) {
        record(hashing_, piece.key);
      } else {
        hashing_.update(std::span(piece.bytes.get(), piece.size));
      }
      std::lock_guard lock(mutex_);
      if (!piece.end) spare_.push_back(std::move(piece.bytes));
      room_.notify_one();
    }
  }

  codesign::Sha256Stream hashing_;  // the hashing thread's own once it runs
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::deque<Piece> queue_;
  std::vector<posix::CopyChunk> spare_;
  bool closing_ = false;
  std::thread worker_;  // last: started once everything it uses exists
};

platform::CFError cf_error(int error, const std::string& path) {
  return platform::CFError{error, quoted(path) + ": " + describe(error)};
}

// Characters a file URL's path keeps as they are; everything else is percent-encoded.
bool url_path_character(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(c)) !=
         std::string_view::npos;
}

std::string child_path(const std::string& parent, std::string_view name) {
  std::string path = parent;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

FileUrl anchored_url(std::string path, bool is_directory, std::shared_ptr<FileAnchor> anchor) {
  return FileUrl{std::move(path), is_directory, std::move(anchor)};
}

// A replacement directory of ours, held open and locked for as long as any URL made from it
// lives. The lock tells a later request that a directory of this name is not a leftover of a
// killed helper but in use; the marker file (REPLACEMENT_MARKER_NAME) tells it the directory is
// one of ours and not a root-owned directory a user renamed to look like one. Its destruction
// removes it with everything still in it: on Linux nothing else would.
class ReplacementDirectory {
 public:
  ReplacementDirectory(SharedFd parent, std::string name, SharedFd self, FileIdentity identity,
                       std::string path)
      : parent_(std::move(parent)),
        name_(std::move(name)),
        self_(std::move(self)),
        identity_(identity),
        path_(std::move(path)) {}
  ReplacementDirectory(const ReplacementDirectory&) = delete;
  ReplacementDirectory& operator=(const ReplacementDirectory&) = delete;

  ~ReplacementDirectory() {
    (void)remove_tree_contents(self_, path_);
    // The parent is the destination's directory, which a user may own: its name is removed only
    // while it still is this directory.
    struct stat st;
    if (::fstatat(parent_->get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        identity_of(st) == identity_) {
      (void)::unlinkat(parent_->get(), name_.c_str(), AT_REMOVEDIR);
    }
  }

  const SharedFd& self() const { return self_; }

 private:
  SharedFd parent_;
  std::string name_;
  SharedFd self_;
  FileIdentity identity_;
  std::string path_;
};

// What the marker of the directory `st` holds: the directory's own identity.
std::string marker_text(const struct stat& st) {
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "\n";
}

// Writes the marker into the replacement directory `fd` (ours, 0700, locked). Error: errno.
std::expected<void, int> write_marker(int fd, const struct stat& st) {
  UniqueFd marker(::openat(fd, REPLACEMENT_MARKER_NAME,
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0400));
  if (!marker) return std::unexpected(errno);
  const std::string text = marker_text(st);
  const ssize_t written = ::write(marker.get(), text.data(), text.size());
  if (written < 0) return std::unexpected(errno);
  if (static_cast<std::size_t>(written) != text.size()) return std::unexpected(EIO);
  return {};
}

// Owned by us, mode 0700, and holding our marker: a regular file of ours, read-only, with one
// link, that names this very directory. A name alone proves nothing: a user may rename into
// place any root-owned directory found in a directory the user can write.
bool is_our_replacement_directory(int fd, const struct stat& st) {
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0700) {
    return false;
  }
  auto marker = open_child(fd, REPLACEMENT_MARKER_NAME, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  struct stat mst;
  if (!marker || ::fstat(marker->get(), &mst) != 0 || !S_ISREG(mst.st_mode) ||
      mst.st_uid != ::geteuid() || (mst.st_mode & 07777) != 0400 || mst.st_nlink != 1) {
    return false;
  }
  const std::string expected = marker_text(st);
  char text[64];
  const ssize_t got = ::pread(marker->get(), text, sizeof text, 0);
  return got == static_cast<ssize_t>(expected.size()) &&
         std::string_view(text, static_cast<std::size_t>(got)) == expected;
}

// Removes what a helper that was killed mid-replacement left in `parent`: our replacement
// directories that nobody holds locked.
void remove_leftovers(int parent, const std::string& parent_path) {
  auto names = list_names(parent);
  if (!names) return;
  for (const auto& name : *names) {
    if (!name.starts_with(ITEM_REPLACEMENT_PREFIX)) continue;
    auto fd = open_child(parent, name, O_RDONLY | O_DIRECTORY);
    struct stat st;
    if (!fd || ::fstat(fd->get(), &st) != 0 || !is_our_replacement_directory(fd->get(), st)) {
      continue;
    }
    if (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0) continue;  // in use by a running replacement
    // Held (and locked) by the object until it is gone, which removes it.
    ReplacementDirectory leftover(
        std::make_shared<const UniqueFd>(UniqueFd(::fcntl(parent, F_DUPFD_CLOEXEC, 0))), name,
        std::make_shared<const UniqueFd>(std::move(*fd)), identity_of(st),
        child_path(parent_path, name));
  }
}

std::string random_suffix() {
  unsigned char bytes[6] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    return std::string(2 * sizeof bytes, '0');
  }
  return common::util::to_hex(bytes);
}

class LinuxEnumerator final : public DirectoryEnumerator {
 public:
  LinuxEnumerator(std::shared_ptr<const FileAnchor> top, std::string path)
      : top_(std::move(top)), path_(std::move(path)) {}

  EnumeratorStep next() override {
    if (!walker_) {
      if (finished_) return EnumeratorStep{};
      finished_ = true;
      auto opened = open();
      if (!opened) {
        // A link or a file at the top has no contents to walk.
        if (opened.error() == ENOTDIR || opened.error() == ELOOP) return EnumeratorStep{};
        return error_step(opened.error(), path_);
      }
      walker_.emplace(std::move(*opened));
    }
    auto item = walker_->next();
    if (!item) return error_step(item.error().error, item.error().path);
    if (!*item) return EnumeratorStep{};
    auto anchor = std::make_shared<FileAnchor>();
    anchor->directory = std::move((*item)->parent);
    anchor->name = std::move((*item)->name);
    anchor->keep_alive = top_->keep_alive;
    EnumeratorStep step;
    step.kind = EnumeratorStep::Kind::Success;
    step.url = anchored_url(std::move((*item)->path), (*item)->is_directory, std::move(anchor));
    return step;
  }

 private:
  std::expected<TreeWalker, int> open() {
    UniqueFd top(open_item(*top_, O_RDONLY | O_DIRECTORY));
    if (!top) return std::unexpected(errno);
    return TreeWalker::open_at(top.get(), "", path_);
  }

  static EnumeratorStep error_step(int error, const std::string& path) {
    EnumeratorStep step;
    step.kind = EnumeratorStep::Kind::Error;
    step.error = cf_error(error, path);
    return step;
  }

  std::shared_ptr<const FileAnchor> top_;
  std::string path_;
  std::optional<TreeWalker> walker_;
  bool finished_ = false;
};

// Removes the quarantine attribute of one regular file or directory, the only items that can
// carry it (links cannot carry user attributes on Linux, FIFOs may not), so nothing else is
// opened; an item without it answers ENODATA, as good as removed.
void remove_quarantine(int parent, const std::string& name) {
  auto fd = open_child(parent, name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (fd) (void)::fremovexattr(fd->get(), QUARANTINE_XATTR);
}

// Starts writing the file system's dirty data to the device on a thread of its own, so that the
// device writes the new tree while its copy is checked and its owner and attributes are set; the
// flush before the swap then finds little left. A hint only: the flush before the swap is the one
// that counts, and nothing waits for this one. The thread shares the directory already open.
void start_early_flush(SharedFd directory) {
  if (!directory || !*directory) return;
  try {
    std::thread([directory = std::move(directory)] { (void)::syncfs(directory->get()); }).detach();
  } catch (const std::system_error&) {
  }
}

}  // namespace

FileUrl LinuxFiles::file_url(std::string_view path) {
  std::string absolute = absolute_item_path(path);
  // The first and only time the path is resolved: everything after goes through the anchor.
  auto anchor = anchor_path(absolute);
  return FileUrl{std::move(absolute), true, std::const_pointer_cast<FileAnchor>(anchor)};
}

std::optional<std::string> LinuxFiles::url_string(const FileUrl& url) {
  std::string text = "file://";
  for (unsigned char c : url.path) {
    if (url_path_character(c)) {
      text.push_back(static_cast<char>(c));
    } else {
      text.push_back('%');
      common::util::append_hex_byte(text, c, common::util::HexCase::Upper);
    }
  }
  if (url.is_directory && !text.ends_with('/')) text.push_back('/');
  return text;
}

std::optional<std::string> LinuxFiles::url_path(const FileUrl& url) { return url.path; }

std::optional<FileUrl> LinuxFiles::append_path_component(const FileUrl& directory,
                                                         std::string_view name) {
  std::string path = directory.path;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) {
    return FileUrl{std::move(path), false, nullptr};
  }
  auto parent = anchor_of(directory);
  auto anchor = std::make_shared<FileAnchor>();
  anchor->name = std::string(name);
  anchor->keep_alive = parent->keep_alive;
  if (parent->self) {
    anchor->directory = parent->self;
  } else {
    UniqueFd fd(open_item(*parent, O_PATH | O_DIRECTORY));
    if (fd) {
      anchor->directory = std::make_shared<const UniqueFd>(std::move(fd));
    } else {
      anchor->error = errno;
    }
  }
  if (anchor->directory) {
    struct stat st;
    if (::fstatat(anchor->directory->get(), anchor->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      anchor->pinned = identity_of(st);
    }
  }
  return anchored_url(std::move(path), false, std::move(anchor));
}

FoundationResult<FileUrl> LinuxFiles::item_replacement_directory(const FileUrl& destination) {
  auto fail = [&](int error) {
    return foundation_failure("Could not create a replacement directory beside " +
                                  quoted(destination.path) + ": " + describe(error),
                              error);
  };
  auto target = anchor_of(destination);
  if (target->error != 0) return fail(target->error);
  if (target->name.empty()) return fail(EINVAL);
  const int parent = target->directory->get();
  std::string parent_path = destination.path.substr(0, destination.path.rfind('/'));
  if (parent_path.empty()) parent_path.push_back('/');

  remove_leftovers(parent, parent_path);

  // Beside the destination, so the swap stays inside one file system; mode 0700 and root's, so
  // nobody else can reach what is put in it before it is swapped into place.
  for (int attempt = 0;; ++attempt) {
    std::string name = std::string(ITEM_REPLACEMENT_PREFIX) + random_suffix();
    if (::mkdirat(parent, name.c_str(), 0700) != 0) {
      if (errno == EEXIST && attempt < 8) continue;
      return fail(errno);
    }
    // The parent may be a user's, who could swap the new name for something else before it is
    // opened: what is opened must be a directory of ours that nothing has been put into.
    auto fd = open_child(parent, name, O_RDONLY | O_DIRECTORY);
    if (!fd) return fail(fd.error());
    struct stat st;
    if (::fstat(fd->get(), &st) != 0) return fail(errno);
    if (st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0700 || st.st_nlink != 2) {
      return fail(ESTALE);
    }
    // From here on the object removes the directory again on every path that fails.
    std::string path = child_path(parent_path, name);
    auto directory = std::make_shared<const ReplacementDirectory>(
        target->directory, name, std::make_shared<const UniqueFd>(std::move(*fd)), identity_of(st),
        path);
    // Locked before it is marked: a concurrent request never takes it for a leftover.
    if (::flock(directory->self()->get(), LOCK_EX | LOCK_NB) != 0) return fail(errno);
    if (auto marked = write_marker(directory->self()->get(), st); !marked) {
      return fail(marked.error());
    }
    auto anchor = std::make_shared<FileAnchor>();
    anchor->directory = target->directory;
    anchor->name = std::move(name);
    anchor->pinned = identity_of(st);
    anchor->self = directory->self();
    anchor->keep_alive = directory;
    return anchored_url(std::move(path), true, std::move(anchor));
  }
}

FoundationResult<void> LinuxFiles::copy_item(const FileUrl& from, const FileUrl& to) {
  auto source = anchor_of(from);
  auto target = anchor_of(to);
  int error = source->error != 0 ? source->error : target->error;
  if (error == 0 && (source->name.empty() || target->name.empty())) error = EINVAL;
  if (error != 0) {
    return foundation_failure(
        "Could not copy " + quoted(from.path) + " into " + quoted(to.path) + ": " + describe(error),
        error);
  }
  // Each file is hashed as it is written: the validation of the copy that follows takes these
  // digests instead of reading the copy again. The key is taken here, once the file is final.
  BackgroundHasher hasher;
  posix::CopyTap tap;
  tap.data = [&hasher](posix::CopyChunk& buffer, std::size_t size) { hasher.data(buffer, size); };
  tap.done = [&hasher](int copy_fd) {
    struct stat st;
    hasher.done(::fstat(copy_fd, &st) == 0 ? std::optional(codesign::file_key(st)) : std::nullopt);
  };
  auto copied = copy_tree_at(source->directory->get(), source->name, target->directory->get(),
                             target->name, from.path, &tap);
  hasher.finish();
  if (!copied) {
    return foundation_failure("Could not copy " + quoted(copied.error().path) + " into " +
                                  quoted(to.path) + ": " + describe(copied.error().error),
                              copied.error().error);
  }
  start_early_flush(target->directory);
  return {};
}

FoundationResult<void> LinuxFiles::replace_item(const FileUrl& destination,
                                                const FileUrl& replacement,
                                                std::optional<std::string_view> /*backup_name*/) {
  auto target = anchor_of(destination);
  auto item = anchor_of(replacement);
  auto fail = [&](const std::string& what, int error) {
    return foundation_failure(what + " " + quoted(destination.path) + ": " + describe(error),
                              error);
  };
  if (target->error != 0) return fail("Could not replace", target->error);
  if (item->error != 0) return fail("Could not replace", item->error);
  if (target->name.empty() || item->name.empty()) return fail("Could not replace", EINVAL);
  if (!target->pinned) {
    return foundation_failure("Could not exchange " + quoted(destination.path) + " with " +
                                  quoted(replacement.path) + ": " + describe(ENOENT),
                              ENOENT);
  }
  const int destination_parent = target->directory->get();
  const int replacement_parent = item->directory->get();

  // The new tree reaches the disk before its name does, so a power cut cannot leave a
  // half-written bundle at the destination.
  if (::syncfs(replacement_parent) != 0) {
    int error = errno;
    return foundation_failure(
        "Could not write " + quoted(replacement.path) + " to disk: " + describe(error), error);
  }
  // The old tree needs no name of its own: the exchange leaves it where the new one was.
  if (::renameat2(replacement_parent, item->name.c_str(), destination_parent, target->name.c_str(),
                  RENAME_EXCHANGE) != 0) {
    int error = errno;
    return foundation_failure("Could not exchange " + quoted(destination.path) + " with " +
                                  quoted(replacement.path) + ": " + describe(error),
                              error);
  }
  // Whoever owns the destination's directory could have put another item under its name since
  // it was checked; that one goes back where it was, untouched.
  struct stat st;
  if (::fstatat(replacement_parent, item->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      identity_of(st) != *target->pinned) {
    int error = ESTALE;
    if (::renameat2(replacement_parent, item->name.c_str(), destination_parent,
                    target->name.c_str(), RENAME_EXCHANGE) != 0) {
      return fail("Could not undo the replacement of", errno);
    }
    return fail("Refused to replace", error);
  }
  if (auto removed = remove_tree_at(replacement_parent, item->name, replacement.path); !removed) {
    return foundation_failure(
        "Replaced " + quoted(destination.path) + ", but could not remove the old item at " +
            quoted(removed.error().path) + ": " + describe(removed.error().error),
        removed.error().error);
  }
  return {};
}

FileSecurityCopy LinuxFiles::copy_file_security(const FileUrl& url) {
  auto st = stat_item(*anchor_of(url));
  if (!st) return CFCallFailure{cf_error(st.error(), url.path)};
  FileSecurity security;
  security.owner = st->st_uid;
  security.group = st->st_gid;
  security.mode = static_cast<std::uint16_t>(st->st_mode & 07777);
  return security;
}

bool LinuxFiles::set_owner(FileSecurity& security, std::uint32_t owner) {
  security.owner = owner;
  return true;
}

bool LinuxFiles::set_group(FileSecurity& security, std::uint32_t group) {
  security.group = group;
  return true;
}

std::expected<void, CFCallFailure> LinuxFiles::write_file_security(const FileUrl& url,
                                                                   const FileSecurity& security) {
  // Only owner and group: writing the mode back would restore set-id bits that the kernel has
  // just cleared for the new owner.
  uid_t owner = security.owner ? static_cast<uid_t>(*security.owner) : static_cast<uid_t>(-1);
  gid_t group = security.group ? static_cast<gid_t>(*security.group) : static_cast<gid_t>(-1);
  auto anchor = anchor_of(url);
  if (anchor->error != 0) return std::unexpected(CFCallFailure{cf_error(anchor->error, url.path)});
  if (::fchownat(anchor->directory->get(), anchor->name.c_str(), owner, group,
                 AT_SYMLINK_NOFOLLOW | (anchor->name.empty() ? AT_EMPTY_PATH : 0)) != 0) {
    return std::unexpected(CFCallFailure{cf_error(errno, url.path)});
  }
  return {};
}

std::optional<bool> LinuxFiles::is_symbolic_link(const FileUrl& url) {
  auto st = stat_item(*anchor_of(url));
  if (!st) return std::nullopt;
  return S_ISLNK(st->st_mode);
}

std::expected<void, CFCallFailure> LinuxFiles::write_permission_bits(const FileUrl& url,
                                                                     std::uint16_t mode) {
  auto anchor = anchor_of(url);
  auto st = stat_item(*anchor);
  if (!st) return std::unexpected(CFCallFailure{cf_error(st.error(), url.path)});
  if (S_ISLNK(st->st_mode)) return {};
  // Non-blocking: a FIFO would otherwise wait for a writer.
  UniqueFd item(
      open_item(*anchor, O_RDONLY | O_NONBLOCK | (S_ISDIR(st->st_mode) ? O_DIRECTORY : 0)));
  if (!item) return std::unexpected(CFCallFailure{cf_error(errno, url.path)});
  if (::fchmod(item.get(), static_cast<mode_t>(mode & 07777)) != 0) {
    return std::unexpected(CFCallFailure{cf_error(errno, url.path)});
  }
  return {};
}

std::unique_ptr<DirectoryEnumerator> LinuxFiles::enumerate_recursively(const FileUrl& directory) {
  return std::make_unique<LinuxEnumerator>(anchor_of(directory), directory.path);
}

std::optional<std::string> LinuxFiles::bundle_version(const FileUrl& bundle) {
  UniqueFd root(open_item(*anchor_of(bundle), O_RDONLY | O_DIRECTORY));
  if (!root) return std::nullopt;
  auto plist =
      read_file_beneath(root.get(), common::bundle_layout::INFO_PLIST_PATH, MAX_INFO_PLIST_SIZE);
  if (!plist) return std::nullopt;
  auto strings = read_plist_strings(*plist);
  if (!strings) return std::nullopt;
  auto version = strings->find("CFBundleVersion");
  if (version == strings->end()) return std::nullopt;
  return version->second;
}

QuarantineRemoval LinuxFiles::quarantine_removal() const {
  return QuarantineRemoval::DirectAttributeCalls;
}

int LinuxFiles::remove_quarantine_attributes(const FileUrl& url) {
  auto anchor = anchor_of(url);
  auto st = stat_item(*anchor);
  if (!st) return st.error();
  if (S_ISREG(st->st_mode) || S_ISDIR(st->st_mode)) {
    remove_quarantine(anchor->directory->get(), anchor->name);
  }
  if (!S_ISDIR(st->st_mode)) return 0;
  UniqueFd top(open_item(*anchor, O_RDONLY | O_DIRECTORY));
  if (!top) return errno;
  auto walker = TreeWalker::open_at(top.get(), "", url.path);
  if (!walker) return walker.error();
  for (;;) {
    auto item = walker->next();
    if (!item) continue;  // an unreadable directory is skipped; the rest is still done
    if (!*item) return 0;
    if ((*item)->is_regular || (*item)->is_directory) {
      remove_quarantine((*item)->parent->get(), (*item)->name);
    }
  }
}

}  // namespace platform::linux_impl
