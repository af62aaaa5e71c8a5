#pragma once
// Scripted code-signing answers for tests of the order of calls, the objects released and the
// error texts of client verification and bundle validation. Every call and every release of an
// object it made is written to `journal`, in order. Not thread-safe.

#include <optional>
#include <string>
#include <vector>

#include "platform/code_signing.hpp"
#include "platform/fake/fake_layer.hpp"

namespace platform::fake {

class FakeCodeSigning final : public CodeSigning {
 public:
  // "copy_peer_process 7", "release PeerProcess", "create_requirement <text>", ...
  std::vector<std::string> journal;

  // Scripted answers; by default every call succeeds.
  pid_t peer_pid = 4242;
  std::optional<int> peer_process_errno;
  std::optional<int> peer_credentials_errno;
  std::optional<OSStatus> guest_status;
  bool code_url_is_null = false;
  std::optional<OSStatus> static_code_status;
  std::optional<SecFailure> requirement_failure;
  std::optional<SecFailure> guest_validity_failure;
  std::optional<SecFailure> static_validity_failure;
  std::optional<SecFailure> guest_recheck_failure;
  std::optional<OSStatus> signing_facts_status;
  // A client signed as it must be, by default.
  GuestSigningFacts signing_facts{true, true, false, {}, "1.0"};
  Writer writer_of_reads = Writer::VerifiedPeer;
  pid_t writer_pid_of_reads = 0;
  bool peer_alive_at_reads = true;

  std::expected<std::unique_ptr<PeerProcess>, int> copy_peer_process(int socket_fd) override;
  std::expected<PeerCredentials, int> peer_credentials(int socket_fd) override;
  std::expected<std::unique_ptr<GuestCode>, OSStatus> copy_guest_code(
      const PeerProcess& peer) override;
  std::unique_ptr<CodeURL> create_code_url(std::string_view utf8_path) override;
  std::unique_ptr<CodeURL> create_code_url(const FileUrl& url) override;
  std::expected<std::unique_ptr<StaticCode>, OSStatus> create_static_code(
      const CodeURL& url) override;
  std::expected<std::unique_ptr<Requirement>, SecFailure> create_requirement(
      std::string_view text) override;
  std::expected<void, SecFailure> check_guest_validity(GuestCode& code,
                                                       const Requirement& requirement) override;
  // Journaled as "check_static_validity <code> against <requirement>", with " (identity)"
  // appended for an identity-only check.
  std::expected<void, SecFailure> check_static_validity(StaticCode& code,
                                                        const Requirement& requirement,
                                                        ValidationScope scope) override;
  // Journaled as "copy_guest_signing_facts <code>".
  std::expected<GuestSigningFacts, OSStatus> copy_guest_signing_facts(GuestCode& code) override;
  std::expected<void, SecFailure> recheck_guest_validity(const PeerProcess& peer,
                                                         int socket_fd) override;
  // Reads the socket; the writer is `writer_of_reads` (VerifiedPeer unless a test sets it).
  std::expected<ReceivedBytes, int> receive_from_peer(const PeerProcess& peer, int socket_fd,
                                                      std::span<char> into) override;
};

}  // namespace platform::fake
