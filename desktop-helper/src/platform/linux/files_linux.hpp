#pragma once
#include "platform/files.hpp"
#include "platform/linux/linux_layer.hpp"

namespace platform::linux_impl {

// Prefix of the directories item_replacement_directory makes beside a destination.
inline constexpr const char* ITEM_REPLACEMENT_PREFIX = ".item-replacement-";
// The file inside a replacement directory that marks it as made by the helper, so that a leftover
// is told apart from a directory renamed to look alike. Only the directory's owner can have put it
// there (the directory is mode 0700), and it names the directory's own device and inode, so a
// marker copied from elsewhere does not count.
inline constexpr const char* REPLACEMENT_MARKER_NAME = ".item-replacement-marker";
// Where Linux keeps the quarantine attribute: user attributes need the namespace prefix.
inline constexpr const char* QUARANTINE_XATTR = "user.com.apple.quarantine";

// POSIX files, through descriptors: every URL carries a FileAnchor (file_anchor.hpp), so after a
// path has been made into a URL nothing resolves it again. Security facts come from fstatat and
// are written with fchownat without following links; the enumerator walks through directory
// descriptors and never enters a link. The replacement directory is made (mode 0700, owned by the
// caller, locked, marked) in the destination's own parent directory, so it is on the destination's
// file system, and is removed with its contents once its last URL is gone; leftovers of a killed
// helper are removed by the next request for the same directory. The swap is one
// renameat2(RENAME_EXCHANGE) between the two pinned directories, checked afterwards to have taken
// out the destination that was pinned (else undone), and the old tree is then removed through
// descriptors. Quarantine removal deletes QUARANTINE_XATTR item by item.
class LinuxFiles final : public Files {
 public:
  FileUrl file_url(std::string_view path) override;
  // In a forked child that takes the user's identity (reach_as_linux.cpp); given up after ten
  // seconds (ETIMEDOUT). A helper that is not root reaches items only for its own user.
  std::expected<ReachedItem, int> reach_as(std::string_view path, const Credentials& who,
                                           Reach reach) override;
  std::optional<std::string> url_string(const FileUrl& url) override;
  std::optional<std::string> url_path(const FileUrl& url) override;
  std::optional<FileUrl> append_path_component(const FileUrl& directory,
                                               std::string_view name) override;

  FoundationResult<FileUrl> item_replacement_directory(const FileUrl& destination) override;
  FoundationResult<void> copy_item(const FileUrl& from, const FileUrl& to) override;
  FoundationResult<void> replace_item(const FileUrl& destination, const FileUrl& replacement,
                                      std::optional<std::string_view> backup_name) override;
  std::optional<bool> is_symbolic_link(const FileUrl& url) override;

  FileSecurityCopy copy_file_security(const FileUrl& url) override;
  bool set_owner(FileSecurity& security, std::uint32_t owner) override;
  bool set_group(FileSecurity& security, std::uint32_t group) override;
  std::expected<void, CFCallFailure> write_file_security(const FileUrl& url,
                                                         const FileSecurity& security) override;
  // Links have no permission bits of their own on Linux: a link is left as it is.
  std::expected<void, CFCallFailure> write_permission_bits(const FileUrl& url,
                                                           std::uint16_t mode) override;

  std::unique_ptr<DirectoryEnumerator> enumerate_recursively(const FileUrl& directory) override;

  std::optional<std::string> bundle_version(const FileUrl& bundle) override;
  QuarantineRemoval quarantine_removal() const override;
  int remove_quarantine_attributes(const FileUrl& url) override;
};

}  // namespace platform::linux_impl
