#pragma once
// Files: the file-system facilities of an app replacement, as facts.
//
// The shapes follow the macOS frameworks the helper uses there (Foundation's file manager and
// URLs, CoreFoundation's file security and URL enumerator) so that the darwin layer stays a thin
// translation: a Foundation failure is its localized description, a CoreFoundation failure is an
// error object (code + optional description) or none, a "get" that can answer nothing answers
// std::nullopt. Every log line and error text is made by the portable callers in util/fs and
// util/security.
//
// All calls block the calling thread; implementations keep no state between calls and may be
// used from several threads at once.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "util/macos/platform_error.hpp"

namespace platform {

// A file URL: the location of one item. Made by Files::file_url, append_path_component or an
// enumerator; its text forms come from Files::url_string and Files::url_path.
struct FileUrl {
  std::string path;  // absolute, UTF-8, without a trailing separator (except the root itself)
  bool is_directory = false;
  // The platform's own reference to the location, shared by copies of the URL: on Linux the
  // descriptors that pin where the item is, so that no later step resolves `path` again and a
  // rename or a symbolic link put in place meanwhile cannot redirect it. Null in the fakes.
  std::shared_ptr<void> native = nullptr;

  // Two URLs are equal when they name the same location, however each was made.
  friend bool operator==(const FileUrl& a, const FileUrl& b) {
    return a.path == b.path && a.is_directory == b.is_directory;
  }
};

// Owner, group and mode of one item, each possibly unreadable. The mode holds the permission
// bits (07777) only.
struct FileSecurity {
  std::optional<std::uint32_t> owner;
  std::optional<std::uint32_t> group;
  std::optional<std::uint16_t> mode;
  // The platform's own object, for platforms whose security object carries more than these three
  // fields (access-control data) and writes it back unchanged. Null on Linux.
  std::shared_ptr<void> native;
};

// A CoreFoundation call that answered false, with the error object it supplied (may be null).
struct CFCallFailure {
  platform::OptionalCFError error;
};

// The empty security object that a copy starts from could not be made.
struct FileSecurityCreateFailed {};

using FileSecurityCopy = std::variant<FileSecurity, FileSecurityCreateFailed, CFCallFailure>;

// A Foundation call that failed: the localized description of its error, absent when the call
// left its error out-parameter empty, and the POSIX error number underneath where the platform
// knows it (0 otherwise), which tells a client a read-only or full volume from other failures.
struct FoundationFailure {
  std::optional<std::string> localized_description;
  int posix_code = 0;
};

template <typename T>
using FoundationResult = std::expected<T, FoundationFailure>;

// One answer of a directory enumerator.
struct EnumeratorStep {
  enum class Kind {
    Success,  // `url` is the next item
    End,      // every item has been returned
    Error,    // `error` is the enumerator's error object, if it supplied one
    Other,    // an answer of another kind; `raw` is its value
  };
  Kind kind = Kind::End;
  FileUrl url;
  platform::OptionalCFError error;
  std::int64_t raw = 0;
};

// Walks the items below a directory, each directory before its contents. Symbolic links are
// returned as items and never followed; hidden items and the contents of packages are included.
class DirectoryEnumerator {
 public:
  virtual ~DirectoryEnumerator() = default;
  virtual EnumeratorStep next() = 0;
};

// Whose rights an access is checked with: the user, the primary group and the supplementary
// groups, as the kernel (or the system's file-system layer) checks them.
struct Credentials {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;
};

// How far a user must reach an item for the helper to act on it for them.
enum class Reach {
  Open,    // the item itself opened for reading as a directory, without following a link
  Locate,  // every directory down to the item searched and the item looked at (not followed)
};

// An item as a user reached it, with the facts the portable code decides on.
struct ReachedItem {
  // The URL of the item, pinned by what was opened with the user's rights: the directory that
  // holds it (the user searched every directory down to it) and the item that name held then.
  FileUrl url;
  std::uint32_t owner = 0;         // of the item itself
  std::uint32_t parent_owner = 0;  // of the directory that holds it
  // Whether the user may write and search the directory that holds the item, checked as that
  // user (so access-control lists count), ownership aside.
  bool may_change_parent = false;
};

// How the platform strips the quarantine attribute from a tree.
enum class QuarantineRemoval {
  ExternalTool,          // the "xattr" tool is run on the tree
  DirectAttributeCalls,  // Files::remove_quarantine_attributes does it
};

class Files {
 public:
  virtual ~Files() = default;

