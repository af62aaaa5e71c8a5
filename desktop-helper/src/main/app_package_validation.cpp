#include "main/app_package_validation.hpp"

#include "common/constants.hpp"
#include "common/util/quoted.hpp"
#include "platform/code_signing.hpp"
#include "util/macos/platform_error.hpp"
#include "util/security/requirement.hpp"

namespace main_service {
namespace {

namespace macos = util::macos;

// The part shared by both ways of naming the bundle: from the URL on.
common::Status validate_code_at(platform::Platform& platform,
                                std::unique_ptr<platform::CodeURL> url,
                                std::string_view requirement_text,
                                platform::ValidationScope scope) {
  platform::CodeSigning& code_signing = *platform.code_signing;
  if (!url) return common::fail_other("Failed to create CFURL from path");

  auto code = code_signing.create_static_code(*url);
  if (!code) {
    common::Error error = macos::error_from_status("SecStaticCodeCreateWithPath", code.error());
    // Whether the code is signed is the caller's to judge; that nothing is there is a fact.
    if (code.error() == platform::STATIC_CODE_NOT_FOUND_STATUS) {
      error = std::move(error).with_reason(common::Reason::NotFound);
    }
    return common::fail(std::move(error));
  }

  auto requirement = util::security::create_sec_requirement(platform, requirement_text);
  if (!requirement) return common::fail(std::move(requirement.error()));

  auto valid = code_signing.check_static_validity(**code, **requirement, scope);
  if (!valid) {
    return common::fail(
        macos::error_from_cf_error(valid.error().error, "SecStaticCodeCheckValidityWithErrors"));
  }
  // Released in reverse order of creation: requirement, static code, URL.
  return {};
}

}  // namespace

common::Status validate_app_package_signature(platform::Platform& platform,
                                              std::string_view app_path,
                                              std::string_view requirement_text) {
  if (!common::util::is_valid_utf8(app_path)) {
    return common::fail_because(common::Reason::BadRequest,
                                "Failed to create \"CFString\" from the given app_path");
  }
  return validate_code_at(platform, platform.code_signing->create_code_url(app_path),
                          requirement_text, platform::ValidationScope::Full);
}

common::Status validate_app_package_signature(platform::Platform& platform,
                                              std::string_view app_path) {
  return validate_app_package_signature(platform, app_path, common::CLIENT_CODE_REQUIREMENT);
}

common::Status validate_app_package_signature(platform::Platform& platform,
                                              const platform::FileUrl& url,
                                              platform::ValidationScope scope) {
  return validate_code_at(platform, platform.code_signing->create_code_url(url),
                          common::CLIENT_CODE_REQUIREMENT, scope);
}

}  // namespace main_service
