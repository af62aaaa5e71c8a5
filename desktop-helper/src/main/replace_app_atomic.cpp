#include "main/replace_app_atomic.hpp"

#include <string>

#include "common/util/log.hpp"
#include "common/util/quoted.hpp"
#include "main/app_package_validation.hpp"

namespace main_service {

using common::util::log_out;
using common::util::lossy_utf8;

common::Status validate_app_package(platform::Platform& platform,
                                    const util::fs::BundleToValidate& bundle) {
  if (bundle.url) return validate_app_package_signature(platform, *bundle.url, bundle.scope);
  return validate_app_package_signature(platform, bundle.path);
}

common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command) {
  return run_replace_app_atomic(platform, command, validate_app_package);
}

common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command,
                                      const util::fs::SignatureValidator& validate) {
  log_out("Source path: " + lossy_utf8(command.source_path));
  log_out("Destination path: " + lossy_utf8(command.destination_path));

  log_out("Validating signature of source app package");
  if (auto valid = validate(platform, util::fs::BundleToValidate{command.source_path}); !valid) {
    return common::fail(
        util::fs::with_default_reason(std::move(valid.error()), common::Reason::NotSigned));
  }
  log_out("Successfully validated signature of source app package");

  log_out("Initiating atomic replacement of destination app package with source app package");
  if (auto replaced = util::fs::replace_directory_atomic(platform, command.source_path,
                                                         command.destination_path, validate);
      !replaced) {
    return replaced;
  }
  log_out("Successfully replaced app package");
  return {};
}

}  // namespace main_service
