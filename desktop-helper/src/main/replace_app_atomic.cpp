#include "main/replace_app_atomic.hpp"

#include <string>

#include "common/util/log.hpp"
#include "common/util/quoted.hpp"
#include "main/app_package_validation.hpp"

namespace main_service {

using common::util::log_out;
using common::util::lossy_utf8;

common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command) {
  return run_replace_app_atomic(platform, command,
                                [](platform::Platform& p, std::string_view path) {
                                  return validate_app_package_signature(p, path);
                                });
}

common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command,
                                      const util::fs::SignatureValidator& validate) {
  log_out("Source path: " + lossy_utf8(command.source_path));
  log_out("Destination path: " + lossy_utf8(command.destination_path));

  log_out("Validating signature of source app package");
  if (auto valid = validate(platform, command.source_path); !valid) return valid;
  log_out("Successfully validated signature of source app package");

  // Only a bundle that is itself the signed application may be replaced: without this check the
  // helper would overwrite any directory a client names, with root's rights.
  log_out("Validating signature of destination app package");
  if (auto valid = validate(platform, command.destination_path); !valid) return valid;
  log_out("Successfully validated signature of destination app package");

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
