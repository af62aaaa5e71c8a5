#pragma once
// Reading a descriptor to its end, for files whose size says nothing (/proc) or may change.

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <type_traits>

#include "posix/eintr.hpp"

namespace posix {

// Reads `fd` from its offset to the end, handing every chunk read to `consume`, which may answer
// false to stop early (or nothing, to read on). Blocks as read(2) does. Error: errno.
template <typename Consume>
std::expected<void, int> read_chunks(int fd, Consume&& consume) {
  std::array<char, 16384> buffer;
  for (;;) {
    ssize_t n = retry_eintr([&] { return ::read(fd, buffer.data(), buffer.size()); });
    if (n < 0) return std::unexpected(errno);
    if (n == 0) return {};
    std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
    if constexpr (std::is_void_v<decltype(consume(chunk))>) {
      consume(chunk);
    } else if (!consume(chunk)) {
      return {};
    }
  }
}

// Everything `fd` reads from its offset to the end. Errors (errno): EFBIG once more than
// `max_size` bytes arrive.
std::expected<std::string, int> read_all(int fd, std::size_t max_size = SIZE_MAX);

// The same for the file at `path`, opened read-only and close-on-exec.
std::expected<std::string, int> read_file(const std::string& path, std::size_t max_size = SIZE_MAX);

}  // namespace posix
