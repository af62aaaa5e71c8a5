#include "common/util/hex.hpp"

namespace common::util {

void append_hex(std::string& out, std::string_view bytes, HexCase letters) {
  out.reserve(out.size() + bytes.size() * 2);
  for (char byte : bytes) append_hex_byte(out, static_cast<unsigned char>(byte), letters);
}

std::string to_hex(std::string_view bytes) {
  std::string out;
  append_hex(out, bytes);
  return out;
}

std::string to_hex(std::span<const unsigned char> bytes) {
  return to_hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace common::util
