#pragma once
// SHA-256 of descriptors and byte strings, streamed through a caller-provided buffer so memory
// stays bounded whatever the size of what is hashed.

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace codesign {

using Sha256Digest = std::array<unsigned char, 32>;

// Reads `fd` from its current offset to its end. Error: the OS error of a failed read, or
// OpenSSL's failure (an OS error only when it is ENOMEM).
common::Result<Sha256Digest> sha256_fd(int fd, std::span<unsigned char> buffer,
                                       std::uint64_t& bytes_read);
common::Result<Sha256Digest> sha256_bytes(std::string_view bytes);

}  // namespace codesign
