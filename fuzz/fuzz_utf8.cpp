// Invariants that tie the renderings together on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/util/quoted.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool valid = common::util::is_valid_utf8(bytes);
  const std::string lossy = common::util::lossy_utf8(bytes);
  if (!common::util::is_valid_utf8(lossy)) std::abort();
  if (valid != (lossy == bytes)) std::abort();
  // Every byte is written as itself, or as an escape of at most ten characters (\u{10ffff}).
  const std::string quoted = common::util::quoted(bytes);
  if (!common::util::is_valid_utf8(quoted)) std::abort();
  if (quoted.size() < size + 2 || quoted.size() > 10 * size + 2) std::abort();
  return 0;
}
