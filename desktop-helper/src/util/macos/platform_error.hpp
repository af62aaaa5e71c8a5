#pragma once
// How platform failures and platform text become the system's error values and texts.
//
// The platform layer reports facts: a bare status, an error object (code + description), "no
// result", a Foundation error's localized description. These routines give them their one fixed
// wording, so every platform (and the fake used by tests) reads the same in the log.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "platform/cf_error.hpp"

namespace util::macos {

// "{operation} failed with error: unknown" for a null error, otherwise
// "{operation} failed with code: {code} and error: {description}" ("unknown" when the
// description is absent). Always a general error of kind Other.
common::Error error_from_cf_error(const platform::OptionalCFError& error,
                                  std::string_view operation);

// "{operation} failed with code: {status}" for a call that reports only a status.
common::Error error_from_status(std::string_view operation, std::int32_t status);

// "{operation} failed with error: unknown" for a creating call that returned no result and no
// error object.
common::Error error_from_null_result(std::string_view operation);

// The error of a failed Foundation call: its localized description, or, when the call left its
// error out-parameter empty, the description of the substitute error (domain
// SUBSTITUTE_NS_ERROR_DOMAIN, code 0).
inline constexpr std::string_view SUBSTITUTE_NS_ERROR_DOMAIN = "KolvarisDesktopHelper";
common::Error error_from_ns_error(const std::optional<std::string>& localized_description);
// The localized description Foundation gives an error of `domain` and `code` without user info.
std::string ns_error_default_description(std::string_view domain, std::int64_t code);

// A path handed to the platform must be UTF-8. Fails with
// "Could not convert \"{argument}\" to a \"&str\"" (argument: source_path, app_path, ...).
common::Result<std::string_view> path_to_str(std::string_view path, std::string_view argument);
// The same for a file name: "Could not convert file name to a \"&str\"".
common::Result<std::string_view> file_name_to_str(std::string_view name);

// Debug rendering of a raw CFURLEnumeratorResult: "CFURLEnumeratorResult(4)".
std::string enumerator_result_debug(std::int64_t raw);

}  // namespace util::macos