  // The directory URL of a path (relative paths against the working directory).
  virtual FileUrl file_url(std::string_view path) = 0;
  // The URL of the item at `path` (relative paths against the working directory) as the user
  // `who` reaches it, or the errno of the failure (reached with those rights: a directory on the
  // way that the user cannot search fails alike whether or not the item exists). The item's
  // name must not be empty, "." or "..". Blocks briefly (the look-up runs with the user's
  // rights, not the caller's); any thread.
  virtual std::expected<ReachedItem, int> reach_as(std::string_view path, const Credentials& who,
                                                   Reach reach) = 0;
  // The URL's string form (a "file://" URL, not a path), or none.
  virtual std::optional<std::string> url_string(const FileUrl& url) = 0;
  // The URL's file-system path, or none.
  virtual std::optional<std::string> url_path(const FileUrl& url) = 0;
  // The URL of a child named `name` of `directory`, or none.
  virtual std::optional<FileUrl> append_path_component(const FileUrl& directory,
                                                       std::string_view name) = 0;

  // Creates a new directory from which an item can be moved into the place of `destination` in one
  // step (same file system, the caller's own, mode 0700; a directory found otherwise is refused).
  // The directory and everything in it is removed once the last URL made from it (the
  // directory's, or an item's in it) is gone, whatever the outcome. A directory left by a process
  // that was killed is removed by the next request for the same destination (Linux) or by the
  // system's purge of temporary items (macOS).
  virtual FoundationResult<FileUrl> item_replacement_directory(const FileUrl& destination) = 0;

  // Copies the item at `from` and everything below it to `to`, which must not exist. Symbolic
  // links are copied as links.
  virtual FoundationResult<void> copy_item(const FileUrl& from, const FileUrl& to) = 0;

  // Puts `replacement` into the place of `destination` in one step, taking the metadata of the new
  // item only; the old item does not survive a success. `backup_name`, where given, names the old
  // item beside the destination while the operation runs (an existing item of that name is
  // removed); none lets the platform keep the old item where it chooses. Where the URL pins the
  // destination (Linux), an item that is not the one pinned when the URL was made is put back
  // and the operation fails.
  virtual FoundationResult<void> replace_item(const FileUrl& destination,
                                              const FileUrl& replacement,
                                              std::optional<std::string_view> backup_name) = 0;

  // Whether the item at `url` is itself a symbolic link (never looking at a link's target); none
  // when there is no item there or it cannot be looked at.
  virtual std::optional<bool> is_symbolic_link(const FileUrl& url) = 0;

  // The security of the item itself (a symbolic link's own, never its target's).
  virtual FileSecurityCopy copy_file_security(const FileUrl& url) = 0;
  // Setters of the object's owner and group; false when the object refuses the value.
  virtual bool set_owner(FileSecurity& security, std::uint32_t owner) = 0;
  virtual bool set_group(FileSecurity& security, std::uint32_t group) = 0;
  // Writes owner and group of `security` to the item itself (never a link's target), and reads
  // them back: a write the item did not take is a failure. Permission bits and access-control
  // data are left as they are.
  virtual std::expected<void, CFCallFailure> write_file_security(const FileUrl& url,
                                                                 const FileSecurity& security) = 0;
  // Sets the permission bits (07777) of the item itself, never a link's target; the other
  // security data are left as they are.
  virtual std::expected<void, CFCallFailure> write_permission_bits(const FileUrl& url,
                                                                   std::uint16_t mode) = 0;

  // An enumerator of everything below `directory` (not the directory itself), or null.
  virtual std::unique_ptr<DirectoryEnumerator> enumerate_recursively(const FileUrl& directory) = 0;

  // The CFBundleVersion string of the bundle at `bundle` (its Contents/Info.plist), or none when
  // the bundle has none or it cannot be read.
  virtual std::optional<std::string> bundle_version(const FileUrl& bundle) = 0;

  virtual QuarantineRemoval quarantine_removal() const = 0;
  // For DirectAttributeCalls: deletes the quarantine attribute of the item at `url` and of every
  // item below it, never following a symbolic link. Failures on single items are ignored; the
  // answer is 0, or the error number of a failure of the operation as a whole.
  virtual int remove_quarantine_attributes(const FileUrl& url) = 0;
};

}  // namespace platform
