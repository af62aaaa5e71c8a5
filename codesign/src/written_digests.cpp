#include "codesign/written_digests.hpp"

namespace codesign {

void WrittenDigests::record(const FileKey& key, const Digest& digest) {
  std::lock_guard lock(mutex_);
  if (waiting_.size() >= MAX_WAITING) waiting_.clear();
  waiting_[key] = digest;
}

std::optional<Digest> WrittenDigests::take(const FileKey& key) {
  std::lock_guard lock(mutex_);
  auto it = waiting_.find(key);
  if (it == waiting_.end()) return std::nullopt;
  Digest digest = it->second;
  waiting_.erase(it);
  return digest;
}

WrittenDigests& written_digests() {
  static WrittenDigests registry;
  return registry;
}

}  // namespace codesign
