#include "common/util/quoted.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "vectors.hpp"

namespace {

using vectors::from_hex;
using vectors::read_tsv;
using vectors::to_hex;
using vectors::utf8;

namespace util = common::util;
using common::util::format_duration;
using common::util::is_valid_utf8;
using common::util::lossy_utf8;

const std::string REPLACEMENT = "\xEF\xBF\xBD";

std::string repeat(const std::string& s, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += s;
  return out;
}

// Appended piece by piece: g++ 12 at -O3 takes `"\"" + s + "\""` on a long `s` for an
// overlapping copy (a false -Wrestrict).
std::string in_quotes(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  out += s;
  out += '"';
  return out;
}

TEST(QuotedTest, MatchesEveryReferenceVector) {
  auto rows = read_tsv("quoted.tsv");
  ASSERT_GT(rows.size(), 600u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 2u);
    EXPECT_EQ(util::quoted(from_hex(row[0])), row[1]) << "input " << row[0];
  }
}

TEST(QuotedTest, EveryScalarValueIsWrittenAsItselfOrAsItsOwnEscape) {
  std::size_t escaped = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string bytes = utf8(cp);
    std::string got = util::quoted(bytes);
    if (got == "\"" + bytes + "\"") continue;
    ++escaped;
    if (cp == 0 || cp == '\t' || cp == '\r' || cp == '\n' || cp == '"' || cp == '\\') continue;
    ASSERT_EQ(got.substr(0, 4), "\"\\u{") << std::hex << static_cast<std::uint32_t>(cp);
    ASSERT_EQ(got.substr(4, got.size() - 6),
              [&] {
                char buf[16];
                std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(cp));
                return std::string(buf);
              }())
        << std::hex << static_cast<std::uint32_t>(cp);
  }
  // Planes 3-13, 15 and 16 are unassigned or private use, so most scalar values are escaped;
  // the assigned printable ones number about 150000.
  EXPECT_GT(escaped, 900000u);
  EXPECT_LT(escaped, 1000000u);
}

TEST(QuotedTest, EscapesEveryByteOfASequenceCutShortAtTheEnd) {
  // The same character cut after each of its bytes, behind ASCII runs of every length so the
  // cut falls on and off the eight-byte boundaries of the ASCII scan.
  const std::string full = "\xF0\x9F\x98\x80";
  for (std::size_t prefix = 0; prefix < 20; ++prefix) {
    std::string ascii(prefix, 'a');
    EXPECT_EQ(util::quoted(ascii + full), "\"" + ascii + full + "\"");
    EXPECT_EQ(util::quoted(ascii + full.substr(0, 3)), "\"" + ascii + "\\xF0\\x9F\\x98\"");
    EXPECT_EQ(util::quoted(ascii + full.substr(0, 1) + ascii),
              "\"" + ascii + "\\xF0" + ascii + "\"");
  }
}

TEST(QuotedTest, LongInputsKeepEveryByte) {
  std::string path = repeat("/very/long/dir", 100000);
  EXPECT_EQ(util::quoted(path), in_quotes(path));
  std::string mixed = repeat("a\xFF\n\xC3\xA9\xCC\x81", 50000);
  EXPECT_EQ(util::quoted(mixed), in_quotes(repeat("a\\xFF\\n\xC3\xA9\\u{301}", 50000)));
}

