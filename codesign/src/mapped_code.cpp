#include "codesign/mapped_code.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

#include "codesign/sha256.hpp"
#include "common/error.hpp"
#include "posix/read_file.hpp"

namespace codesign {

using common::util::UniqueFd;

namespace {

// A file changed this recently may change again within the same tick of the file-system clock
// without a new change time.
constexpr std::int64_t SETTLE_NANOSECONDS = 1'000'000'000;

std::int64_t nanoseconds(std::int64_t seconds, long nanos) {
  return seconds * 1'000'000'000 + nanos;
}

std::int64_t now_nanoseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return nanoseconds(now.tv_sec, now.tv_nsec);
}

std::expected<Digest, int> hash_whole_file(int fd, std::uint64_t expected_size) {
  constexpr std::size_t CHUNK_SIZE = 256 * 1024;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[CHUNK_SIZE]);
  if (::lseek(fd, 0, SEEK_SET) != 0) return std::unexpected(errno);
  std::uint64_t bytes = 0;
  auto digest = sha256_fd(fd, std::span<unsigned char>(buffer.get(), CHUNK_SIZE), bytes);
  // A failure of the hash itself (not of the read) has no errno of its own.
  if (!digest) return std::unexpected(digest.error().is_os() ? digest.error().os_code() : EIO);
  // A file that grew or shrank while it was read has no one digest.
  if (bytes != expected_size) return std::unexpected(EAGAIN);
  return *digest;
}

bool is_protected_directory(const struct stat& st) {
  if (!S_ISDIR(st.st_mode) || st.st_uid != 0) return false;
  if (st.st_mode & S_IWOTH) return false;
  return !(st.st_mode & S_IWGRP) || st.st_gid == 0;
}

// The lines of a maps text that map files executable, the only ones a check judges: the heap
// and other anonymous memory come and go without changing what code runs.
std::string executable_file_lines(std::string_view maps) {
  std::string lines;
  while (!maps.empty()) {
    auto end = maps.find('\n');
    std::string_view line = maps.substr(0, end);
    maps.remove_prefix(end == std::string_view::npos ? maps.size() : end + 1);
    if (posix::split_maps_line(line).maps_file_executable()) {
      lines += line;
      lines += '\n';
    }
  }
  return lines;
}

// One pass over the maps: EAGAIN when a mapping went away between the listing and its opening,
// so the caller lists again rather than miss one that moved.
std::expected<std::vector<ExecutableMapping>, int> list_mappings(pid_t pid,
                                                                 std::string* maps_text) {
  const std::string base = "/proc/" + std::to_string(pid);
  auto maps = posix::read_file(base + "/maps");
  if (!maps) return std::unexpected(maps.error());
  if (maps_text) *maps_text = executable_file_lines(*maps);
  std::vector<ExecutableMapping> found;
  std::set<std::pair<dev_t, ino_t>> seen;
  std::string_view rest = *maps;
  while (!rest.empty()) {
    auto end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    const posix::MapsLine fields = posix::split_maps_line(line);
    if (!fields.maps_file_executable()) continue;  // not executable, or anonymous, [vdso], ...
    std::string_view range = fields.range;

    const std::string link = base + "/map_files/" + std::string(range);
    ExecutableMapping mapping;
    mapping.range = std::string(range);
    mapping.file = UniqueFd(::open(link.c_str(), O_RDONLY | O_CLOEXEC));
    if (!mapping.file) {
      if (errno == ENOENT) return std::unexpected(EAGAIN);
      return std::unexpected(errno);
    }
    if (::fstat(mapping.file.get(), &mapping.st) != 0) return std::unexpected(errno);
    if (!seen.insert({mapping.st.st_dev, mapping.st.st_ino}).second) continue;
    std::string target(4096, '\0');
    ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n < 0) return std::unexpected(errno == ENOENT ? EAGAIN : errno);
    target.resize(static_cast<std::size_t>(n));
    constexpr std::string_view DELETED_SUFFIX = " (deleted)";
    mapping.deleted = mapping.st.st_nlink == 0;
    if (mapping.deleted && target.ends_with(DELETED_SUFFIX))
      target.resize(target.size() - DELETED_SUFFIX.size());
    mapping.path = std::move(target);
    found.push_back(std::move(mapping));
  }
  return found;
}

}  // namespace

