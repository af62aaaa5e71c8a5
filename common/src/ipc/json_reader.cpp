#include "json_reader.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "common/util/hex.hpp"
#include "common/util/quoted.hpp"
#include "common/util/utf8.hpp"

namespace common::ipc::json {
namespace {

// Exact powers of ten as the compiler rounds the literals; scaling by one of them is what
// decides the double that a number with a fraction or exponent becomes, and so the digits a
// type error shows. (Deliberately not a correctly rounded decimal conversion: the reported
// digits must match the established behaviour, which scales once by a table entry.)
constexpr std::array<double, 309> POW10 = {
    1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,
    1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,
    1e26,  1e27,  1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,
    1e39,  1e40,  1e41,  1e42,  1e43,  1e44,  1e45,  1e46,  1e47,  1e48,  1e49,  1e50,  1e51,
    1e52,  1e53,  1e54,  1e55,  1e56,  1e57,  1e58,  1e59,  1e60,  1e61,  1e62,  1e63,  1e64,
    1e65,  1e66,  1e67,  1e68,  1e69,  1e70,  1e71,  1e72,  1e73,  1e74,  1e75,  1e76,  1e77,
    1e78,  1e79,  1e80,  1e81,  1e82,  1e83,  1e84,  1e85,  1e86,  1e87,  1e88,  1e89,  1e90,
    1e91,  1e92,  1e93,  1e94,  1e95,  1e96,  1e97,  1e98,  1e99,  1e100, 1e101, 1e102, 1e103,
    1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116,
    1e117, 1e118, 1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129,
    1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142,
    1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155,
    1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168,
    1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179, 1e180, 1e181,
    1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194,
    1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207,
    1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220,
    1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233,
    1e234, 1e235, 1e236, 1e237, 1e238, 1e239, 1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246,
    1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259,
    1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272,
    1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285,
    1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298,
    1e299, 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t I32_MAX = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t I32_MIN = std::numeric_limits<std::int32_t>::min();

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Whether significand * 10 + digit no longer fits in 64 bits.
bool u64_overflows(std::uint64_t significand, unsigned digit) {
  return significand >= U64_MAX / 10 && (significand > U64_MAX / 10 || digit > U64_MAX % 10);
}

// Bytes that end a run of plain string content: the quote, the backslash and the controls.
constexpr std::array<bool, 128> STRING_STOP = [] {
  std::array<bool, 128> stop{};
  for (int c = 0; c < 0x20; ++c) stop[c] = true;
  stop['"'] = true;
  stop['\\'] = true;
  return stop;
}();

// Length of the well-formed UTF-8 sequence that starts with the non-ASCII byte at `s`, or 0.
// The second byte's range excludes overlong forms (E0, F0), surrogates (ED) and values beyond
// U+10FFFF (F4).
std::size_t utf8_sequence(const unsigned char* s, std::size_t available) {
  const unsigned char lead = s[0];
  std::size_t need;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (available < need || s[1] < low || s[1] > high) return 0;
  for (std::size_t i = 2; i < need; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
  }
  return need;
}

std::int64_t saturate_i32(std::int64_t v) {
  return v > I32_MAX ? I32_MAX : v < I32_MIN ? I32_MIN : v;
}

}  // namespace

std::string_view syntax_text(Syntax syntax) {
  switch (syntax) {
    case Syntax::EofWhileParsingList:
      return "EOF while parsing a list";
    case Syntax::EofWhileParsingObject:
      return "EOF while parsing an object";
    case Syntax::EofWhileParsingString:
      return "EOF while parsing a string";
    case Syntax::EofWhileParsingValue:
      return "EOF while parsing a value";
    case Syntax::ExpectedColon:
      return "expected `:`";
    case Syntax::ExpectedListCommaOrEnd:
      return "expected `,` or `]`";
    case Syntax::ExpectedObjectCommaOrEnd:
      return "expected `,` or `}`";
    case Syntax::ExpectedSomeIdent:
      return "expected ident";
    case Syntax::ExpectedSomeValue:
      return "expected value";
    case Syntax::InvalidEscape:
      return "invalid escape";
    case Syntax::InvalidNumber:
      return "invalid number";
    case Syntax::NumberOutOfRange:
      return "number out of range";
    case Syntax::InvalidUnicodeCodePoint:
      return "invalid unicode code point";
    case Syntax::ControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case Syntax::KeyMustBeAString:
      return "key must be a string";
    case Syntax::LoneLeadingSurrogateInHexEscape:
      return "lone leading surrogate in hex escape";
    case Syntax::TrailingComma:
      return "trailing comma";
    case Syntax::TrailingCharacters:
      return "trailing characters";
    case Syntax::UnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case Syntax::RecursionLimitExceeded:
      return "recursion limit exceeded";
  }
  return "invalid JSON";
}

std::string failure_text(std::string_view payload, const Failure& failure) {
  if (!failure.positioned) return failure.text;
  const std::size_t offset = std::min(failure.offset, payload.size());
  const std::string_view before = payload.substr(0, offset);
  const std::size_t last_feed = before.rfind('\n');
  const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
  std::size_t line = 1;
  for (std::size_t i = 0; i < line_start; ++i) line += before[i] == '\n';
  return failure.text + " at line " + std::to_string(line) + " column " +
         std::to_string(offset - line_start);
}

// The shortest scientific form that reads back as `value`, as to_chars gives it; to_chars for
// floating point is missing from the C++ library of macOS before 13.3. At the shortest length
// that round-trips, the correctly rounded digits of printf are the ones closest to the value,
// which is what to_chars chooses too.
std::string shortest_scientific(double value) {
  char buffer[40];
  for (int precision = 0; precision < 17; ++precision) {
    const int n = std::snprintf(buffer, sizeof buffer, "%.*e", precision, value);
    if (n > 0 && std::strtod(buffer, nullptr) == value) return std::string(buffer, n);
  }
  const int n = std::snprintf(buffer, sizeof buffer, "%.16e", value);
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string format_float(double value) {
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  const std::string scientific = shortest_scientific(value);
  std::string_view text(scientific);
  std::string out;
  if (text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  // text is d[.ddd]e(+|-)xx: the shortest digits that read back as the value.
  const std::size_t e = text.find('e');
  std::string digits(1, text[0]);
  if (e > 1) digits.append(text.substr(2, e - 2));
  const bool negative_exponent = text[e + 1] == '-';
  int exponent = 0;
  std::from_chars(text.data() + e + 2, text.data() + text.size(), exponent);
  if (negative_exponent) exponent = -exponent;

  const int length = static_cast<int>(digits.size());
  const int kk = exponent + 1;  // 10^(kk-1) <= |value| < 10^kk
  if (kk >= length && kk <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(kk - length), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {
    out.append(digits, 0, static_cast<std::size_t>(kk));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(kk));
  } else if (kk > -5 && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out += digits;
  } else {
    out.push_back(digits[0]);
    if (length > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('e');
    out.push_back(kk - 1 < 0 ? '-' : '+');
    out += std::to_string(kk - 1 < 0 ? 1 - kk : kk - 1);
  }
  return out;
}

std::string Value::describe() const {
  switch (kind) {
    case Kind::Null:
      return "null";
    case Kind::Bool:
      return boolean ? "boolean `true`" : "boolean `false`";
    case Kind::U64:
      return "integer `" + std::to_string(u64) + "`";
    case Kind::I64:
      return "integer `" + std::to_string(i64) + "`";
    case Kind::F64:
      return "floating point `" + format_float(f64) + "`";
    case Kind::String:
      return "string " + common::util::quoted(text);
    case Kind::Seq:
      return "sequence";
    case Kind::Map:
      return "map";
  }
  return "value";
}

int Reader::skip_whitespace() {
  while (offset_ < size_) {
    const unsigned char c = data_[offset_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
    ++offset_;
  }
  return -1;
}

bool Reader::fail_here(Syntax syntax) {
  failure_ = Failure{std::string(syntax_text(syntax)), true, offset_};
  return false;
}

bool Reader::fail_peek(Syntax syntax) {
  failure_ = Failure{std::string(syntax_text(syntax)), true, std::min(offset_ + 1, size_)};
  return false;
}

bool Reader::fail_at_offset(std::string text) {
  failure_ = Failure{std::move(text), true, offset_};
  return false;
}

bool Reader::fail_unpositioned(std::string text) {
  failure_ = Failure{std::move(text), false, 0};
  return false;
}

bool Reader::enter_nesting() {
  if (--remaining_depth_ == 0) return fail_peek(Syntax::RecursionLimitExceeded);
  return true;
}

bool Reader::read_string(std::string& scratch, std::string_view& view) {
  const char* chars = reinterpret_cast<const char*>(data_);
  std::size_t start = offset_;
  bool escaped = false;
  // Escapes always produce whole sequences, so the decoded text is valid UTF-8 exactly when
  // every raw run between escapes is; the verdict waits for the closing quote, where it is
  // reported, so that the syntax failures met on the way come first.
  bool valid_utf8 = true;
  for (;;) {
    while (offset_ < size_) {
      const unsigned char c = data_[offset_];
      if (c < 0x80) {
        if (STRING_STOP[c]) break;
        ++offset_;
        continue;
      }
      std::size_t n = utf8_sequence(data_ + offset_, size_ - offset_);
      if (n == 0) {
        valid_utf8 = false;
        n = 1;
      }
      offset_ += n;
    }
    if (offset_ == size_) return fail_here(Syntax::EofWhileParsingString);
    const unsigned char c = data_[offset_];
    if (c == '"') {
      if (escaped) scratch.append(chars + start, offset_ - start);
      ++offset_;
      if (!valid_utf8) return fail_here(Syntax::InvalidUnicodeCodePoint);
      view = escaped ? std::string_view(scratch)
                     : std::string_view(chars + start, offset_ - 1 - start);
      return true;
    }
    if (c == '\\') {
      if (!escaped) {
        escaped = true;
        scratch.clear();
      }
      scratch.append(chars + start, offset_ - start);
      ++offset_;
      if (!read_escape(scratch)) return false;
      start = offset_;
      continue;
    }
    ++offset_;
    return fail_here(Syntax::ControlCharacterWhileParsingString);
  }
}

bool Reader::read_escape(std::string& out) {
  if (offset_ == size_) return fail_here(Syntax::EofWhileParsingString);
  switch (data_[offset_++]) {
    case '"':
      out.push_back('"');
      return true;
    case '\\':
      out.push_back('\\');
      return true;
    case '/':
      out.push_back('/');
      return true;
    case 'b':
      out.push_back('\b');
      return true;
    case 'f':
      out.push_back('\f');
      return true;
    case 'n':
      out.push_back('\n');
      return true;
    case 'r':
      out.push_back('\r');
      return true;
    case 't':
      out.push_back('\t');
      return true;
    case 'u':
      return read_unicode_escape(out);
    default:
      return fail_here(Syntax::InvalidEscape);
  }
}

bool Reader::read_hex4(std::uint16_t& out) {
  if (size_ - offset_ < 4) {
    offset_ = size_;
    return fail_here(Syntax::EofWhileParsingString);
  }
  const unsigned char* p = data_ + offset_;
  offset_ += 4;
  int value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = util::hex_value(static_cast<char>(p[i]));
    if (digit < 0) return fail_here(Syntax::InvalidEscape);
    value = value * 16 + digit;
  }
  out = static_cast<std::uint16_t>(value);
  return true;
}

bool Reader::read_unicode_escape(std::string& out) {
  std::uint16_t first = 0;
  if (!read_hex4(first)) return false;
  // A trailing surrogate cannot start a pair; the established report names it "leading".
  if (first >= 0xDC00 && first <= 0xDFFF) return fail_here(Syntax::LoneLeadingSurrogateInHexEscape);
  if (first < 0xD800 || first > 0xDBFF) {
    util::append_utf8(out, first);
    return true;
  }
  // A leading surrogate must be followed at once by an escaped trailing one.
  if (offset_ == size_) return fail_here(Syntax::EofWhileParsingString);
  if (data_[offset_++] != '\\') return fail_here(Syntax::UnexpectedEndOfHexEscape);
  if (offset_ == size_) return fail_here(Syntax::EofWhileParsingString);
  if (data_[offset_++] != 'u') return fail_here(Syntax::UnexpectedEndOfHexEscape);
  std::uint16_t second = 0;
  if (!read_hex4(second)) return false;
  if (second < 0xDC00 || second > 0xDFFF) {
    return fail_here(Syntax::LoneLeadingSurrogateInHexEscape);
  }
  util::append_utf8(out, 0x10000 + ((static_cast<char32_t>(first - 0xD800) << 10) |
                                    static_cast<char32_t>(second - 0xDC00)));
  return true;
}

bool Reader::read_ident(std::string_view rest) {
  for (const char expected : rest) {
    if (offset_ == size_) return fail_here(Syntax::EofWhileParsingValue);
    if (data_[offset_++] != static_cast<unsigned char>(expected)) {
      return fail_here(Syntax::ExpectedSomeIdent);
    }
  }
  return true;
}

bool Reader::read_colon() {
  const int c = skip_whitespace();
  if (c == ':') {
    ++offset_;
    return true;
  }
  return fail_peek(c < 0 ? Syntax::EofWhileParsingObject : Syntax::ExpectedColon);
}

// Numbers keep their digits in a u64 while they fit; past that, or with a fraction or an
// exponent, they become a double built from the u64 significand and a power of ten.
bool Reader::read_number(bool positive, Value& out) {
  if (offset_ == size_) return fail_here(Syntax::EofWhileParsingValue);
  const unsigned char first = data_[offset_++];
  if (first == '0') {
    // One leading zero only.
    if (is_digit(peek_or_null())) return fail_peek(Syntax::InvalidNumber);
    return number_tail(positive, 0, out);
  }
  if (!is_digit(first)) return fail_here(Syntax::InvalidNumber);
  std::uint64_t significand = first - '0';
  for (;;) {
    const int c = peek_or_null();
    if (!is_digit(c)) return number_tail(positive, significand, out);
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (u64_overflows(significand, digit)) {
      out.kind = Kind::F64;
      return read_long_integer(positive, significand, out.f64);
    }
    ++offset_;
    significand = significand * 10 + digit;
  }
}

bool Reader::number_tail(bool positive, std::uint64_t significand, Value& out) {
  const int c = peek_or_null();
  if (c == '.') {
    out.kind = Kind::F64;
    return read_decimal(positive, significand, 0, out.f64);
  }
  if (c == 'e' || c == 'E') {
    out.kind = Kind::F64;
    return read_exponent(positive, significand, 0, out.f64);
  }
  if (positive) {
    out.kind = Kind::U64;
    out.u64 = significand;
    return true;
  }
  // Negative integers that fit in an i64; -0 and those below i64's range become doubles.
  const auto negated = static_cast<std::int64_t>(0 - significand);
  if (negated >= 0) {
    out.kind = Kind::F64;
    out.f64 = -static_cast<double>(significand);
  } else {
    out.kind = Kind::I64;
    out.i64 = negated;
  }
  return true;
}

bool Reader::read_decimal(bool positive, std::uint64_t significand, std::int64_t exponent_before,
                          double& out) {
  ++offset_;  // '.'
  std::int64_t exponent_after = 0;
  for (int c = peek_or_null(); is_digit(c); c = peek_or_null()) {
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (u64_overflows(significand, digit)) {
      return skip_decimal_overflow(positive, significand, exponent_before + exponent_after, out);
    }
    ++offset_;
    significand = significand * 10 + digit;
    --exponent_after;
  }
  if (exponent_after == 0) {
    return fail_peek(offset_ < size_ ? Syntax::InvalidNumber : Syntax::EofWhileParsingValue);
  }
  const std::int64_t exponent = exponent_before + exponent_after;
  const int c = peek_or_null();
  if (c == 'e' || c == 'E') return read_exponent(positive, significand, exponent, out);
  return float_from_parts(positive, significand, exponent, out);
}

bool Reader::read_exponent(bool positive, std::uint64_t significand, std::int64_t starting_exponent,
                           double& out) {
  ++offset_;  // 'e' or 'E'
  bool positive_exponent = true;
  if (peek_or_null() == '+') {
    ++offset_;
  } else if (peek_or_null() == '-') {
    ++offset_;
    positive_exponent = false;
  }
  if (offset_ == size_) return fail_here(Syntax::EofWhileParsingValue);
  const unsigned char first = data_[offset_++];
  if (!is_digit(first)) return fail_here(Syntax::InvalidNumber);
  std::int64_t exponent = first - '0';
  for (int c = peek_or_null(); is_digit(c); c = peek_or_null()) {
    ++offset_;
    const int digit = c - '0';
    if (exponent >= I32_MAX / 10 && (exponent > I32_MAX / 10 || digit > I32_MAX % 10)) {
      // An exponent beyond 32 bits: infinity is refused, zero is what remains otherwise.
      if (significand != 0 && positive_exponent) return fail_here(Syntax::NumberOutOfRange);
      while (is_digit(peek_or_null())) ++offset_;
      out = positive ? 0.0 : -0.0;
      return true;
    }
    exponent = exponent * 10 + digit;
  }
  const std::int64_t final_exponent =
      saturate_i32(positive_exponent ? starting_exponent + exponent : starting_exponent - exponent);
  return float_from_parts(positive, significand, final_exponent, out);
}

bool Reader::read_long_integer(bool positive, std::uint64_t significand, double& out) {
  std::int64_t exponent = 0;
  for (;;) {
    const int c = peek_or_null();
    if (is_digit(c)) {
      ++offset_;
      ++exponent;
    } else if (c == '.') {
      return read_decimal(positive, significand, exponent, out);
    } else if (c == 'e' || c == 'E') {
      return read_exponent(positive, significand, exponent, out);
    } else {
      return float_from_parts(positive, significand, exponent, out);
    }
  }
}

bool Reader::skip_decimal_overflow(bool positive, std::uint64_t significand, std::int64_t exponent,
                                   double& out) {
  // Digits past what the significand holds no longer change the value.
  while (is_digit(peek_or_null())) ++offset_;
  const int c = peek_or_null();
  if (c == 'e' || c == 'E') return read_exponent(positive, significand, exponent, out);
  return float_from_parts(positive, significand, exponent, out);
}

bool Reader::float_from_parts(bool positive, std::uint64_t significand, std::int64_t exponent,
                              double& out) {
  double f = static_cast<double>(significand);
  for (;;) {
    const std::uint64_t magnitude =
        exponent < 0 ? static_cast<std::uint64_t>(-exponent) : static_cast<std::uint64_t>(exponent);
    if (magnitude < POW10.size()) {
      if (exponent >= 0) {
        f *= POW10[magnitude];
        if (std::isinf(f)) return fail_here(Syntax::NumberOutOfRange);
      } else {
        f /= POW10[magnitude];
      }
      break;
    }
    if (f == 0.0) break;
    if (exponent >= 0) return fail_here(Syntax::NumberOutOfRange);
    f /= 1e308;
    exponent += 308;
  }
  out = positive ? f : -f;
  return true;
}

bool Reader::read_value(Value& out, bool keep_text) {
  const int c = skip_whitespace();
  if (c < 0) return fail_peek(Syntax::EofWhileParsingValue);
  if (c == '[' || c == '{') {
    out.kind = c == '[' ? Kind::Seq : Kind::Map;
    return skip_container(c);
  }
  return read_scalar(c, out, keep_text);
}

bool Reader::read_scalar(int first, Value& out, bool keep_text) {
  switch (first) {
    case 'n':
      ++offset_;
      out.kind = Kind::Null;
      return read_ident("ull");
    case 't':
      ++offset_;
      out.kind = Kind::Bool;
      out.boolean = true;
      return read_ident("rue");
    case 'f':
      ++offset_;
      out.kind = Kind::Bool;
      out.boolean = false;
      return read_ident("alse");
    case '-':
      ++offset_;
      return read_number(false, out);
    case '"': {
      ++offset_;
      out.kind = Kind::String;
      std::string_view text;
      if (!read_string(scratch_, text)) return false;
      if (keep_text) out.text.assign(text);
      return true;
    }
    default:
      if (is_digit(first)) return read_number(true, out);
      return fail_peek(Syntax::ExpectedSomeValue);
  }
}

// Checks an array or object to its end without keeping anything. The walk keeps its own stack
// instead of recursing; the nesting limit bounds it.
bool Reader::skip_container(int open) {
  std::array<unsigned char, 128> stack;
  std::size_t depth = 0;
  bool first = true;
  Value ignored;

  if (!enter_nesting()) return false;
  ++offset_;
  stack[depth++] = static_cast<unsigned char>(open);
  while (depth > 0) {
    int c = skip_whitespace();
    if (stack[depth - 1] == '[') {
      if (c < 0) return fail_peek(Syntax::EofWhileParsingList);
      if (c == ']') {
        ++offset_;
        --depth;
        leave_nesting();
        first = false;
        continue;
      }
      if (first) {
        first = false;
      } else if (c == ',') {
        ++offset_;
        c = skip_whitespace();
        if (c == ']') return fail_peek(Syntax::TrailingComma);
        if (c < 0) return fail_peek(Syntax::EofWhileParsingValue);
      } else {
        return fail_peek(Syntax::ExpectedListCommaOrEnd);
      }
    } else {
      if (c < 0) return fail_peek(Syntax::EofWhileParsingObject);
      if (c == '}') {
        ++offset_;
        --depth;
        leave_nesting();
        first = false;
        continue;
      }
      if (first) {
        first = false;
        if (c != '"') return fail_peek(Syntax::KeyMustBeAString);
      } else if (c == ',') {
        ++offset_;
        c = skip_whitespace();
        if (c == '}') return fail_peek(Syntax::TrailingComma);
        if (c < 0) return fail_peek(Syntax::EofWhileParsingValue);
        if (c != '"') return fail_peek(Syntax::KeyMustBeAString);
      } else {
        return fail_peek(Syntax::ExpectedObjectCommaOrEnd);
      }
      ++offset_;
      std::string_view key;
      if (!read_string(scratch_, key)) return false;
      if (!read_colon()) return false;
      c = skip_whitespace();
      if (c < 0) return fail_peek(Syntax::EofWhileParsingValue);
    }
    if (c == '[' || c == '{') {
      if (!enter_nesting()) return false;
      ++offset_;
      stack[depth++] = static_cast<unsigned char>(c);
      first = true;
      continue;
    }
    if (!read_scalar(c, ignored, false)) return false;
  }
  return true;
}

}  // namespace common::ipc::json
