#pragma once
// Verification of the process at the other end of a client connection.

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

#include "common/error.hpp"
#include "platform/code_signing.hpp"
#include "platform/platform.hpp"

namespace main_service {

// Entitlements with which a process lets code into itself that its signature does not cover: a
// debugger's access, libraries of any signer, loader variables from whoever starts it.
inline constexpr std::array<std::string_view, 3> CODE_INJECTING_ENTITLEMENTS = {
    "com.apple.security.get-task-allow",
    "com.apple.security.cs.disable-library-validation",
    "com.apple.security.cs.allow-dyld-environment-variables",
};

// The oldest client version served (KOLVARIS_MINIMUM_CLIENT_VERSION; empty: no minimum).
extern const std::string_view MINIMUM_CLIENT_VERSION;

// Whether a client that satisfies the requirement is also one whose code cannot be swapped from
// inside: an old signed build, or one signed for debugging, satisfies identifier, team and
// certificate as well. Checked in this order, each with its own error: "The client is not
// signed for the hardened runtime", "The client's running code is no longer valid", "The client
// is being debugged", "The client has the entitlement {}", and, where `minimum_version` is not
// empty, "The client has no CFBundleVersion", "The client's version \"{}\" is not a dotted
// version number", "The client's version {} is older than {}".
common::Status check_client_signing_facts(const platform::GuestSigningFacts& facts,
                                          std::string_view minimum_version);

// Checks that the peer of the connected socket `socket_fd` (borrowed) runs code that is validly
// signed and satisfies CLIENT_CODE_REQUIREMENT, and then check_client_signing_facts with
// MINIMUM_CLIENT_VERSION. The requirement is compiled anew on every call. Blocks the calling
// thread while the peer's executable is read; logs nothing.
// Errors: the OS error of the peer lookup, "SecCodeCopyGuestWithAttributes failed with code: {}",
// the requirement's compile error, the "SecCodeCheckValidity" error of the check,
// "SecCodeCopySigningInformation failed with code: {}", or those of check_client_signing_facts.
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
