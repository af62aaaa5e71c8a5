#include "main/replace_app_atomic.hpp"

#include <optional>
#include <string>

#include "common/util/log.hpp"
#include "common/util/quoted.hpp"
#include "main/app_package_validation.hpp"
#include "util/fs/requester_access.hpp"

namespace main_service {

using common::util::log_out;
using common::util::lossy_utf8;

common::Status validate_app_package(platform::Platform& platform,
                                    const util::fs::BundleToValidate& bundle) {
  if (bundle.url) return validate_app_package_signature(platform, *bundle.url, bundle.scope);
  return validate_app_package_signature(platform, bundle.path);
}

namespace {

// Root asks for itself: nothing is reached with other rights than its own.
const platform::Requester ROOT_REQUESTER{};

}  // namespace

common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command) {
  return run_replace_app_atomic(platform, command, ROOT_REQUESTER, validate_app_package);
}

common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command,
                                      const platform::Requester& requester) {
  return run_replace_app_atomic(platform, command, requester, validate_app_package);
}

common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command,
                                      const util::fs::SignatureValidator& validate) {
  return run_replace_app_atomic(platform, command, ROOT_REQUESTER, validate);
}

common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command,
                                      const platform::Requester& requester,
                                      const util::fs::SignatureValidator& validate) {
  log_out("Source path: " + lossy_utf8(command.source_path));
  log_out("Destination path: " + lossy_utf8(command.destination_path));

  // For a user, both bundles are reached with that user's rights before anything reads them:
  // root reads no source the user could not open and replaces nothing the user could not have
  // changed. A source path that is not UTF-8 is refused by the signature check without reading.
  std::optional<platform::FileUrl> source_url;
  std::optional<platform::FileUrl> destination_url;
  if (requester.uid != 0 && common::util::is_valid_utf8(command.source_path)) {
    if (!common::util::is_valid_utf8(command.destination_path)) {
      return common::fail_because(common::Reason::BadRequest,
                                  "Could not convert \"destination_path\" to a \"&str\"");
    }
    auto source = util::fs::reach_source(*platform.files, requester, command.source_path);
    if (!source) return common::fail(std::move(source.error()));
    source_url = std::move(*source);
    auto destination =
        util::fs::reach_destination(*platform.files, requester, command.destination_path);
    if (!destination) return common::fail(std::move(destination.error()));
    destination_url = std::move(*destination);
  }

  log_out("Validating signature of source app package");
  if (auto valid = validate(
          platform,
          util::fs::BundleToValidate{command.source_path, source_url ? &*source_url : nullptr});
      !valid) {
    return common::fail(
        util::fs::with_default_reason(std::move(valid.error()), common::Reason::NotSigned));
  }
  log_out("Successfully validated signature of source app package");

  log_out("Initiating atomic replacement of destination app package with source app package");
  if (auto replaced = util::fs::replace_directory_atomic(
          platform, command.source_path, command.destination_path, validate,
          util::fs::PremadeUrls{source_url ? &*source_url : nullptr,
                                destination_url ? &*destination_url : nullptr});
      !replaced) {
    return replaced;
  }
  log_out("Successfully replaced app package");
  return {};
}

}  // namespace main_service
