#pragma once
// The code a running process has mapped, judged file by file. The environment a process was
// started with says nothing reliable about what it loaded (a preloaded library can rewrite it);
// its executable mappings do. Each file-backed executable mapping, opened as root through
// /proc/<pid>/map_files, must be a file sealed in the verified bundle with the sealed contents,
// or a file that only root can change reached through directories that only root can change.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codesign/bundle_manifest.hpp"
#include "codesign/signature_status.hpp"
#include "common/util/unique_fd.hpp"
#include "posix/proc_maps.hpp"

namespace codesign {

// What identifies a file's contents as long as none of its parts change: a write changes the
// change time, and nobody but root can set it back.
struct FileKey {
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t change_seconds = 0;
  long change_nanoseconds = 0;
  std::int64_t size = 0;
  friend auto operator<=>(const FileKey&, const FileKey&) = default;
};

FileKey file_key(const struct stat& st);

// Digests of files, and which of them were found to be sealed code, for the helper's lifetime.
// A digest is reused only for a file whose change time lay clearly before the hashing began: a
// file written again within the same clock tick would otherwise keep its key with new contents.
// Thread-safe; hashing runs outside the lock.
class CodeApprovals {
 public:
  // The SHA-256 of the open file `fd` (whose fstat is `st`), from the cache when it may be
  // trusted. Error: the errno of a failed read.
  std::expected<Digest, int> digest(int fd, const struct stat& st);
  // Records that the file with this key and digest is code sealed in a verified bundle.
  void approve(const FileKey& key, const Digest& digest);
  // The file was approved and still has the contents it had then.
  bool is_approved(int fd, const struct stat& st);
  // The same, answered from what is known of the key alone; false when only reading the file
  // again could tell.
  bool is_known_approved(const struct stat& st) const;

  std::size_t size() const;

  // Whether a file at `path` with this key was found to be a protected system file. Only root
  // can make such a file, or a directory on its path, writable by others, and doing so changes
  // the file's key or needs root; so the verdict holds for as long as the key does.
  bool is_known_protected(const FileKey& key, const std::string& path) const;
  void remember_protected(const FileKey& key, const std::string& path);

 private:
  struct Known {
    Digest digest{};
    bool settled = false;  // the digest may be reused without reading the file again
    bool sealed = false;
  };
  static constexpr std::size_t MAX_FILES = 16384;

  mutable std::mutex mutex_;
  std::map<FileKey, Known> files_;
  std::set<std::pair<FileKey, std::string>> protected_files_;
};

// One file-backed executable mapping (the first of those of the same file).
struct ExecutableMapping {
  std::string range;  // its name under /proc/<pid>/map_files
  std::string path;   // the kernel's name of the file now, without the " (deleted)" mark
  bool deleted = false;
  common::util::UniqueFd file;  // the mapped file itself, whatever its path names now
  struct stat st {};
};

// Every file-backed executable mapping of process `pid`, and (when `maps` is given) their lines
// of /proc/<pid>/maps, as they were read. Error: errno (ENOENT, ESRCH: gone).
std::expected<std::vector<ExecutableMapping>, int> executable_mappings(pid_t pid,
                                                                       std::string* maps = nullptr);

// What a successful check of a process's mapped code judged: the lines of its maps that map files
// executable (each naming its file's device and inode), and each such file that another than
// root could write, with its key. While those lines read the same and every such file keeps its
// key, the verdict stands: the contents of a file only root can write change only by root.
struct MappedCodeSnapshot {
  std::string maps;
  std::optional<std::vector<posix::MappedRange>> ranges;  // the same lines, as numbers
  std::vector<std::pair<std::string, FileKey>> files;     // a range of each file, its key then
};

// The process maps what `snapshot` judged, each file unchanged: the kernel's list of its
// executable file mappings (its maps text where the kernel cannot list them alone, or where the
// two disagree) and one stat of each mapped file that another than root could write.
bool maps_as_judged(pid_t pid, const MappedCodeSnapshot& snapshot);

// A regular file that root owns and that neither its group nor others may write, whose path's
// every directory root owns and others may not write (group-writable only for group root), and
// that is still the file at that path, or was removed from it (a library replaced by a package
// upgrade while the process runs).
bool is_protected_system_file(const ExecutableMapping& mapping);

// The bundle a peer was verified against.
struct SealedBundle {
  std::string path;  // absolute, without a trailing slash
  const Manifest* manifest = nullptr;
};

// Checks every executable mapping of `pid`: a file of `bundle` with the contents its manifest
// seals (approved for later checks), an approved file, or a protected system file. Without a
// bundle only the last two count. Problems: GUEST_INVALID naming the first other mapping,
// NO_SUCH_CODE when the process has gone.
// With `judged`, a successful check leaves there what it judged.
std::expected<void, SignatureProblem> check_mapped_code(pid_t pid, const SealedBundle* bundle,
                                                        CodeApprovals& approvals,
                                                        MappedCodeSnapshot* judged = nullptr);

}  // namespace codesign
