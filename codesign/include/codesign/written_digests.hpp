#pragma once
// Digests of files the helper wrote itself, taken from the bytes as it wrote them. A bundle copied
// into a directory that only root can reach and validated right after needs no second read of
// its files: what was hashed is what the copy holds, as long as its key is unchanged (any write,
// and any change of mode or owner, moves the change time, which only root could set back).

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>

#include "codesign/bundle_manifest.hpp"
#include "codesign/mapped_code.hpp"

namespace codesign {

// Thread-safe. Each digest is handed out once.
class WrittenDigests {
 public:
  void record(const FileKey& key, const Digest& digest);
  // The digest recorded for a file with this key, forgotten once taken.
  std::optional<Digest> take(const FileKey& key);

 private:
  // Digests of copies that were never validated (a copy that failed half way) are dropped once
  // this many wait.
  static constexpr std::size_t MAX_WAITING = 1 << 20;
  std::mutex mutex_;
  std::map<FileKey, Digest> waiting_;
};

// The helper's one registry, shared by the copy that records and the validation that takes.
WrittenDigests& written_digests();

}  // namespace codesign
