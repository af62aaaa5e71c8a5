#pragma once
// Files over Foundation's file manager and CoreFoundation's URLs, file security and enumerator.
//
// A FileUrl's native reference is its CFURL (an NSURL bridged), so every step acts on the URL
// object made once, not on a path parsed again; the POSIX calls take that URL's file-system
// representation. The item-replacement directory is the system's, checked (and if need be made)
// to be root's with mode 0700, so the copy in it cannot be reached by anyone else between the
// steps, and removed with everything in it once its last URL is gone. Owners are written with
// fchownat and permission bits with fchmodat, never following a link, and read back with lstat.
// The swap is renamex_np(RENAME_SWAP) where the volume supports it (VOL_CAP_INT_RENAME_SWAP),
// after which the old bundle is removed; elsewhere the file manager's replace, without a backup
// name.

#include "platform/files.hpp"

namespace platform::darwin {

class DarwinFiles final : public Files {
 public:
  FileUrl file_url(std::string_view path) override;
  // In a forked child that takes the user's identity (reach_as_darwin.cpp), given up after ten
  // seconds; the URL is then made from the path and refused (ESTALE) when the path no longer
  // leads to the item the user reached. Groups, where the requester carries none, are the user
  // database's (at most 16).
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
  std::expected<void, CFCallFailure> write_permission_bits(const FileUrl& url,
                                                           std::uint16_t mode) override;

  std::unique_ptr<DirectoryEnumerator> enumerate_recursively(const FileUrl& directory) override;

  std::optional<std::string> bundle_version(const FileUrl& bundle) override;

  // The "xattr" tool, which acts on links themselves with -s.
  QuarantineRemoval quarantine_removal() const override;
  // Not used here (ExternalTool): ENOTSUP.
  int remove_quarantine_attributes(const FileUrl& url) override;
};

}  // namespace platform::darwin
