#include "util/macos/cf_string_text.hpp"

#include <array>

namespace util::macos {

std::string cf_string_text(const StringLength& length, const ConvertRange& convert) {
  static constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";
  std::string text;
  std::array<char, CF_STRING_STEP_BYTES> buffer;
  std::int64_t index = 0;
  for (;;) {
    const std::int64_t units = length();
    const std::int64_t rest = units > index ? units - index : 0;
    const ConvertedRange step = convert(index, rest, std::span<char>(buffer));
    if (step.units < 0 || step.units > rest || step.bytes > buffer.size()) break;
    if (step.units > 0) {
      text.append(buffer.data(), step.bytes);
      index += step.units;
    } else if (index >= units) {
      break;
    } else {
      // A unit without a UTF-8 form: the next step starts after it.
      text.append(REPLACEMENT_CHARACTER);
      ++index;
    }
  }
  return text;
}

}  // namespace util::macos
