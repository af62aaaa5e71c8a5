#include "util/security/requirement.hpp"

#include "common/constants.hpp"
#include "util/macos/platform_error.hpp"

namespace util::security {

common::Result<std::unique_ptr<platform::Requirement>> create_sec_requirement(
    platform::Platform& platform, std::string_view requirement_text) {
  auto requirement = platform.code_signing->create_requirement(requirement_text);
  if (!requirement) {
    return common::fail(
        util::macos::error_from_cf_error(requirement.error().error, "SecRequirementCreate"));
  }
  return std::move(*requirement);
}

common::Result<std::unique_ptr<platform::Requirement>>
create_sec_requirement_from_requirement_string(platform::Platform& platform) {
  return create_sec_requirement(platform, common::CLIENT_CODE_REQUIREMENT);
}

}  // namespace util::security