FileKey file_key(const struct stat& st) {
  return FileKey{st.st_dev, st.st_ino, st.st_ctim.tv_sec, st.st_ctim.tv_nsec, st.st_size};
}

std::expected<Digest, int> CodeApprovals::digest(int fd, const struct stat& st) {
  const FileKey key = file_key(st);
  {
    std::lock_guard lock(mutex_);
    auto known = files_.find(key);
    if (known != files_.end() && known->second.settled) return known->second.digest;
  }
  const std::int64_t started = now_nanoseconds();
  auto digest = hash_whole_file(fd, static_cast<std::uint64_t>(st.st_size));
  if (!digest) return digest;
  struct stat after;
  if (::fstat(fd, &after) != 0 || file_key(after) != key) return std::unexpected(EAGAIN);
  const bool settled =
      nanoseconds(st.st_ctim.tv_sec, st.st_ctim.tv_nsec) + SETTLE_NANOSECONDS < started;

  std::lock_guard lock(mutex_);
  if (files_.size() >= MAX_FILES) {
    std::erase_if(files_, [](const auto& entry) { return !entry.second.sealed; });
    if (files_.size() >= MAX_FILES) files_.clear();
  }
  Known& known = files_[key];
  if (known.sealed && known.digest != *digest) known.sealed = false;
  known.digest = *digest;
  known.settled = settled;
  return *digest;
}

void CodeApprovals::approve(const FileKey& key, const Digest& digest) {
  std::lock_guard lock(mutex_);
  Known& known = files_[key];
  known.digest = digest;
  known.sealed = true;
}

bool CodeApprovals::is_known_approved(const struct stat& st) const {
  std::lock_guard lock(mutex_);
  auto known = files_.find(file_key(st));
  return known != files_.end() && known->second.sealed && known->second.settled;
}

bool CodeApprovals::is_approved(int fd, const struct stat& st) {
  const FileKey key = file_key(st);
  std::vector<Digest> candidates;
  {
    std::lock_guard lock(mutex_);
    auto known = files_.find(key);
    if (known != files_.end() && known->second.sealed) {
      if (known->second.settled) return true;
      candidates.push_back(known->second.digest);
    } else {
      // Removing a file, as replacing a bundle does, changes its change time: the same file
      // with the same size is still the approved code if its contents still hash the same.
      FileKey first{st.st_dev, st.st_ino, INT64_MIN, LONG_MIN, INT64_MIN};
      for (auto it = files_.lower_bound(first);
           it != files_.end() && it->first.device == st.st_dev && it->first.inode == st.st_ino;
           ++it) {
        if (it->second.sealed && it->first.size == st.st_size) {
          candidates.push_back(it->second.digest);
        }
      }
    }
  }
  if (candidates.empty()) return false;
  auto now = digest(fd, st);
  if (!now) return false;
  for (const Digest& approved : candidates) {
    if (*now == approved) {
      approve(key, approved);
      return true;
    }
  }
  return false;
}

bool CodeApprovals::is_known_protected(const FileKey& key, const std::string& path) const {
  std::lock_guard lock(mutex_);
  return protected_files_.contains({key, path});
}

void CodeApprovals::remember_protected(const FileKey& key, const std::string& path) {
  std::lock_guard lock(mutex_);
  if (protected_files_.size() >= MAX_FILES) protected_files_.clear();
  protected_files_.emplace(key, path);
}

std::size_t CodeApprovals::size() const {
  std::lock_guard lock(mutex_);
  return files_.size();
}

std::expected<std::vector<ExecutableMapping>, int> executable_mappings(pid_t pid,
                                                                       std::string* maps) {
  // A process that keeps moving its mappings cannot be judged; one that loads a library while
  // it is looked at settles after a retry.
  for (int attempt = 0;; ++attempt) {
    auto mappings = list_mappings(pid, maps);
    if (mappings || mappings.error() != EAGAIN || attempt == 3) return mappings;
  }
}

