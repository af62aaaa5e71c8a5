#pragma once
// The status codes of the Linux code-signature scheme. They are the macOS code-signing codes for
// the same conditions, so a log line reads alike on both systems; each comes with a
// description, to which a detail (which file, which certificate) is appended after ": ".

#include <cstdint>
#include <string>
#include <string_view>

namespace codesign {

using OSStatus = std::int32_t;

// How much of a bundle a static check reads: everything, or only what names the code (the
// signature, Info.plist and the main executable).
enum class CheckScope { Full, Identity };

// errSecCS... values.
inline constexpr OSStatus INVALID_OBJECT_REF = -67071;
inline constexpr OSStatus STATIC_CODE_NOT_FOUND = -67068;
inline constexpr OSStatus NO_SUCH_CODE = -67065;
inline constexpr OSStatus GUEST_INVALID = -67063;
inline constexpr OSStatus UNSIGNED = -67062;
inline constexpr OSStatus SIGNATURE_FAILED = -67061;
inline constexpr OSStatus SIGNATURE_NOT_VERIFIABLE = -67060;
inline constexpr OSStatus SIGNATURE_UNSUPPORTED = -67059;
inline constexpr OSStatus RESOURCES_INVALID = -67055;
inline constexpr OSStatus BAD_RESOURCE = -67054;
inline constexpr OSStatus REQUIREMENT_INVALID = -67052;
inline constexpr OSStatus REQUIREMENT_UNSUPPORTED = -67051;
inline constexpr OSStatus REQUIREMENT_FAILED = -67050;
inline constexpr OSStatus INTERNAL_ERROR = -67048;
inline constexpr OSStatus STATIC_CODE_CHANGED = -67034;
inline constexpr OSStatus INFO_PLIST_FAILED = -67030;
inline constexpr OSStatus BAD_BUNDLE_FORMAT = -67028;
inline constexpr OSStatus SIGNATURE_UNTRUSTED = -66996;

// The fixed description of a status of the table above.
std::string_view status_description(OSStatus status);

// A failed check: the status and the detail of what was found.
struct SignatureProblem {
  OSStatus status = 0;
  std::string detail;  // may be empty

  // description[: detail], the text an error object of this problem carries.
  std::string text() const;
};

}  // namespace codesign
