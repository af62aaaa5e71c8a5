#pragma once
// Code signing on Linux: bundle signatures checked with OpenSSL against one trust anchor, and
// peers identified through a pidfd taken when they connected.

#include <string_view>

#include "codesign/mapped_code.hpp"
#include "codesign/openssl_ptr.hpp"
#include "platform/code_signing.hpp"
#include "platform/linux/linux_layer.hpp"

namespace platform::linux_impl {

using codesign::CodeApprovals;
using codesign::X509Ptr;

class LinuxCodeSigning final : public CodeSigning {
 public:
  // `trust_anchor_pem`: the root certificate signatures must chain to. A text without a
  // certificate leaves no anchor, and every signature is then untrusted.
  explicit LinuxCodeSigning(std::string_view trust_anchor_pem);

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
  std::expected<void, SecFailure> check_static_validity(StaticCode& code,
                                                        const Requirement& requirement,
                                                        ValidationScope scope) override;
  std::expected<void, SecFailure> recheck_guest_validity(const PeerProcess& peer,
                                                         int socket_fd) override;
  std::expected<ReceivedBytes, int> receive_from_peer(const PeerProcess& peer, int socket_fd,
                                                      std::span<char> into) override;
  // Linux has no hardened runtime to sign for: every check refuses what it guards against
  // (preloading variables, code not sealed in the bundle, a dumpable or traced process), so the
  // code counts as hardened. No entitlements. The version is the one the sealed information
  // list held when the bundle was verified.
  std::expected<GuestSigningFacts, OSStatus> copy_guest_signing_facts(GuestCode& code) override;

 private:
  X509Ptr anchor_;
  // Digests and the files found to be sealed code, for the helper's lifetime.
  CodeApprovals approvals_;
};

// The bundle directory of an executable at <bundle>/Contents/MacOS/<name>, or "" when the path
// has another shape.
std::string bundle_of_executable(std::string_view executable_path);

// Environment variables that glibc considers unsafe for a privileged program: with them, the
// loader or libc runs or reads what the caller chooses, which no signature covers.
bool is_code_injecting_variable(std::string_view entry);

}  // namespace platform::linux_impl
