#pragma once
// Compilation of the code-signing requirement that clients and new bundles must satisfy.

#include <memory>
#include <string_view>

#include "common/error.hpp"
#include "platform/code_signing.hpp"
#include "platform/platform.hpp"

namespace util::security {

// Compiles CLIENT_CODE_REQUIREMENT anew (nothing is cached). The caller owns the result.
// Error: the "SecRequirementCreate" text of the platform's error object.
common::Result<std::unique_ptr<platform::Requirement>>
create_sec_requirement_from_requirement_string(platform::Platform& platform);

// The same for any requirement text.
common::Result<std::unique_ptr<platform::Requirement>> create_sec_requirement(
    platform::Platform& platform, std::string_view requirement_text);

}  // namespace util::security
