#pragma once
// Hexadecimal digits of bytes: two per byte, the high half first.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace common::util {

enum class HexCase { Lower, Upper };

// The digit of the low four bits of `value`.
constexpr char hex_digit(unsigned value, HexCase letters = HexCase::Lower) {
  return (letters == HexCase::Lower ? "0123456789abcdef" : "0123456789ABCDEF")[value & 0xF];
}

// The value of a hexadecimal digit of either case, or -1 for any other character.
constexpr int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends the two digits of `byte`.
inline void append_hex_byte(std::string& out, unsigned char byte,
                            HexCase letters = HexCase::Lower) {
  out.push_back(hex_digit(byte >> 4, letters));
  out.push_back(hex_digit(byte, letters));
}

// Appends the digits of every byte.
void append_hex(std::string& out, std::string_view bytes, HexCase letters = HexCase::Lower);

// The digits of every byte, lower case.
std::string to_hex(std::string_view bytes);
std::string to_hex(std::span<const unsigned char> bytes);

}  // namespace common::util