bool is_protected_system_file(const ExecutableMapping& mapping) {
  const struct stat& st = mapping.st;
  if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))) return false;
  std::string_view path = mapping.path;
  if (path.size() < 2 || path.front() != '/') return false;

  UniqueFd directory(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!directory) return false;
  path.remove_prefix(1);
  for (;;) {
    struct stat dir_st;
    if (::fstat(directory.get(), &dir_st) != 0 || !is_protected_directory(dir_st)) return false;
    auto slash = path.find('/');
    std::string name(path.substr(0, slash));
    if (name.empty() || name == "." || name == "..") return false;
    if (slash == std::string_view::npos) {
      struct stat now;
      if (::fstatat(directory.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        return mapping.deleted && errno == ENOENT;
      }
      if (now.st_dev == st.st_dev && now.st_ino == st.st_ino) return true;
      return mapping.deleted;  // replaced since; what is mapped is the removed file
    }
    UniqueFd next(
        ::openat(directory.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return false;
    directory = std::move(next);
    path.remove_prefix(slash + 1);
  }
}

bool maps_as_judged(pid_t pid, const MappedCodeSnapshot& snapshot) {
  const std::string base = "/proc/" + std::to_string(pid);
  UniqueFd maps_file(::open((base + "/maps").c_str(), O_RDONLY | O_CLOEXEC));
  if (!maps_file) return false;
  // The kernel's list is short and names no file; the text prints every mapping of the process.
  auto queried = posix::query_executable_file_ranges(maps_file.get());
  if (!queried || !snapshot.ranges || *queried != *snapshot.ranges) {
    auto maps = posix::read_all(maps_file.get());
    if (!maps || executable_file_lines(*maps) != snapshot.maps) return false;
  }
  // The same maps name the same files (device and inode); their keys say the contents are too.
  for (const auto& [range, key] : snapshot.files) {
    struct stat st;
    if (::stat((base + "/map_files/" + range).c_str(), &st) != 0 || file_key(st) != key) {
      return false;
    }
  }
  return true;
}

std::expected<void, SignatureProblem> check_mapped_code(pid_t pid, const SealedBundle* bundle,
                                                        CodeApprovals& approvals,
                                                        MappedCodeSnapshot* judged) {
  std::string maps;
  auto mappings = executable_mappings(pid, judged ? &maps : nullptr);
  if (!mappings) {
    if (mappings.error() == ENOENT || mappings.error() == ESRCH) {
      return std::unexpected(SignatureProblem{NO_SUCH_CODE, "the process has exited"});
    }
    return std::unexpected(
        SignatureProblem{GUEST_INVALID, "cannot read the code mapped by the process: " +
                                            common::os_error_description(mappings.error())});
  }
  for (const ExecutableMapping& mapping : *mappings) {
    if (bundle && mapping.path.size() > bundle->path.size() + 1 &&
        mapping.path.starts_with(bundle->path) && mapping.path[bundle->path.size()] == '/') {
      const ManifestEntry* sealed =
          bundle->manifest->find(std::string_view(mapping.path).substr(bundle->path.size() + 1));
      if (sealed && sealed->type == ItemType::File &&
          static_cast<std::uint64_t>(mapping.st.st_size) == sealed->size) {
        auto digest = approvals.digest(mapping.file.get(), mapping.st);
        if (digest && *digest == sealed->digest) {
          approvals.approve(file_key(mapping.st), *digest);
          continue;
        }
      }
    }
    if (approvals.is_approved(mapping.file.get(), mapping.st)) continue;
    const FileKey key = file_key(mapping.st);
    if (!mapping.deleted && approvals.is_known_protected(key, mapping.path)) continue;
    if (is_protected_system_file(mapping)) {
      if (!mapping.deleted) approvals.remember_protected(key, mapping.path);
      continue;
    }
    return std::unexpected(SignatureProblem{
        GUEST_INVALID, "the process maps " + mapping.path + (mapping.deleted ? " (deleted)" : "") +
                           ", which is neither sealed in its bundle nor a protected system file"});
  }
  if (judged) {
    auto ranges = posix::executable_file_ranges(maps);
    judged->maps = std::move(maps);
    judged->ranges.reset();
    if (ranges) judged->ranges = std::move(*ranges);  // else only the text can match
    judged->files.clear();
    for (const ExecutableMapping& mapping : *mappings) {
      // Root's and shut to group and others: its mode, its owner and its contents change only
      // by root. (The group bits show an access list's mask, so a granted writer shows there.)
      const struct stat& st = mapping.st;
      if (st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) continue;
      judged->files.emplace_back(mapping.range, file_key(st));
    }
  }
  return {};
}

}  // namespace codesign
