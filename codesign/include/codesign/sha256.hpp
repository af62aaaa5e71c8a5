#pragma once
// SHA-256 of descriptors and byte strings, streamed through a caller-provided buffer so memory
// stays bounded whatever the size of what is hashed.

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace codesign {

using Sha256Digest = std::array<unsigned char, 32>;

// A SHA-256 fed piece by piece. A failure of OpenSSL is kept and reported by finish().
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(Sha256Stream&&) noexcept;
  Sha256Stream& operator=(Sha256Stream&&) noexcept;

  void update(std::span<const unsigned char> bytes);
  // The digest of everything fed since construction; the stream is spent afterwards.
  common::Result<Sha256Digest> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Reads `fd` from its current offset to its end. Error: the OS error of a failed read, or
// OpenSSL's failure (an OS error only when it is ENOMEM).
common::Result<Sha256Digest> sha256_fd(int fd, std::span<unsigned char> buffer,
                                       std::uint64_t& bytes_read);
common::Result<Sha256Digest> sha256_bytes(std::string_view bytes);

}  // namespace codesign
