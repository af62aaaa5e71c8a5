#include "platform/linux/files_linux.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "common/error.hpp"
#include "common/util/quoted.hpp"
#include "common/util/unique_fd.hpp"
#include "platform/linux/file_tree.hpp"

namespace platform::linux_impl {
namespace {

using common::util::quoted;
using common::util::UniqueFd;

std::string os_text(int error) { return common::Error::os(error).text(); }

std::unexpected<FoundationFailure> foundation_failure(std::string description) {
  return std::unexpected<FoundationFailure>(FoundationFailure{std::move(description)});
}

common::util::macos::CFError cf_error(int error, const std::string& path) {
  return common::util::macos::CFError{error, quoted(path) + ": " + os_text(error)};
}

std::string parent_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string_view name_of(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Characters a file URL's path keeps as they are; everything else is percent-encoded.
bool url_path_character(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(c)) !=
         std::string_view::npos;
}

class LinuxEnumerator final : public DirectoryEnumerator {
 public:
  explicit LinuxEnumerator(std::string path) : path_(std::move(path)) {}

  EnumeratorStep next() override {
    if (!walker_) {
      if (finished_) return EnumeratorStep{};
      auto opened = TreeWalker::open(path_);
      if (!opened) {
        finished_ = true;
        // A link or a file at the top has no contents to walk.
        if (opened.error() == ENOTDIR || opened.error() == ELOOP) return EnumeratorStep{};
        return error_step(opened.error(), path_);
      }
      walker_.emplace(std::move(*opened));
    }
    auto item = walker_->next();
    if (!item) return error_step(item.error().error, item.error().path);
    if (!*item) return EnumeratorStep{};
    EnumeratorStep step;
    step.kind = EnumeratorStep::Kind::Success;
    step.url = FileUrl{std::move((*item)->path), (*item)->is_directory};
    return step;
  }

 private:
  static EnumeratorStep error_step(int error, const std::string& path) {
    EnumeratorStep step;
    step.kind = EnumeratorStep::Kind::Error;
    step.error = cf_error(error, path);
    return step;
  }

  std::string path_;
  std::optional<TreeWalker> walker_;
  bool finished_ = false;
};

}  // namespace

FileUrl LinuxFiles::file_url(std::string_view path) {
  std::string absolute;
  if (!path.starts_with('/')) {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) {
      absolute = cwd;
      if (absolute.back() != '/') absolute.push_back('/');
    }
  }
  absolute.append(path);
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return FileUrl{std::move(absolute), true};
}

std::optional<std::string> LinuxFiles::url_string(const FileUrl& url) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string text = "file://";
  for (unsigned char c : url.path) {
    if (url_path_character(c)) {
      text.push_back(static_cast<char>(c));
    } else {
      text.push_back('%');
      text.push_back(HEX[c >> 4]);
      text.push_back(HEX[c & 0xF]);
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
  return FileUrl{std::move(path), false};
}

FoundationResult<FileUrl> LinuxFiles::item_replacement_directory(const FileUrl& destination) {
  // Beside the destination, so the swap stays inside one file system; mkdtemp makes it 0700, so
  // nobody but root can reach what is put in it before it is swapped into place.
  std::string parent = parent_of(destination.path);
  std::string pattern = parent == "/" ? "/" : parent + "/";
  pattern += ITEM_REPLACEMENT_PREFIX;
  pattern += "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    int error = errno;
    return foundation_failure("Could not create a replacement directory beside " +
                              quoted(destination.path) + ": " + os_text(error));
  }
  return FileUrl{std::move(pattern), true};
}

FoundationResult<void> LinuxFiles::copy_item(const FileUrl& from, const FileUrl& to) {
  if (auto copied = copy_tree(from.path, to.path); !copied) {
    return foundation_failure("Could not copy " + quoted(copied.error().path) + " into " +
                              quoted(to.path) + ": " + os_text(copied.error().error));
  }
  return {};
}

FoundationResult<void> LinuxFiles::replace_item(const FileUrl& destination,
                                                const FileUrl& replacement,
                                                std::string_view /*backup_name*/) {
  // The old tree needs no name of its own: the exchange leaves it where the new one was.
  std::string directory = parent_of(replacement.path);
  {
    // The new tree reaches the disk before its name does, so a power cut cannot leave a
    // half-written bundle at the destination.
    UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || syncfs(fd.get()) != 0) {
      int error = errno;
      return foundation_failure("Could not write " + quoted(replacement.path) +
                                " to disk: " + os_text(error));
    }
  }
  if (renameat2(AT_FDCWD, replacement.path.c_str(), AT_FDCWD, destination.path.c_str(),
                RENAME_EXCHANGE) != 0) {
    int error = errno;
    return foundation_failure("Could not exchange " + quoted(destination.path) + " with " +
                              quoted(replacement.path) + ": " + os_text(error));
  }
  if (auto removed = remove_tree(replacement.path); !removed) {
    return foundation_failure("Replaced " + quoted(destination.path) +
                              ", but could not remove the old item at " +
                              quoted(removed.error().path) + ": " + os_text(removed.error().error));
  }
  if (name_of(directory).starts_with(ITEM_REPLACEMENT_PREFIX)) rmdir(directory.c_str());
  return {};
}

FileSecurityCopy LinuxFiles::copy_file_security(const FileUrl& url) {
  struct stat st;
  if (fstatat(AT_FDCWD, url.path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return CFCallFailure{cf_error(errno, url.path)};
  }
  FileSecurity security;
  security.owner = st.st_uid;
  security.group = st.st_gid;
  security.mode = static_cast<std::uint16_t>(st.st_mode & 07777);
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
  if (fchownat(AT_FDCWD, url.path.c_str(), owner, group, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::unexpected(CFCallFailure{cf_error(errno, url.path)});
  }
  return {};
}

std::unique_ptr<DirectoryEnumerator> LinuxFiles::enumerate_recursively(const FileUrl& directory) {
  return std::make_unique<LinuxEnumerator>(directory.path);
}

QuarantineRemoval LinuxFiles::quarantine_removal() const {
  return QuarantineRemoval::DirectAttributeCalls;
}

int LinuxFiles::remove_quarantine_attributes(std::string_view path) {
  std::string top(path);
  struct stat st;
  if (fstatat(AT_FDCWD, top.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  // Links cannot carry user attributes on Linux (EPERM), so they are skipped rather than tried;
  // an item without the attribute answers ENODATA, which is as good as removed.
  if (S_ISLNK(st.st_mode)) return 0;
  (void)lremovexattr(top.c_str(), QUARANTINE_XATTR);
  if (!S_ISDIR(st.st_mode)) return 0;
  auto walker = TreeWalker::open(top);
  if (!walker) return walker.error();
  for (;;) {
    auto item = walker->next();
    if (!item) continue;  // an unreadable directory is skipped; the rest is still done
    if (!*item) return 0;
    if ((*item)->is_symlink) continue;
    (void)lremovexattr((*item)->path.c_str(), QUARANTINE_XATTR);
  }
}

}  // namespace platform::linux_impl