TEST(LossyUtf8Test, ReplacesEachMaximalSubpartWithOneReplacementCharacter) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const std::string R = REPLACEMENT;
  const Case cases[] = {
      // The example the Unicode standard gives for maximal subparts.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + R + R + R + "b" + R + "c" + R + R + "d"},
      // Truncated sequences: one replacement for the whole cut-off prefix.
      {"\xE2\x82", R},
      {"\xF0\x9F\x98", R},
      {"\xF0\x9F\x98"
       "A",
       R + "A"},
      {"\xE2\x82(", R + "("},
      {"\xF0(\x8C\xBC", R + "(" + R + R},
      {"\xE0\xA0\xE0\xA0\x80", R + "\xE0\xA0\x80"},
      // Overlongs, surrogates and values past U+10FFFF: the lead byte cannot be followed by the
      // second byte, so every byte is its own subpart.
      {"\xC0\xAF", R + R},
      {"\xE0\x80\xAF", R + R + R},
      {"\xF0\x8F\xBF\xBF", R + R + R + R},
      {"\xED\xA0\x80", R + R + R},
      {"\xED\xA0\xBD\xED\xB8\x80", repeat(R, 6)},
      {"\xF4\x90\x80\x80", R + R + R + R},
      {"\xF5\x80\x80\x80", R + R + R + R},
      {"\xF8\x88\x80\x80\x80", repeat(R, 5)},
      {"\xFE\xFF", R + R},
      // Valid neighbours of the excluded ranges stay.
      {"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\xE0\xA0\x80\xF0\x90\x80\x80",
       "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\xE0\xA0\x80\xF0\x90\x80\x80"},
      {"/tmp/\xFF\xFE/App.app", "/tmp/" + R + R + "/App.app"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lossy_utf8(c.input), c.expected) << util::quoted(c.input);
    EXPECT_TRUE(is_valid_utf8(lossy_utf8(c.input))) << util::quoted(c.input);
  }
}

TEST(LossyUtf8Test, AgreesWithQuotedOnWhichBytesAreInvalid) {
  // Every reference input: the text is unchanged exactly when quoting writes no \x escape, and
  // the result is always valid.
  for (const auto& row : read_tsv("quoted.tsv")) {
    std::string input = from_hex(row[0]);
    bool has_byte_escape = false;
    const std::string& q = row[1];
    for (std::size_t i = 1; i + 1 < q.size(); ++i) {
      if (q[i] != '\\') continue;
      if (q[i + 1] == 'x') has_byte_escape = true;
      ++i;  // skip the escaped character, so "\\x" is not read as a byte escape
    }
    EXPECT_EQ(lossy_utf8(input) == input, !has_byte_escape) << row[0];
    EXPECT_EQ(is_valid_utf8(input), !has_byte_escape) << row[0];
    EXPECT_TRUE(is_valid_utf8(lossy_utf8(input))) << row[0];
  }
}

TEST(LossyUtf8Test, LongInputs) {
  std::string ascii = repeat("0123456789abcdef", 1 << 16);
  EXPECT_EQ(lossy_utf8(ascii), ascii);
  EXPECT_EQ(lossy_utf8(ascii + "\xFF"), ascii + REPLACEMENT);
  EXPECT_EQ(lossy_utf8("\xFF" + ascii), REPLACEMENT + ascii);
  std::string text = repeat("h\xC3\xA9llo w\xC3\xB6rld \xF0\x9F\x98\x80 ", 40000);
  EXPECT_EQ(lossy_utf8(text), text);
  EXPECT_EQ(lossy_utf8(repeat("ab\x80", 100000)), repeat("ab" + REPLACEMENT, 100000));
  // An invalid byte at every offset around the eight-byte ASCII blocks.
  for (std::size_t at = 0; at < 40; ++at) {
    std::string s(40, 'x');
    s[at] = '\x80';
    std::string expected = std::string(at, 'x') + REPLACEMENT + std::string(39 - at, 'x');
    EXPECT_EQ(lossy_utf8(s), expected) << at;
    EXPECT_FALSE(is_valid_utf8(s)) << at;
  }
}

