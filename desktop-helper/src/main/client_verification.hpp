#pragma once
// Verification of the process at the other end of a client connection.

#include "common/error.hpp"
#include "platform/platform.hpp"

namespace main_service {

// Checks that the peer of the connected socket `socket_fd` (borrowed) runs code that is validly
// signed and satisfies CLIENT_CODE_REQUIREMENT. The requirement is compiled anew on every call.
// Blocks the calling thread while the peer's executable is read; logs nothing.
// Errors: the OS error of the peer lookup, "SecCodeCopyGuestWithAttributes failed with code: {}",
// the requirement's compile error, or the "SecCodeCheckValidity" error of the check.
common::Status validate_client_code_signing(platform::Platform& platform, int socket_fd);

// Checks, before a command runs, that the peer verified on this connection still is the only
// process behind it and runs only the code verified then. Logs nothing.
// Error: the "SecCodeCheckValidity" error of the check.
common::Status recheck_client_code_signing(platform::Platform& platform, int socket_fd);

}  // namespace main_service
