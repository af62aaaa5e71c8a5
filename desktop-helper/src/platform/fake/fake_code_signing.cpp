#include "platform/fake/fake_code_signing.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <string_view>
#include <type_traits>

namespace platform::fake {

namespace {

// The fake's own object types, one for each kind of object.
template <typename Base>
constexpr std::string_view fake_type_name() {
  if constexpr (std::is_same_v<Base, GuestCode>) {
    return "FakeGuestCode";
  } else if constexpr (std::is_same_v<Base, CodeURL>) {
    return "FakeCodeURL";
  } else if constexpr (std::is_same_v<Base, StaticCode>) {
    return "FakeStaticCode";
  } else {
    static_assert(std::is_same_v<Base, Requirement>);
    return "FakeRequirement";
  }
}

// Writes "release <kind>" to the journal when destroyed.
template <typename Base>
class Journaled final : public Base {
 public:
  static constexpr CodeObjectType TYPE{fake_type_name<Base>()};
  Journaled(std::vector<std::string>& journal, std::string kind, std::string detail = {})
      : Base(TYPE), journal_(journal), kind_(std::move(kind)), detail_(std::move(detail)) {}
  ~Journaled() override { journal_.push_back("release " + kind_); }
  const std::string& detail() const { return detail_; }

 private:
  std::vector<std::string>& journal_;
  std::string kind_;
  std::string detail_;
};

class FakePeer final : public PeerProcess {
 public:
  static constexpr CodeObjectType TYPE{"FakePeer"};
  FakePeer(std::vector<std::string>& journal, pid_t pid)
      : PeerProcess(TYPE), journal_(journal), pid_(pid) {}
  ~FakePeer() override { journal_.push_back("release PeerProcess"); }
  pid_t pid() const override { return pid_; }

 private:
  std::vector<std::string>& journal_;
  pid_t pid_;
};

// The detail an object was made with, for journal lines that name what was passed.
template <typename Base>
std::string detail_of(const Base& object) {
  auto* journaled = code_object_cast<Journaled<Base>>(object);
  return journaled ? journaled->detail() : std::string("<foreign>");
}

}  // namespace

std::expected<std::unique_ptr<PeerProcess>, int> FakeCodeSigning::copy_peer_process(int socket_fd) {
  journal.push_back("copy_peer_process " + std::to_string(socket_fd));
  if (peer_process_errno) return std::unexpected(*peer_process_errno);
  return std::make_unique<FakePeer>(journal, peer_pid);
}

std::expected<PeerCredentials, int> FakeCodeSigning::peer_credentials(int socket_fd) {
  journal.push_back("peer_credentials " + std::to_string(socket_fd));
  if (peer_credentials_errno) return std::unexpected(*peer_credentials_errno);
  return PeerCredentials{501, 20};
}

std::expected<std::unique_ptr<GuestCode>, OSStatus> FakeCodeSigning::copy_guest_code(
    const PeerProcess& peer) {
  journal.push_back("copy_guest_code " + std::to_string(peer.pid()));
  if (guest_status) return std::unexpected(*guest_status);
  return std::make_unique<Journaled<GuestCode>>(journal, "GuestCode",
                                                "pid " + std::to_string(peer.pid()));
}

std::unique_ptr<CodeURL> FakeCodeSigning::create_code_url(std::string_view utf8_path) {
  journal.push_back("create_code_url " + std::string(utf8_path));
  if (code_url_is_null) return nullptr;
  return std::make_unique<Journaled<CodeURL>>(journal, "CodeURL", std::string(utf8_path));
}

std::unique_ptr<CodeURL> FakeCodeSigning::create_code_url(const FileUrl& url) {
  return create_code_url(std::string_view(url.path));
}

std::expected<std::unique_ptr<StaticCode>, OSStatus> FakeCodeSigning::create_static_code(
    const CodeURL& url) {
  journal.push_back("create_static_code " + detail_of(url));
  if (static_code_status) return std::unexpected(*static_code_status);
  return std::make_unique<Journaled<StaticCode>>(journal, "StaticCode", detail_of(url));
}

std::expected<std::unique_ptr<Requirement>, SecFailure> FakeCodeSigning::create_requirement(
    std::string_view text) {
  journal.push_back("create_requirement " + std::string(text));
  if (requirement_failure) return std::unexpected(*requirement_failure);
  return std::make_unique<Journaled<Requirement>>(journal, "Requirement", std::string(text));
}

std::expected<void, SecFailure> FakeCodeSigning::check_guest_validity(
    GuestCode& code, const Requirement& requirement) {
  journal.push_back("check_guest_validity " + detail_of(code) + " against " +
                    detail_of(requirement));
  if (guest_validity_failure) return std::unexpected(*guest_validity_failure);
  return {};
}

std::expected<void, SecFailure> FakeCodeSigning::check_static_validity(
    StaticCode& code, const Requirement& requirement, ValidationScope scope) {
  journal.push_back("check_static_validity " + detail_of(code) + " against " +
                    detail_of(requirement) +
                    (scope == ValidationScope::Identity ? " (identity)" : ""));
  if (static_validity_failure) return std::unexpected(*static_validity_failure);
  return {};
}

std::expected<GuestSigningFacts, OSStatus> FakeCodeSigning::copy_guest_signing_facts(
    GuestCode& code) {
  journal.push_back("copy_guest_signing_facts " + detail_of(code));
  if (signing_facts_status) return std::unexpected(*signing_facts_status);
  return signing_facts;
}

std::expected<void, SecFailure> FakeCodeSigning::recheck_guest_validity(const PeerProcess&,
                                                                        int socket_fd) {
  journal.push_back("recheck_guest_validity " + std::to_string(socket_fd));
  if (guest_recheck_failure) return std::unexpected(*guest_recheck_failure);
  return {};
}

std::expected<ReceivedBytes, int> FakeCodeSigning::receive_from_peer(const PeerProcess&,
                                                                     int socket_fd,
                                                                     std::span<char> into) {
  const ssize_t n = ::recv(socket_fd, into.data(), into.size(), MSG_DONTWAIT);
  if (n < 0) return std::unexpected(errno);
  ReceivedBytes received;
  received.size = static_cast<std::size_t>(n);
  received.writer = writer_of_reads;
  received.writer_pid = writer_pid_of_reads;
  received.peer_alive = peer_alive_at_reads;
  return received;
}

}  // namespace platform::fake
