#pragma once
// Text renderings shared by log lines and diagnostics.

#include <cstdint>
#include <string>
#include <string_view>

namespace common::util {

// The double-quoted, escaped rendering of bytes: \" \\ \0 \t \r \n, \u{h} for control,
// non-printable and grapheme-extending code points, \xHH for every byte outside valid UTF-8.
std::string quoted(std::string_view bytes);

// Bytes as text for a log line: every invalid UTF-8 sequence becomes U+FFFD (maximal subparts).
std::string lossy_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// A delay written as 500ms, 1s, 1.5s, 45.6µs, 0ns: the largest unit that is at least 1,
// fraction digits without trailing zeros.
std::string format_duration(std::uint64_t seconds, std::uint32_t nanoseconds);

}  // namespace common::util
