#pragma once
// The ReplaceAppAtomic command: a downloaded bundle takes the installed bundle's place.

#include "common/error.hpp"
#include "common/ipc/message.hpp"
#include "platform/platform.hpp"
#include "platform/processes.hpp"
#include "util/fs/replace.hpp"

namespace main_service {

// Logs both paths; for a requester other than root, reaches the source and the destination with
// the requester's rights and refuses a destination the requester may not have replaced
// (util/fs/requester_access.hpp); checks the signature of the new bundle, then runs
// util::fs::replace_directory_atomic (which checks the installed bundle and the copy). Every
// failure is returned with its text; nothing is created before the source and the installed
// bundle have passed their checks. Blocks the calling thread
// for the whole replacement.
common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command,
                                      const platform::Requester& requester);

// The same for a request of root's, which may replace anything it names.
common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command);

// The helper's signature check of a replacement: validate_app_package_signature through the URL
// where the bundle has one, through the path otherwise.
common::Status validate_app_package(platform::Platform& platform,
                                    const util::fs::BundleToValidate& bundle);

// The same with another signature check in place of validate_app_package.
common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command,
                                      const util::fs::SignatureValidator& validate);
common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command,
                                      const platform::Requester& requester,
                                      const util::fs::SignatureValidator& validate);

}  // namespace main_service
