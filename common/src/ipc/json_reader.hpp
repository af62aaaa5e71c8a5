#pragma once
// A strict JSON reader over one complete payload, with the acceptance rules and failure texts
// that the message decoder reports. Not a general JSON library: it reads scalars, validates and
// skips nested values without keeping them, and leaves the object/array walk of a message to
// its caller (tagged_enum.cpp), which needs to interleave its own checks with the syntax.
//
// Positions are byte offsets into the payload; a failure records the offset it is reported at
// and turns into " at line L column C" only when the text is built. Single-threaded; a Reader
// borrows the payload for its whole life.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace common::ipc::json {

// The syntax failures, in the words of the reports.
enum class Syntax : std::uint8_t {
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  EofWhileParsingValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedSomeIdent,
  ExpectedSomeValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  InvalidUnicodeCodePoint,
  ControlCharacterWhileParsingString,
  KeyMustBeAString,
  LoneLeadingSurrogateInHexEscape,
  TrailingComma,
  TrailingCharacters,
  UnexpectedEndOfHexEscape,
  RecursionLimitExceeded,
};

std::string_view syntax_text(Syntax syntax);

// The first failure of a decode. `positioned` is false for failures found after the text was
// read (field matching), which carry no position.
struct Failure {
  std::string text;
  bool positioned = false;
  std::size_t offset = 0;
};

// The final text: the failure's text, plus " at line L column C" when it has a position. Lines
// count line feeds before the offset; the column is the number of bytes since the last one.
std::string failure_text(std::string_view payload, const Failure& failure);

// The shortest decimal that reads back as `value`: plain for magnitudes in [1e-5, 1e16) with
// ".0" when there is no fraction, otherwise mantissa, 'e' and a signed exponent ("1e-7",
// "1.8446744073709552e+19"). `value` must be finite.
std::string format_float(double value);

enum class Kind : std::uint8_t { Null, Bool, U64, I64, F64, String, Seq, Map };

// One JSON value as far as the decoder cares: scalars whole, containers by kind only. Integers
// are U64 when not negative, I64 when negative and in range, F64 otherwise (as are numbers with
// a fraction or exponent, and integers beyond 64 bits).
struct Value {
  Kind kind = Kind::Null;
  bool boolean = false;
  std::uint64_t u64 = 0;
  std::int64_t i64 = 0;
  double f64 = 0;
  std::string text;  // String: the decoded UTF-8 bytes

  // The {found} description used in type and value errors: `integer `42``, `string "x"`, ...
  std::string describe() const;
};

class Reader {
 public:
  explicit Reader(std::string_view payload)
      : data_(reinterpret_cast<const unsigned char*>(payload.data())), size_(payload.size()) {}

  // Skips space, tab, line feed and carriage return; returns the next byte, or -1 at the end.
  int skip_whitespace();
  std::size_t offset() const { return offset_; }
  void advance() { ++offset_; }

  // A string whose opening quote has been consumed. `view` is the decoded text: a view of the
  // payload when the string has no escape, of `scratch` otherwise (valid until the next use).
  [[nodiscard]] bool read_string(std::string& scratch, std::string_view& view);
  // The rest of a literal whose first byte has been consumed ("ull" after 'n').
  [[nodiscard]] bool read_ident(std::string_view rest);
  // A number whose sign, if any, has been consumed; the reader stands on its first digit.
  [[nodiscard]] bool read_number(bool positive, Value& out);
  // Any value, after whitespace. Strings are kept only when `keep_text`; arrays and objects
  // are checked to their end (nesting limited as a whole) and reported by kind.
  [[nodiscard]] bool read_value(Value& out, bool keep_text);
  // The ':' between a member name and its value.
  [[nodiscard]] bool read_colon();

  // Entering an array or object, standing on its bracket: one level of the 127 allowed.
  [[nodiscard]] bool enter_nesting();
  void leave_nesting() { ++remaining_depth_; }

  // Failing: at the current offset ("error") or one byte further ("peek error", capped at the
  // end), or with a text that the caller built.
  [[nodiscard]] bool fail_here(Syntax syntax);
  [[nodiscard]] bool fail_peek(Syntax syntax);
  [[nodiscard]] bool fail_at_offset(std::string text);
  [[nodiscard]] bool fail_unpositioned(std::string text);

  Failure& failure() { return failure_; }

 private:
  int peek_or_null() const { return offset_ < size_ ? data_[offset_] : 0; }
  [[nodiscard]] bool read_escape(std::string& out);
  [[nodiscard]] bool read_unicode_escape(std::string& out);
  [[nodiscard]] bool read_hex4(std::uint16_t& out);
  [[nodiscard]] bool read_scalar(int first, Value& out, bool keep_text);
  [[nodiscard]] bool skip_container(int open);
  [[nodiscard]] bool number_tail(bool positive, std::uint64_t significand, Value& out);
  [[nodiscard]] bool read_decimal(bool positive, std::uint64_t significand,
                                  std::int64_t exponent_before, double& out);
  [[nodiscard]] bool read_exponent(bool positive, std::uint64_t significand,
                                   std::int64_t starting_exponent, double& out);
  [[nodiscard]] bool read_long_integer(bool positive, std::uint64_t significand, double& out);
  [[nodiscard]] bool skip_decimal_overflow(bool positive, std::uint64_t significand,
                                           std::int64_t exponent, double& out);
  [[nodiscard]] bool float_from_parts(bool positive, std::uint64_t significand,
                                      std::int64_t exponent, double& out);

  const unsigned char* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  int remaining_depth_ = 128;
  std::string scratch_;
  Failure failure_;
};

}  // namespace common::ipc::json
