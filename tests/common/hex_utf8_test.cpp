// The shared digit and UTF-8 routines at their edges: the cases and values every encoder and
// parser of the project now relies on.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/util/hex.hpp"
#include "common/util/quoted.hpp"
#include "common/util/utf8.hpp"

namespace {

using common::util::append_hex;
using common::util::append_hex_byte;
using common::util::append_utf8;
using common::util::hex_value;
using common::util::HexCase;
using common::util::to_hex;

TEST(HexTest, EveryByteGetsTwoDigitsHighFirstInTheCaseAsked) {
  const unsigned char edges[] = {0x00, 0x09, 0x0A, 0x0F, 0x10, 0x7F, 0x80, 0xA5, 0xF0, 0xFF};
  EXPECT_EQ(to_hex(edges), "00090a0f107f80a5f0ff");
  std::string upper = "%";
  append_hex(upper, std::string_view(reinterpret_cast<const char*>(edges), sizeof edges),
             HexCase::Upper);
  EXPECT_EQ(upper, "%00090A0F107F80A5F0FF");
  EXPECT_EQ(to_hex(std::string_view("")), "");
  // Bytes above 0x7F are negative as char: the digits must still come from the unsigned value.
  EXPECT_EQ(to_hex(std::string_view("\x80\xff", 2)), "80ff");
}

TEST(HexTest, DigitValuesRoundTripAndNothingElseIsADigit) {
  for (unsigned byte = 0; byte < 256; ++byte) {
    std::string digits;
    append_hex_byte(digits, static_cast<unsigned char>(byte));
    std::string upper;
    append_hex_byte(upper, static_cast<unsigned char>(byte), HexCase::Upper);
    ASSERT_EQ(hex_value(digits[0]) * 16 + hex_value(digits[1]), static_cast<int>(byte));
    ASSERT_EQ(hex_value(upper[0]) * 16 + hex_value(upper[1]), static_cast<int>(byte));
  }
  int digits = 0;
  for (int c = -128; c < 128; ++c) {
    const int value = hex_value(static_cast<char>(c));
    if (value >= 0) ++digits;
    const bool is_digit =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    EXPECT_EQ(value >= 0, is_digit) << c;
  }
  EXPECT_EQ(digits, 22);
  // The neighbours of each range.
  for (char c : {'/', ':', '@', 'G', '`', 'g', '\0'}) EXPECT_EQ(hex_value(c), -1) << c;
}

std::string utf8(char32_t cp) {
  std::string out;
  EXPECT_TRUE(append_utf8(out, cp));
  return out;
}

TEST(Utf8Test, EachLengthStartsAndEndsWhereTheFormatSays) {
  EXPECT_EQ(utf8(0x00), std::string(1, '\0'));
  EXPECT_EQ(utf8(0x7F), "\x7F");
  EXPECT_EQ(utf8(0x80), "\xC2\x80");
  EXPECT_EQ(utf8(0x7FF), "\xDF\xBF");
  EXPECT_EQ(utf8(0x800), "\xE0\xA0\x80");
  EXPECT_EQ(utf8(0xFFFF), "\xEF\xBF\xBF");
  EXPECT_EQ(utf8(0x10000), "\xF0\x90\x80\x80");
  EXPECT_EQ(utf8(0x10FFFF), "\xF4\x8F\xBF\xBF");
}

TEST(Utf8Test, AboveTheLastCodePointNothingIsWritten) {
  for (char32_t cp :
       {char32_t{0x110000}, char32_t{0x1FFFFF}, char32_t{0x7FFFFFFF}, char32_t{0xFFFFFFFF}}) {
    std::string out = "kept";
    EXPECT_FALSE(append_utf8(out, cp)) << static_cast<unsigned long>(cp);
    EXPECT_EQ(out, "kept");
  }
}

// Surrogates get their three bytes, which no validator may take for text; every other scalar
// value is valid UTF-8 of the length its range gives.
TEST(Utf8Test, OnlySurrogatesEncodeToInvalidText) {
  EXPECT_EQ(utf8(0xD800), "\xED\xA0\x80");
  EXPECT_EQ(utf8(0xDFFF), "\xED\xBF\xBF");
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    std::string bytes;
    ASSERT_TRUE(append_utf8(bytes, cp));
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    ASSERT_EQ(common::util::is_valid_utf8(bytes), !surrogate) << static_cast<unsigned long>(cp);
    const std::size_t length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    ASSERT_EQ(bytes.size(), length) << static_cast<unsigned long>(cp);
  }
}

}  // namespace
