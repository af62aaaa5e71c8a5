#pragma once
// The ReplaceAppAtomic command: a downloaded bundle takes the installed bundle's place.

#include "common/error.hpp"
#include "common/ipc/message.hpp"
#include "platform/platform.hpp"
#include "util/fs/replace.hpp"

namespace main_service {

// Logs both paths, checks the signatures of the new bundle and of the installed one, then runs
// util::fs::replace_directory_atomic (which checks the copy again). Every failure is returned
// with its text; nothing is created before both checks have passed. Blocks the calling thread
// for the whole replacement.
common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command);

// The same with another signature check in place of validate_app_package_signature.
common::Status run_replace_app_atomic(platform::Platform& platform,
                                      const common::ipc::message::ReplaceAppAtomic& command,
                                      const util::fs::SignatureValidator& validate);

}  // namespace main_service
