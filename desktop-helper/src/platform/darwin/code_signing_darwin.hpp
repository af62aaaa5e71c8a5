#pragma once
// Code signing over the Security framework (plain C++ over CoreFoundation).
//
// The peer of a connection is named by its audit token, which names one exec of one process:
// a pid that is reused, or a process that execs after it connected, does not answer to it. The
// token of a verified connection is remembered so that each later request can be refused when
// the process behind the socket is no longer the one verified.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/code_signing.hpp"
#include "platform/processes.hpp"

namespace platform::darwin {

// An audit token's eight words (audit_token_t), kept as a value outside the darwin headers.
using AuditToken = std::array<unsigned int, 8>;

class DarwinCodeSigning final : public CodeSigning {
 public:
  // getsockopt(SOL_LOCAL, LOCAL_PEERTOKEN): the token of the process at the other end now.
  std::expected<std::unique_ptr<PeerProcess>, int> copy_peer_process(int socket_fd) override;
  // getpeereid.
  std::expected<PeerCredentials, int> peer_credentials(int socket_fd) override;
  // SecCodeCopyGuestWithAttributes with kSecGuestAttributeAudit: the code of exactly that exec.
  std::expected<std::unique_ptr<GuestCode>, OSStatus> copy_guest_code(
      const PeerProcess& peer) override;

  std::unique_ptr<CodeURL> create_code_url(std::string_view utf8_path) override;
  std::unique_ptr<CodeURL> create_code_url(const FileUrl& url) override;
  std::expected<std::unique_ptr<StaticCode>, OSStatus> create_static_code(
      const CodeURL& url) override;
  std::expected<std::unique_ptr<Requirement>, SecFailure> create_requirement(
      std::string_view text) override;

  // SecCodeCheckValidityWithErrors; on success the connection's token is remembered, after
  // reading it once more: an exec while the check ran is refused like any other change.
  std::expected<void, SecFailure> check_guest_validity(GuestCode& code,
                                                       const Requirement& requirement) override;
  // SecStaticCodeCheckValidityWithErrors with the flags of the scope.
  std::expected<void, SecFailure> check_static_validity(StaticCode& code,
                                                        const Requirement& requirement,
                                                        ValidationScope scope) override;

  // Before each request of a verified connection: success while the token read now names the
  // same process and the same exec (pid and pid version) as the one verified on this socket.
  // Never reads the bundle again.
  std::expected<void, SecFailure> recheck_guest_validity(const PeerProcess& peer,
                                                         int socket_fd) override;

  // SecCodeCopySigningInformation with signing, requirement and dynamic information: the
  // signature's kSecCodeSignatureRuntime flag, the status word's kSecCodeStatusValid and
  // kSecCodeStatusDebugged, the entitlements set to true, the sealed Info.plist's
  // CFBundleVersion.
  std::expected<GuestSigningFacts, OSStatus> copy_guest_signing_facts(GuestCode& code) override;
  std::expected<ReceivedBytes, int> receive_from_peer(const PeerProcess& peer, int socket_fd,
                                                      std::span<char> into) override;

 private:
  void remember(int socket_fd, const AuditToken& token);
  void forget(int socket_fd);

  std::mutex verified_mutex_;
  std::map<int, AuditToken> verified_;  // by the helper's descriptor of the connection
};

// The flags of a static check (darwin_rules.hpp). Full: every architecture, nested code, the
// strict structure rules and no symbolic link out of the bundle. Identity:
// kSecCSBasicValidateOnly.
std::uint32_t static_validity_flags(ValidationScope scope);

// Who asked, for a launch: the effective user and group of the peer's audit token, read now.
std::expected<Requester, int> peer_requester(int socket_fd);

}  // namespace platform::darwin
