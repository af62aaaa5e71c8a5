#pragma once
// Text renderings shared by log lines and diagnostics.

#include <cstdint>
#include <string>
#include <string_view>

namespace common::util {

// The double-quoted, escaped rendering of bytes: \" \\ \0 \t \r \n, \u{h} for control,
// non-printable and grapheme-extending code points, \xHH for every byte outside valid UTF-8.
std::string quoted(std::string_view bytes);

// `text` with every control character (C0, DEL, C1) and the line and paragraph separators
// U+2028/U+2029 escaped as quoted() escapes them (\0 \t \r \n, else \u{h}); everything else,
// quotes, backslashes and invalid UTF-8 included, is left as it is. Applied to every log line, so
// that no value written into one can start a line of its own.
std::string escape_control_characters(std::string_view text);

// Bytes as text for a log line: every invalid UTF-8 sequence becomes U+FFFD (maximal subparts).
std::string lossy_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// A delay written as 500ms, 1s, 1.5s, 45.6µs, 0ns: the largest unit that is at least 1,
// fraction digits without trailing zeros.
std::string format_duration(std::uint64_t seconds, std::uint32_t nanoseconds);

}  // namespace common::util
