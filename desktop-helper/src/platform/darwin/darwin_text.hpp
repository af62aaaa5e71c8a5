#pragma once
// Text, paths and errors across the CoreFoundation boundary. Plain C++ over CoreFoundation;
// the Foundation counterparts are in foundation_text.hpp. All functions are free of shared
// state and may run on any thread.

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/darwin/cf_ref.hpp"
#include "util/macos/platform_error.hpp"

namespace platform::darwin {

// A CFString's text, by the portable step algorithm over CFStringGetBytes; "" for null.
std::string cf_string_text(CFStringRef string);

// A CFString of UTF-8 text (default allocator, not an external representation); null when the
// bytes are not UTF-8.
CFRef<CFStringRef> cf_string_from_text(std::string_view utf8);

// The file URL of a UTF-8 path in POSIX style; null when the path is not UTF-8.
CFRef<CFURLRef> cf_url_from_path(std::string_view utf8_path, bool is_directory);

// A URL's string form (CFURLGetString, retained while it is read), or none.
std::optional<std::string> cf_url_string(CFURLRef url);
// A file URL's POSIX path, or none.
std::optional<std::string> cf_url_path(CFURLRef url);

// What the portable wording needs of an error object: its code and the text of its description
// copy (released here). Borrows `error`; null gives "no error object".
platform::OptionalCFError cf_error_value(CFErrorRef error);

// An error object for an errno, in the POSIX domain, as CoreFoundation calls report them.
CFRef<CFErrorRef> posix_cf_error(int code);

}  // namespace platform::darwin
