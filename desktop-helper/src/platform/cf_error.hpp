#pragma once
// A CoreFoundation error object as a value, so that platform answers carry it without
// CoreFoundation: its code (CFErrorGetCode) and the text of its description copy
// (CFErrorCopyDescription), absent when that copy was null.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct CFError {
  std::int64_t code = 0;
  std::optional<std::string> description;
  friend bool operator==(const CFError&, const CFError&) = default;
};

// An error out-parameter after a failed call: null (nullopt) or an error object. Named apart
// from CoreFoundation's own reference type, which darwin code sees next to it.
using OptionalCFError = std::optional<CFError>;

}  // namespace platform
