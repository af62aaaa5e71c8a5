#pragma once
// Static code-signature validation of an application bundle on disk.

#include <string_view>

#include "common/error.hpp"
#include "platform/code_signing.hpp"
#include "platform/files.hpp"
#include "platform/platform.hpp"

namespace main_service {

// Checks that the bundle at `app_path` (bytes, not necessarily UTF-8) is validly signed and
// satisfies CLIENT_CODE_REQUIREMENT, compiled anew on every call. Reads the whole bundle and
// blocks the calling thread meanwhile; changes nothing on disk and logs nothing.
common::Status validate_app_package_signature(platform::Platform& platform,
                                              std::string_view app_path);

// The same check against another requirement text (the signing tool's verify command).
common::Status validate_app_package_signature(platform::Platform& platform,
                                              std::string_view app_path,
                                              std::string_view requirement_text);

// The check of the bundle at a file URL, through the location the URL pins where the platform
// pins one, reading as much of the bundle as `scope` says.
common::Status validate_app_package_signature(platform::Platform& platform,
                                              const platform::FileUrl& url,
                                              platform::ValidationScope scope);

}  // namespace main_service
