#include "platform/fake/fake_files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "common/bundle_layout.hpp"

namespace platform::fake {
namespace {

bool below(const std::string& path, const std::string& top) {
  return path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
         (top == "/" || path[top.size()] == '/');
}

std::string parent_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

platform::CFError missing(const std::string& path) {
  return platform::CFError{ENOENT, "no item at " + path};
}

class FakeEnumerator final : public DirectoryEnumerator {
 public:
  FakeEnumerator(FakeFiles& files, std::vector<std::string> paths)
      : files_(files), paths_(std::move(paths)) {}

  EnumeratorStep next() override {
    if (at_ == paths_.size()) return EnumeratorStep{};
    const std::string& path = paths_[at_++];
    if (auto scripted = files_.enumerator_answers.find(path);
        scripted != files_.enumerator_answers.end()) {
      return scripted->second;
    }
    EnumeratorStep step;
    step.kind = EnumeratorStep::Kind::Success;
    auto item = files_.items.find(path);
    bool directory = item != files_.items.end() && item->second.type == FakeItem::Type::Directory;
    step.url = FileUrl{path, directory};
    return step;
  }

 private:
  FakeFiles& files_;
  std::vector<std::string> paths_;
  std::size_t at_ = 0;
};

}  // namespace

void FakeFiles::add_directory(const std::string& path, std::uint32_t owner, std::uint32_t group,
                              std::uint16_t mode) {
  items[path] = FakeItem{FakeItem::Type::Directory, owner, group, mode, {}, {}};
}

void FakeFiles::add_file(const std::string& path, std::string content, std::uint32_t owner,
                         std::uint32_t group, std::uint16_t mode) {
  items[path] = FakeItem{FakeItem::Type::File, owner, group, mode, std::move(content), {}};
}

void FakeFiles::add_symlink(const std::string& path, std::string target, std::uint32_t owner,
                            std::uint32_t group) {
  items[path] = FakeItem{FakeItem::Type::Symlink, owner, group, 0777, std::move(target), {}};
}

std::vector<std::string> FakeFiles::paths_below(const std::string& path) const {
  std::vector<std::string> paths;
  for (const auto& [candidate, item] : items) {
    if (below(candidate, path)) paths.push_back(candidate);
  }
  return paths;
}

std::map<std::string, FakeItem> FakeFiles::subtree(const std::string& path) const {
  std::map<std::string, FakeItem> tree;
  if (auto top = items.find(path); top != items.end()) tree[""] = top->second;
  for (const auto& child : paths_below(path)) tree[child.substr(path.size())] = items.at(child);
  return tree;
}

std::vector<std::string> FakeFiles::children(const std::string& directory) const {
  std::vector<std::string> direct;
  for (const auto& path : paths_below(directory)) {
    if (parent_of(path) == directory) direct.push_back(path);
  }
  return direct;
}

FileUrl FakeFiles::file_url(std::string_view path) {
  calls.push_back("file_url " + std::string(path));
  std::string text(path);
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return FileUrl{text, true};
}

namespace {

constexpr unsigned READ = 4, WRITE = 2, SEARCH = 1;

bool permits(const FakeItem& item, const Credentials& who, unsigned wanted) {
  if (who.uid == 0) return true;
  unsigned bits = item.mode & 07;
  if (item.owner == who.uid) {
    bits = (item.mode >> 6) & 07;
  } else if (item.group == who.gid ||
             std::find(who.groups.begin(), who.groups.end(), item.group) != who.groups.end()) {
    bits = (item.mode >> 3) & 07;
  }
  return (bits & wanted) == wanted;
}

}  // namespace

std::expected<ReachedItem, int> FakeFiles::reach_as(std::string_view path, const Credentials& who,
                                                    Reach reach) {
  std::string text(path);
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  calls.push_back("reach_as " + text + " " + std::to_string(who.uid));
  if (auto failure = reach_failures.find(text); failure != reach_failures.end()) {
    return std::unexpected(failure->second);
  }
  const auto slash = text.rfind('/');
  if (slash == std::string::npos || text.substr(slash + 1).empty()) return std::unexpected(EINVAL);
  const std::string parent = slash == 0 ? "/" : text.substr(0, slash);
  for (std::size_t at = 0; at != std::string::npos && at < text.size();
       at = text.find('/', at + 1)) {
    const std::string directory = at == 0 ? "/" : text.substr(0, at);
    auto found = items.find(directory);
    if (found == items.end()) continue;
    if (found->second.type != FakeItem::Type::Directory) return std::unexpected(ENOTDIR);
    if (!permits(found->second, who, SEARCH)) return std::unexpected(EACCES);
  }
  auto item = items.find(text);
  if (item == items.end()) return std::unexpected(ENOENT);
  if (reach == Reach::Open) {
    if (item->second.type != FakeItem::Type::Directory) return std::unexpected(ENOTDIR);
    if (!permits(item->second, who, READ)) return std::unexpected(EACCES);
  }
  ReachedItem reached;
  reached.url = FileUrl{text, true};
  reached.owner = item->second.owner;
  if (auto holder = items.find(parent); holder != items.end()) {
    reached.parent_owner = holder->second.owner;
    reached.may_change_parent = permits(holder->second, who, WRITE | SEARCH);
  }
  return reached;
}

std::optional<std::string> FakeFiles::url_string(const FileUrl& url) {
  if (paths_without_url_string.contains(url.path)) return std::nullopt;
  return "file://" + url.path + (url.is_directory ? "/" : "");
}

std::optional<std::string> FakeFiles::url_path(const FileUrl& url) {
  calls.push_back("url_path " + url.path);
  if (url_path_yields_nothing) return std::nullopt;
  return url.path;
}

std::optional<FileUrl> FakeFiles::append_path_component(const FileUrl& directory,
                                                        std::string_view name) {
  calls.push_back("append_path_component " + directory.path + " " + std::string(name));
  if (append_yields_nothing) return std::nullopt;
  return FileUrl{directory.path + "/" + std::string(name), false};
}

FoundationResult<FileUrl> FakeFiles::item_replacement_directory(const FileUrl& destination) {
  calls.push_back("item_replacement_directory " + destination.path);
  if (replacement_directory_failure) return std::unexpected(*replacement_directory_failure);
  std::string parent = parent_of(destination.path);
  std::string path = (parent == "/" ? "" : parent) + "/.item-replacement-" +
                     std::to_string(++replacement_directories_made_);
  add_directory(path, copier_owner, copier_group, 0700);
  return FileUrl{path, true};
}

FoundationResult<void> FakeFiles::copy_item(const FileUrl& from, const FileUrl& to) {
  calls.push_back("copy_item " + from.path + " " + to.path);
  if (!items.contains(from.path)) {
    return std::unexpected(FoundationFailure{"no item at " + from.path});
  }
  if (items.contains(to.path)) return std::unexpected(FoundationFailure{to.path + " exists"});
  std::size_t copied = 0;
  for (const auto& [relative, item] : subtree(from.path)) {
    if (copy_failure && copied == copy_failure_after_items) return std::unexpected(*copy_failure);
    FakeItem copy = item;
    copy.owner = copier_owner;
    copy.group = copier_group;
    items[to.path + relative] = copy;
    ++copied;
  }
  if (copy_failure) return std::unexpected(*copy_failure);
  return {};
}

FoundationResult<void> FakeFiles::replace_item(const FileUrl& destination,
                                               const FileUrl& replacement,
                                               std::optional<std::string_view> backup_name) {
  calls.push_back("replace_item " + destination.path + " " + replacement.path);
  last_backup_name.reset();
  if (backup_name) last_backup_name = std::string(*backup_name);
  if (replace_failure) return std::unexpected(*replace_failure);
  if (!items.contains(replacement.path)) {
    return std::unexpected(FoundationFailure{"no item at " + replacement.path});
  }
  if (backup_name) {
    // As the file manager does: the backup goes beside the original, and whatever already has
    // that name there is removed first.
    std::string parent = parent_of(destination.path);
    std::string backup = (parent == "/" ? "" : parent) + "/" + std::string(*backup_name);
    for (const auto& path : paths_below(backup)) items.erase(path);
    items.erase(backup);
  }
  auto moved = subtree(replacement.path);
  for (const auto& path : paths_below(destination.path)) items.erase(path);
  for (const auto& path : paths_below(replacement.path)) items.erase(path);
  items.erase(destination.path);
  items.erase(replacement.path);
  for (auto& [relative, item] : moved) items[destination.path + relative] = std::move(item);
  return {};
}

FileSecurityCopy FakeFiles::copy_file_security(const FileUrl& url) {
  calls.push_back("copy_file_security " + url.path);
  if (security_create_failures.contains(url.path)) return FileSecurityCreateFailed{};
  if (auto failure = security_read_failures.find(url.path);
      failure != security_read_failures.end()) {
    return failure->second;
  }
  auto item = items.find(url.path);
  if (item == items.end()) return CFCallFailure{missing(url.path)};
  FileSecurity security;
  security.owner = item->second.owner;
  security.group = item->second.group;
  security.mode = item->second.mode;
  if (auto edit = security_edits.find(url.path); edit != security_edits.end()) {
    edit->second(security);
  }
  return security;
}

bool FakeFiles::set_owner(FileSecurity& security, std::uint32_t owner) {
  ++setter_calls;
  if (owner_setter_refuses) return false;
  security.owner = owner;
  return true;
}

bool FakeFiles::set_group(FileSecurity& security, std::uint32_t group) {
  ++setter_calls;
  if (group_setter_refuses) return false;
  security.group = group;
  return true;
}

std::expected<void, CFCallFailure> FakeFiles::write_file_security(const FileUrl& url,
                                                                  const FileSecurity& security) {
  calls.push_back("write_file_security " + url.path);
  if (auto failure = security_write_failures.find(url.path);
      failure != security_write_failures.end()) {
    return std::unexpected(failure->second);
  }
  auto item = items.find(url.path);
  if (item == items.end()) return std::unexpected(CFCallFailure{missing(url.path)});
  if (security.owner) item->second.owner = *security.owner;
  if (security.group) item->second.group = *security.group;
  return {};
}

std::optional<bool> FakeFiles::is_symbolic_link(const FileUrl& url) {
  calls.push_back("is_symbolic_link " + url.path);
  auto item = items.find(url.path);
  if (item == items.end()) return std::nullopt;
  return item->second.type == FakeItem::Type::Symlink;
}

std::expected<void, CFCallFailure> FakeFiles::write_permission_bits(const FileUrl& url,
                                                                    std::uint16_t mode) {
  char octal[8];
  std::snprintf(octal, sizeof octal, "%o", static_cast<unsigned>(mode));
  calls.push_back("write_permission_bits " + url.path + " " + octal);
  if (auto failure = permission_write_failures.find(url.path);
      failure != permission_write_failures.end()) {
    return std::unexpected(failure->second);
  }
  auto item = items.find(url.path);
  if (item == items.end()) return std::unexpected(CFCallFailure{missing(url.path)});
  item->second.mode = static_cast<std::uint16_t>(mode & 07777);
  return {};
}

std::unique_ptr<DirectoryEnumerator> FakeFiles::enumerate_recursively(const FileUrl& directory) {
  calls.push_back("enumerate_recursively " + directory.path);
  if (enumerator_unavailable) return nullptr;
  return std::make_unique<FakeEnumerator>(*this, paths_below(directory.path));
}

QuarantineRemoval FakeFiles::quarantine_removal() const { return quarantine_mechanism; }

std::optional<std::string> FakeFiles::bundle_version(const FileUrl& bundle) {
  calls.push_back("bundle_version " + bundle.path);
  auto plist = items.find(bundle.path + "/" + std::string(common::bundle_layout::INFO_PLIST_PATH));
  if (plist == items.end() || plist->second.type != FakeItem::Type::File) return std::nullopt;
  return plist->second.content;
}

int FakeFiles::remove_quarantine_attributes(const FileUrl& url) {
  const std::string& top = url.path;
  calls.push_back("remove_quarantine_attributes " + top);
  if (quarantine_error != 0) return quarantine_error;
  if (!items.contains(top)) return ENOENT;
  std::vector<std::string> all = paths_below(top);
  all.push_back(top);
  for (const auto& item_path : all) {
    auto& item = items.at(item_path);
    if (item.type != FakeItem::Type::Symlink) item.attributes.erase("com.apple.quarantine");
  }
  return 0;
}

}  // namespace platform::fake