TEST(IsValidUtf8Test, StrictAtEveryBoundary) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("\x7F"));
  EXPECT_TRUE(is_valid_utf8("\xC2\x80"));
  EXPECT_TRUE(is_valid_utf8("\xDF\xBF"));
  EXPECT_TRUE(is_valid_utf8("\xE0\xA0\x80"));
  EXPECT_TRUE(is_valid_utf8("\xED\x9F\xBF"));
  EXPECT_TRUE(is_valid_utf8("\xEE\x80\x80"));
  EXPECT_TRUE(is_valid_utf8("\xEF\xBF\xBF"));
  EXPECT_TRUE(is_valid_utf8("\xF0\x90\x80\x80"));
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));
  EXPECT_FALSE(is_valid_utf8("\xC1\xBF"));          // overlong U+007F
  EXPECT_FALSE(is_valid_utf8("\xE0\x9F\xBF"));      // overlong U+07FF
  EXPECT_FALSE(is_valid_utf8("\xF0\x8F\xBF\xBF"));  // overlong U+FFFF
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // U+D800
  EXPECT_FALSE(is_valid_utf8("\xED\xBF\xBF"));      // U+DFFF
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // U+110000
  EXPECT_FALSE(is_valid_utf8("\xC2"));
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));
  EXPECT_FALSE(is_valid_utf8("\xC2\xC2\x80"));
  EXPECT_FALSE(is_valid_utf8("\xC2\x80\x80"));
}

// Log lines: exactly the characters that can break or disguise a line are escaped, each the way
// quoted() writes it; every other character, quotes, backslashes and invalid bytes stay as they
// are, so lines without control characters are unchanged.
TEST(EscapeControlCharactersTest, EscapesControlsAndLineSeparatorsAsQuotedDoesAndNothingElse) {
  using util::escape_control_characters;
  std::size_t escaped = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string bytes = utf8(cp);
    const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029;
    const std::string got = escape_control_characters("a" + bytes + "b");
    if (control) {
      const std::string q = util::quoted(bytes);
      ASSERT_EQ(got, "a" + q.substr(1, q.size() - 2) + "b") << std::hex << std::uint32_t(cp);
      ++escaped;
    } else {
      ASSERT_EQ(got, "a" + bytes + "b") << std::hex << std::uint32_t(cp);
    }
  }
  EXPECT_EQ(escaped, 32u + 1u + 32u + 2u);
  EXPECT_EQ(escape_control_characters("Source path: /a\nIPC: Command successful: X"),
            "Source path: /a\\nIPC: Command successful: X");
  EXPECT_EQ(escape_control_characters("\\n \"q\" \r\n\t"), "\\n \"q\" \\r\\n\\t");
  // Invalid UTF-8 is not this function's business, and a C1 lead byte cut short stays.
  EXPECT_EQ(escape_control_characters("\xC2"), "\xC2");
  EXPECT_EQ(escape_control_characters("\xE2\x80"), "\xE2\x80");
  EXPECT_EQ(escape_control_characters("\xC2\xC2\x85"), "\xC2\\u{85}");
  EXPECT_EQ(escape_control_characters(std::string(100000, 'x') + "\n"),
            std::string(100000, 'x') + "\\n");
}

TEST(FormatDurationTest, MatchesEveryReferenceVector) {
  auto rows = read_tsv("durations.tsv");
  ASSERT_GT(rows.size(), 200u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 3u);
    std::uint64_t seconds = std::stoull(row[0]);
    auto nanos = static_cast<std::uint32_t>(std::stoul(row[1]));
    EXPECT_EQ(format_duration(seconds, nanos), row[2]) << row[0] << " " << row[1];
  }
}

TEST(FormatDurationTest, NanosecondsOfASecondOrMoreCarryIntoSeconds) {
  constexpr auto MAX_SECONDS = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(format_duration(0, 1'000'000'000), "1s");
  EXPECT_EQ(format_duration(0, 1'500'000'000), "1.5s");
  EXPECT_EQ(format_duration(0, std::numeric_limits<std::uint32_t>::max()), "4.294967295s");
  EXPECT_EQ(format_duration(9, 1'000'000'001), "10.000000001s");
  // Past the 64-bit range the digits still come out exact.
  EXPECT_EQ(format_duration(MAX_SECONDS, 1'000'000'000), "18446744073709551616s");
  EXPECT_EQ(format_duration(MAX_SECONDS, 4'000'000'000), "18446744073709551619s");
  EXPECT_EQ(format_duration(MAX_SECONDS - 3, 4'000'000'001), "18446744073709551616.000000001s");
}

}  // namespace
