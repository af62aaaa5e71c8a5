#include "main/client_verification.hpp"

#include "platform/code_signing.hpp"
#include "util/macos/platform_error.hpp"
#include "util/security/requirement.hpp"

namespace main_service {

namespace macos = util::macos;

common::Status validate_client_code_signing(platform::Platform& platform, int socket_fd) {
  platform::CodeSigning& code_signing = *platform.code_signing;

  // The peer is pinned once here; everything after goes through this object, never through a
  // bare pid that another process could have taken over meanwhile.
  auto peer = code_signing.copy_peer_process(socket_fd);
  if (!peer) return common::fail_os(peer.error());

  // Read for parity with the credentials check of the socket API; who the peer runs as does not
  // matter, only what code it runs.
  auto credentials = code_signing.peer_credentials(socket_fd);
  if (!credentials) return common::fail_os(credentials.error());

  auto guest = code_signing.copy_guest_code(**peer);
  if (!guest) {
    return common::fail(macos::error_from_status("SecCodeCopyGuestWithAttributes", guest.error()));
  }

  auto requirement = util::security::create_sec_requirement_from_requirement_string(platform);
  if (!requirement) return common::fail(std::move(requirement.error()));

  auto valid = code_signing.check_guest_validity(**guest, **requirement);
  if (!valid) {
    return common::fail(macos::error_from_cf_error(valid.error().error, "SecCodeCheckValidity"));
  }
  // Released in reverse order of creation: requirement, guest code, peer.
  return {};
}

common::Status recheck_client_code_signing(platform::Platform& platform, int socket_fd) {
  auto valid = platform.code_signing->recheck_guest_validity(socket_fd);
  if (!valid) {
    return common::fail(macos::error_from_cf_error(valid.error().error, "SecCodeCheckValidity"));
  }
  return {};
}

}  // namespace main_service
