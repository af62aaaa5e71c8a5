#pragma once
// Verification of the process at the other end of a client connection.

#include <cstddef>
#include <memory>
#include <span>

#include "common/error.hpp"
#include "platform/code_signing.hpp"
#include "platform/platform.hpp"

namespace main_service {

// Checks that the peer of the connected socket `socket_fd` (borrowed) runs code that is validly
// signed and satisfies CLIENT_CODE_REQUIREMENT, and returns that peer, pinned, for the rest of
// the connection: the checks before each command and the reads go through it. From this call on
// the kernel names the writer of every byte read from the socket. The requirement is compiled
// anew on every call. Blocks the calling thread while the peer's executable is read; logs nothing.
// Errors: the OS error of the peer lookup, "SecCodeCopyGuestWithAttributes failed with code: {}",
// the requirement's compile error, or the "SecCodeCheckValidity" error of the check.
common::Result<std::unique_ptr<platform::PeerProcess>> verify_client_code_signing(
    platform::Platform& platform, int socket_fd);

// verify_client_code_signing without keeping the peer.
common::Status validate_client_code_signing(platform::Platform& platform, int socket_fd);

// Checks, before a command runs, that `peer`, verified on this connection, still holds it as it
// did and runs only the code verified then. Logs nothing.
// Error: the "SecCodeCheckValidity" error of the check.
common::Status recheck_client_code_signing(platform::Platform& platform,
                                           const platform::PeerProcess& peer, int socket_fd);

// One read of a verified connection.
struct PeerRead {
  std::size_t size = 0;  // 0 (and not would_block): the client has closed its end
  bool would_block = false;
};

// Takes up to `into.size()` bytes of the connection, refusing them unless the verified process
// `peer` wrote them and has not exited since (until it is reaped no other process has its pid).
// Never blocks. Errors: the OS error of the read, or a general error whose text names the writer
// and the verified process.
common::Result<PeerRead> receive_client_bytes(platform::Platform& platform,
                                              const platform::PeerProcess& peer, int socket_fd,
                                              std::span<char> into);

}  // namespace main_service
