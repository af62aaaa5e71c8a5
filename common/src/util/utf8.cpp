#include "common/util/utf8.hpp"

namespace common::util {

bool append_utf8(std::string& out, char32_t cp) {
  auto byte = [](char32_t bits) { return static_cast<char>(bits); };
  if (cp < 0x80) {
    out.push_back(byte(cp));
  } else if (cp < 0x800) {
    out.push_back(byte(0xC0 | (cp >> 6)));
    out.push_back(byte(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(byte(0xE0 | (cp >> 12)));
    out.push_back(byte(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(byte(0x80 | (cp & 0x3F)));
  } else if (cp <= 0x10FFFF) {
    out.push_back(byte(0xF0 | (cp >> 18)));
    out.push_back(byte(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(byte(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(byte(0x80 | (cp & 0x3F)));
  } else {
    return false;
  }
  return true;
}

}  // namespace common::util
