#pragma once
// The CoreFoundation string to UTF-8 text conversion, without CoreFoundation.
//
// The algorithm lives here, in portable code, so that it is tested where the helper is built;
// the darwin layer only supplies the step that converts a range of the string's UTF-16 units
// (CFStringGetBytes) and the length (CFStringGetLength).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace util::macos {

// How many bytes one conversion step may produce.
inline constexpr std::size_t CF_STRING_STEP_BYTES = 32;

// The answer of one conversion step: how many UTF-16 units it converted and how many bytes of
// the buffer it filled. A step converts whole characters only and stops before a unit that has
// no UTF-8 form (an unpaired surrogate), so it may convert nothing.
struct ConvertedRange {
  std::int64_t units = 0;
  std::size_t bytes = 0;
};

// The string's current length in UTF-16 units.
using StringLength = std::function<std::int64_t()>;
// Converts the `count` units from `start` (the rest of the string) into `buffer`, at most its
// size.
using ConvertRange =
    std::function<ConvertedRange(std::int64_t start, std::int64_t count, std::span<char> buffer)>;

// The string as UTF-8 text: step by step through a CF_STRING_STEP_BYTES buffer, each step over
// the rest of the string as long as it is before that step, until a step converts nothing at the
// end; every unit no step can convert becomes one U+FFFD.
// A step that claims more units than remain, or more bytes than the buffer holds, is a broken
// platform invariant: the text ends there rather than read or loop beyond the string.
std::string cf_string_text(const StringLength& length, const ConvertRange& convert);

}  // namespace util::macos
