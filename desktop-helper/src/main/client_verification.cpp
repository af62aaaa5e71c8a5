#include "main/client_verification.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/code_signing.hpp"
#include "util/fs/bundle_version.hpp"
#include "util/macos/platform_error.hpp"
#include "util/security/requirement.hpp"

namespace main_service {

namespace macos = util::macos;

const std::string_view MINIMUM_CLIENT_VERSION = KOLVARIS_MINIMUM_CLIENT_VERSION;

common::Status check_client_signing_facts(const platform::GuestSigningFacts& facts,
                                          std::string_view minimum_version) {
  // Without the hardened runtime, or with any of these entitlements, anyone who can start the
  // application can make it load code of their own (DYLD_INSERT_LIBRARIES, a library of theirs,
  // a debugger's task port), and the helper would then serve that code as the application.
  if (!facts.hardened_runtime) {
    return common::fail_other("The client is not signed for the hardened runtime");
  }
  if (!facts.valid) return common::fail_other("The client's running code is no longer valid");
  if (facts.debugged) return common::fail_other("The client is being debugged");
  for (std::string_view entitlement : CODE_INJECTING_ENTITLEMENTS) {
    if (std::find(facts.entitlements.begin(), facts.entitlements.end(), entitlement) !=
        facts.entitlements.end()) {
      return common::fail_other("The client has the entitlement " + std::string(entitlement));
    }
  }
  // Older builds that were signed before these rules, or that had a hole since closed, still
  // satisfy the requirement: a minimum version shuts them out.
  if (minimum_version.empty()) return {};
  if (!facts.bundle_version) return common::fail_other("The client has no CFBundleVersion");
  auto order = util::fs::compare_bundle_versions(*facts.bundle_version, minimum_version);
  if (!order) {
    return common::fail_other("The client's version \"" + *facts.bundle_version +
                              "\" is not a dotted version number");
  }
  if (*order < 0) {
    return common::fail_other("The client's version " + *facts.bundle_version + " is older than " +
                              std::string(minimum_version));
  }
  return {};
}

common::Result<std::unique_ptr<platform::PeerProcess>> verify_client_code_signing(
    platform::Platform& platform, int socket_fd) {
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

  auto facts = code_signing.copy_guest_signing_facts(**guest);
  if (!facts) {
    return common::fail(macos::error_from_status("SecCodeCopySigningInformation", facts.error()));
  }
  if (auto accepted = check_client_signing_facts(*facts, MINIMUM_CLIENT_VERSION); !accepted) {
    return common::fail(std::move(accepted.error()));
  }
  // Released in reverse order of creation: requirement, guest code; the peer stays with the
  // connection.
  return std::move(*peer);
}

common::Status validate_client_code_signing(platform::Platform& platform, int socket_fd) {
  auto verified = verify_client_code_signing(platform, socket_fd);
  if (!verified) return common::fail(std::move(verified.error()));
  return {};
}

common::Status recheck_client_code_signing(platform::Platform& platform,
                                           const platform::PeerProcess& peer, int socket_fd) {
  auto valid = platform.code_signing->recheck_guest_validity(peer, socket_fd);
  if (!valid) {
    return common::fail(macos::error_from_cf_error(valid.error().error, "SecCodeCheckValidity"));
  }
  return {};
}

common::Result<PeerRead> receive_client_bytes(platform::Platform& platform,
                                              const platform::PeerProcess& peer, int socket_fd,
                                              std::span<char> into) {
  auto received = platform.code_signing->receive_from_peer(peer, socket_fd, into);
  if (!received) {
    if (received.error() == EAGAIN || received.error() == EWOULDBLOCK) {
      return PeerRead{0, true};
    }
    return common::fail_os(received.error());
  }
  const std::string verified = std::to_string(peer.pid());
  const std::string writer = std::to_string(received->writer_pid);
  switch (received->writer) {
    case platform::Writer::VerifiedPeer:
      break;
    case platform::Writer::OtherProcess:
      if (received->writer_pid == peer.pid()) {
        return common::fail_other("a process that reuses the pid of the verified process " +
                                  verified + " wrote bytes on its connection");
      }
      return common::fail_other("process " + writer +
                                " wrote bytes on the connection of the verified process " +
                                verified);
    case platform::Writer::Unnamed:
      return common::fail_other(
          "the kernel named no writer of bytes on the connection of the verified process " +
          verified);
  }
  if (!received->peer_alive) {
    return common::fail_other("the verified process " + verified +
                              " has exited; bytes on its connection are not taken");
  }
  return PeerRead{received->size, false};
}

}  // namespace main_service
