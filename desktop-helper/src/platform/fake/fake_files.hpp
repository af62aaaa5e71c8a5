#pragma once
// An in-memory file tree behind the Files interface, with scripted failures, for tests of the
// order of steps, the log lines, the error texts and what each failure leaves behind.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/fake/fake_layer.hpp"
#include "platform/files.hpp"

namespace platform::fake {

struct FakeItem {
  enum class Type { Directory, File, Symlink };
  Type type = Type::File;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::uint16_t mode = 0644;
  std::string content;  // file data, or a link's target
  std::set<std::string> attributes;

  friend bool operator==(const FakeItem&, const FakeItem&) = default;
};

class FakeFiles final : public Files {
 public:
  // The tree, by absolute path. Nothing checks that parents exist; tests build whole trees.
  std::map<std::string, FakeItem> items;
  // The owner and group that copies get (the process's own).
  std::uint32_t copier_owner = 0;
  std::uint32_t copier_group = 0;

  // Scripted answers. A path key means "when the operation reaches this item".
  std::optional<FoundationFailure> replacement_directory_failure;
  bool append_yields_nothing = false;
  bool url_path_yields_nothing = false;
  std::set<std::string> paths_without_url_string;
  std::optional<FoundationFailure> copy_failure;
  std::size_t copy_failure_after_items = 0;  // items copied before copy_failure strikes
  std::set<std::string> security_create_failures;
  std::map<std::string, CFCallFailure> security_read_failures;
  std::map<std::string, std::function<void(FileSecurity&)>> security_edits;
  bool owner_setter_refuses = false;
  bool group_setter_refuses = false;
  std::map<std::string, CFCallFailure> security_write_failures;
  std::map<std::string, CFCallFailure> permission_write_failures;
  bool enumerator_unavailable = false;
  std::map<std::string, EnumeratorStep> enumerator_answers;  // instead of returning that item
  QuarantineRemoval quarantine_mechanism = QuarantineRemoval::DirectAttributeCalls;
  int quarantine_error = 0;
  std::optional<FoundationFailure> replace_failure;
  // reach_as: an errno instead of the permission walk, by path.
  std::map<std::string, int> reach_failures;

  // What was asked, in order: "<operation> <path>".
  std::vector<std::string> calls;
  std::size_t setter_calls = 0;
  std::optional<std::string> last_backup_name;

  // Helpers for building trees.
  void add_directory(const std::string& path, std::uint32_t owner, std::uint32_t group,
                     std::uint16_t mode = 0755);
  void add_file(const std::string& path, std::string content, std::uint32_t owner,
                std::uint32_t group, std::uint16_t mode = 0644);
  void add_symlink(const std::string& path, std::string target, std::uint32_t owner,
                   std::uint32_t group);
  // The item at `path` and everything below it, by path relative to `path` ("" for the top).
  std::map<std::string, FakeItem> subtree(const std::string& path) const;
  bool exists(const std::string& path) const { return items.contains(path); }
  // Every item directly in `directory`.
  std::vector<std::string> children(const std::string& directory) const;

  FileUrl file_url(std::string_view path) override;
  // Checks the permission bits of the tree as the kernel would for `who` (root passes): search on
  // every directory on the way that the tree holds, read on a directory to open it; a missing item
  // is ENOENT, a link or a file opened is ENOTDIR (O_DIRECTORY | O_NOFOLLOW).
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
  // Journaled as "write_permission_bits <path> <mode in octal>".
  std::expected<void, CFCallFailure> write_permission_bits(const FileUrl& url,
                                                           std::uint16_t mode) override;
  std::unique_ptr<DirectoryEnumerator> enumerate_recursively(const FileUrl& directory) override;
  // The content of the bundle's Contents/Info.plist stands for its version; none without one.
  std::optional<std::string> bundle_version(const FileUrl& bundle) override;
  QuarantineRemoval quarantine_removal() const override;
  int remove_quarantine_attributes(const FileUrl& url) override;

 private:
  std::vector<std::string> paths_below(const std::string& path) const;
  int replacement_directories_made_ = 0;
};

}  // namespace platform::fake
