#include "common/util/quoted.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/util/hex.hpp"

namespace common::util {
namespace {

#include "unicode_table.inc"

bool is_escaped(char32_t cp) {
  if (cp < 0x80) return cp < 0x20 || cp == 0x7F;
  auto it = std::upper_bound(std::begin(ESCAPED_BOUNDARIES), std::end(ESCAPED_BOUNDARIES),
                             static_cast<std::uint32_t>(cp));
  return (it - std::begin(ESCAPED_BOUNDARIES)) % 2 == 1;
}

// One step of strict UTF-8 decoding at the start of `s` (which is not empty). `length` is the
// size of the well-formed sequence, or, when `valid` is false, of its maximal subpart: the longest
// prefix that could still begin a well-formed sequence (at least one byte). Every byte of such a
// subpart after the first is a continuation byte, which can never begin a sequence itself.
struct Decoded {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

Decoded decode(const unsigned char* s, std::size_t n) {
  unsigned char b0 = s[0];
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t need;
  char32_t cp;
  // The second byte's range excludes overlongs (E0, F0), surrogates (ED) and > U+10FFFF (F4).
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0, 1, false};
  }
  std::size_t i = 1;
  for (; i < need; ++i) {
    if (i >= n) return {0, i, false};
    unsigned char b = s[i];
    if (b < lo || b > hi) return {0, i, false};
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, need, true};
}

// Length of the leading run of ASCII bytes, eight at a time.
std::size_t ascii_prefix(const unsigned char* s, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s + i, 8);
    if (word & 0x8080808080808080ULL) break;
  }
  while (i < n && s[i] < 0x80) ++i;
  return i;
}

void append_unicode_escape(std::string& out, char32_t cp) {
  char digits[8];
  int count = 0;
  do {
    digits[count++] = hex_digit(cp);
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

// The decimal digits of `value` plus `carry`, without overflowing 64 bits.
std::string decimal_with_carry(std::uint64_t value, std::uint32_t carry) {
  std::string digits = std::to_string(value);
  for (auto it = digits.rbegin(); carry != 0 && it != digits.rend(); ++it) {
    std::uint32_t d = static_cast<std::uint32_t>(*it - '0') + carry;
    *it = static_cast<char>('0' + d % 10);
    carry = d / 10;
  }
  if (carry != 0) digits.insert(0, std::to_string(carry));
  return digits;
}

// `whole` followed by the `width`-digit fraction without its trailing zeros, then `unit`.
std::string with_fraction(std::string whole, std::uint32_t fraction, int width,
                          std::string_view unit) {
  // Widths are 3, 6 or 9 digits; anything else would write outside the buffer.
  width = std::clamp(width, 1, 9);
  if (fraction != 0) {
    char digits[9];
    for (int i = width - 1; i >= 0; --i) {
      digits[i] = static_cast<char>('0' + fraction % 10);
      fraction /= 10;
    }
    int used = width;
    while (used > 0 && digits[used - 1] == '0') --used;
    whole += '.';
    whole.append(digits, static_cast<std::size_t>(used));
  }
  whole += unit;
  return whole;
}

}  // namespace

std::string quoted(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::string out;
  out.reserve(n + 2);
  out += '"';
  // Characters written as they are accumulate into a run that is copied when an escape follows.
  std::size_t run_start = 0;
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      ++i;
      continue;
    }
    Decoded d = decode(s + i, n - i);
    const char* escape = nullptr;
    if (d.valid) {
      switch (d.code_point) {
        case U'\0':
          escape = "\\0";
          break;
        case U'\t':
          escape = "\\t";
          break;
        case U'\r':
          escape = "\\r";
          break;
        case U'\n':
          escape = "\\n";
          break;
        case U'"':
          escape = "\\\"";
          break;
        case U'\\':
          escape = "\\\\";
          break;
        default:
          if (!is_escaped(d.code_point)) {
            i += d.length;
            continue;
          }
      }
    }
    out.append(bytes.data() + run_start, i - run_start);
    if (escape != nullptr) {
      out += escape;
    } else if (d.valid) {
      append_unicode_escape(out, d.code_point);
    } else {
      for (std::size_t k = 0; k < d.length; ++k) {
        out += "\\x";
        append_hex_byte(out, s[i + k], HexCase::Upper);
      }
    }
    i += d.length;
    run_start = i;
  }
  out.append(bytes.data() + run_start, n - run_start);
  out += '"';
  return out;
}

std::string escape_control_characters(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::string out;
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    // Only these bytes can begin a character that is escaped here.
    if (b >= 0x20 && b != 0x7F && b != 0xC2 && b != 0xE2) {
      ++i;
      continue;
    }
    const Decoded d = decode(s + i, n - i);
    const char32_t cp = d.code_point;
    const bool escaped =
        d.valid && (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029);
    if (!escaped) {
      i += d.length;
      continue;
    }
    if (run_start == 0 && out.empty()) out.reserve(n + 8);
    out.append(text.data() + run_start, i - run_start);
    switch (cp) {
      case U'\0':
        out += "\\0";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      default:
        append_unicode_escape(out, cp);
    }
    i += d.length;
    run_start = i;
  }
  if (run_start == 0) return std::string(text);
  out.append(text.data() + run_start, n - run_start);
  return out;
}

std::string lossy_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  std::string out;
  // Valid stretches are copied whole; most lines never leave this loop before the end.
  std::size_t run_start = 0;
  while (i < n) {
    i += ascii_prefix(s + i, n - i);
    if (i == n) break;
    Decoded d = decode(s + i, n - i);
    if (!d.valid) {
      if (run_start == 0) out.reserve(n + 8);
      out.append(bytes.data() + run_start, i - run_start);
      out += "\xEF\xBF\xBD";
      run_start = i + d.length;
    }
    i += d.length;
  }
  if (run_start == 0) return std::string(bytes);
  out.append(bytes.data() + run_start, n - run_start);
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    i += ascii_prefix(s + i, n - i);
    if (i == n) break;
    Decoded d = decode(s + i, n - i);
    if (!d.valid) return false;
    i += d.length;
  }
  return true;
}

std::string format_duration(std::uint64_t seconds, std::uint32_t nanoseconds) {
  constexpr std::uint32_t NANOS_PER_SECOND = 1'000'000'000;
  // A nanosecond count of a second or more carries into the seconds, as a normalized delay has it.
  const std::uint32_t carry = nanoseconds / NANOS_PER_SECOND;
  nanoseconds %= NANOS_PER_SECOND;
  if (seconds != 0 || carry != 0) {
    return with_fraction(decimal_with_carry(seconds, carry), nanoseconds, 9, "s");
  }
  if (nanoseconds >= 1'000'000) {
    return with_fraction(std::to_string(nanoseconds / 1'000'000), nanoseconds % 1'000'000, 6, "ms");
  }
  if (nanoseconds >= 1'000) {
    return with_fraction(std::to_string(nanoseconds / 1'000), nanoseconds % 1'000, 3, "\xC2\xB5s");
  }
  return std::to_string(nanoseconds) + "ns";
}

}  // namespace common::util
