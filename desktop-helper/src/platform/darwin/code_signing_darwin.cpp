#include "platform/darwin/code_signing_darwin.hpp"

#include <Security/Security.h>
#include <bsm/libbsm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/darwin/cf_ref.hpp"
#include "platform/darwin/darwin_rules.hpp"
#include "platform/darwin/darwin_text.hpp"

namespace platform::darwin {
namespace {

static_assert(sizeof(audit_token_t) == sizeof(AuditToken));
// The flag values the rules are tested with are the framework's.
static_assert(CHECK_ALL_ARCHITECTURES == kSecCSCheckAllArchitectures);
static_assert(BASIC_VALIDATE_ONLY == kSecCSBasicValidateOnly);
static_assert(CHECK_NESTED_CODE == kSecCSCheckNestedCode);
static_assert(STRICT_VALIDATE == kSecCSStrictValidate);
static_assert(RESTRICT_SYMLINKS == kSecCSRestrictSymlinks);

audit_token_t to_audit_token(const AuditToken& words) {
  audit_token_t token;
  std::memcpy(&token, words.data(), sizeof token);
  return token;
}

std::expected<AuditToken, int> read_peer_token(int socket_fd) {
  audit_token_t token{};
  socklen_t length = sizeof token;
  if (::getsockopt(socket_fd, SOL_LOCAL, LOCAL_PEERTOKEN, &token, &length) != 0) {
    return std::unexpected(errno);
  }
  if (length != sizeof token) return std::unexpected(EINVAL);
  AuditToken words;
  std::memcpy(words.data(), &token, sizeof token);
  return words;
}

// One exec of one process: the pid and the version the kernel gives each exec.
bool same_exec(const AuditToken& a, const AuditToken& b) {
  const audit_token_t ta = to_audit_token(a);
  const audit_token_t tb = to_audit_token(b);
  return audit_token_to_pid(ta) == audit_token_to_pid(tb) &&
         audit_token_to_pidversion(ta) == audit_token_to_pidversion(tb);
}

SecFailure failure(OSStatus status, CFErrorRef error) {
  return SecFailure{status, cf_error_value(error)};
}

SecFailure peer_changed(std::string_view what) {
  return SecFailure{errSecCSGuestInvalid,
                    platform::CFError{errSecCSGuestInvalid, std::string(what)}};
}

class DarwinPeerProcess final : public PeerProcess {
 public:
  static constexpr CodeObjectType TYPE{"DarwinPeerProcess"};
  DarwinPeerProcess(int socket_fd, const AuditToken& token)
      : PeerProcess(TYPE), socket_fd_(socket_fd), token_(token) {}
  pid_t pid() const override { return audit_token_to_pid(to_audit_token(token_)); }

  int socket_fd_;
  AuditToken token_;
};

class DarwinGuestCode final : public GuestCode {
 public:
  static constexpr CodeObjectType TYPE{"DarwinGuestCode"};
  DarwinGuestCode(CFRef<SecCodeRef> code, const DarwinPeerProcess& peer)
      : GuestCode(TYPE), code_(std::move(code)), socket_fd_(peer.socket_fd_), token_(peer.token_) {}

  CFRef<SecCodeRef> code_;
  int socket_fd_;
  AuditToken token_;
};

class DarwinCodeURL final : public CodeURL {
 public:
  static constexpr CodeObjectType TYPE{"DarwinCodeURL"};
  explicit DarwinCodeURL(CFRef<CFURLRef> url) : CodeURL(TYPE), url_(std::move(url)) {}
  CFRef<CFURLRef> url_;
};

class DarwinStaticCode final : public StaticCode {
 public:
  static constexpr CodeObjectType TYPE{"DarwinStaticCode"};
  explicit DarwinStaticCode(CFRef<SecStaticCodeRef> code)
      : StaticCode(TYPE), code_(std::move(code)) {}
  CFRef<SecStaticCodeRef> code_;
};

class DarwinRequirement final : public Requirement {
 public:
  static constexpr CodeObjectType TYPE{"DarwinRequirement"};
  explicit DarwinRequirement(CFRef<SecRequirementRef> requirement)
      : Requirement(TYPE), requirement_(std::move(requirement)) {}
  CFRef<SecRequirementRef> requirement_;
};

}  // namespace

namespace {

// A number of the signing information, or 0 where it is absent or of another type.
std::uint32_t information_number(CFDictionaryRef information, CFStringRef key) {
  CFTypeRef value = CFDictionaryGetValue(information, key);
  if (!value || CFGetTypeID(value) != CFNumberGetTypeID()) return 0;
  std::uint32_t number = 0;
  if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &number)) return 0;
  return number;
}

CFDictionaryRef information_dictionary(CFDictionaryRef information, CFStringRef key) {
  CFTypeRef value = CFDictionaryGetValue(information, key);
  if (!value || CFGetTypeID(value) != CFDictionaryGetTypeID()) return nullptr;
  return static_cast<CFDictionaryRef>(value);
}

void collect_true_entitlement(const void* key, const void* value, void* context) {
  auto* names = static_cast<std::vector<std::string>*>(context);
  if (!key || CFGetTypeID(static_cast<CFTypeRef>(key)) != CFStringGetTypeID()) return;
  if (value != kCFBooleanTrue) return;
  names->push_back(cf_string_text(static_cast<CFStringRef>(key)));
}

}  // namespace

std::uint32_t static_validity_flags(ValidationScope scope) {
  switch (scope) {
    case ValidationScope::Full:
      return FULL_CHECK_FLAGS;
    case ValidationScope::Identity:
      // Signature and requirement only: the main executable and the resources are not hashed,
      // so this establishes which application the installed bundle is, not that its files are
      // intact. An installation whose files were damaged stays repairable by an update, while
      // the copy that replaces it is checked in full.
      return IDENTITY_CHECK_FLAGS;
  }
  return FULL_CHECK_FLAGS;
}

std::expected<std::unique_ptr<PeerProcess>, int> DarwinCodeSigning::copy_peer_process(
    int socket_fd) {
  // A descriptor number is reused by later connections: what was verified on an earlier one
  // must not carry over, even when this verification fails.
  forget(socket_fd);
  auto token = read_peer_token(socket_fd);
  if (!token) return std::unexpected(token.error());
  return std::make_unique<DarwinPeerProcess>(socket_fd, *token);
}

std::expected<PeerCredentials, int> DarwinCodeSigning::peer_credentials(int socket_fd) {
  uid_t uid = 0;
  gid_t gid = 0;
  if (::getpeereid(socket_fd, &uid, &gid) != 0) return std::unexpected(errno);
  return PeerCredentials{uid, gid};
}

std::expected<std::unique_ptr<GuestCode>, OSStatus> DarwinCodeSigning::copy_guest_code(
    const PeerProcess& peer) {
  const auto* darwin_peer = code_object_cast<DarwinPeerProcess>(peer);
  if (!darwin_peer) return std::unexpected(errSecCSInvalidObjectRef);
  const audit_token_t token = to_audit_token(darwin_peer->token_);
  auto token_data = CFRef<CFDataRef>::adopt(
      CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(&token), sizeof token));
  // The CFType callbacks: the dictionary holds its own references, and the framework may keep or
  // copy it as it would any dictionary.
  auto attributes = CFRef<CFMutableDictionaryRef>::adopt(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!token_data || !attributes) return std::unexpected(errSecAllocate);
  CFDictionaryAddValue(attributes.get(), kSecGuestAttributeAudit, token_data.get());

  CFRef<SecCodeRef> guest;
  const OSStatus status =
      SecCodeCopyGuestWithAttributes(nullptr, attributes.get(), kSecCSDefaultFlags, guest.out());
  if (status != errSecSuccess) return std::unexpected(status);
  if (!guest) return std::unexpected(errSecCSNoSuchCode);
  return std::make_unique<DarwinGuestCode>(std::move(guest), *darwin_peer);
}

std::unique_ptr<CodeURL> DarwinCodeSigning::create_code_url(std::string_view utf8_path) {
  auto url = cf_url_from_path(utf8_path, /*is_directory=*/false);
  if (!url) return nullptr;
  return std::make_unique<DarwinCodeURL>(std::move(url));
}

std::unique_ptr<CodeURL> DarwinCodeSigning::create_code_url(const FileUrl& url) {
  // The very URL the files area made (and will act through), not one made again from the path.
  if (url.native) {
    return std::make_unique<DarwinCodeURL>(CFRef<CFURLRef>::retain(borrow<CFURLRef>(url.native)));
  }
  return create_code_url(std::string_view(url.path));
}

std::expected<std::unique_ptr<StaticCode>, OSStatus> DarwinCodeSigning::create_static_code(
    const CodeURL& url) {
  const auto* darwin_url = code_object_cast<DarwinCodeURL>(url);
  if (!darwin_url) return std::unexpected(errSecCSInvalidObjectRef);
  CFRef<SecStaticCodeRef> code;
  const OSStatus status =
      SecStaticCodeCreateWithPath(darwin_url->url_.get(), kSecCSDefaultFlags, code.out());
  if (status != errSecSuccess) return std::unexpected(status);
  if (!code) return std::unexpected(errSecCSStaticCodeNotFound);
  return std::make_unique<DarwinStaticCode>(std::move(code));
}

std::expected<std::unique_ptr<Requirement>, SecFailure> DarwinCodeSigning::create_requirement(
    std::string_view text) {
  auto string = cf_string_from_text(text);
  if (!string) return std::unexpected(SecFailure{errSecCSReqInvalid, std::nullopt});
  CFRef<CFErrorRef> error;
  CFRef<SecRequirementRef> requirement;
  const OSStatus status = SecRequirementCreateWithStringAndErrors(string.get(), kSecCSDefaultFlags,
                                                                  error.out(), requirement.out());
  if (status != errSecSuccess) return std::unexpected(failure(status, error.get()));
  return std::make_unique<DarwinRequirement>(std::move(requirement));
}

std::expected<void, SecFailure> DarwinCodeSigning::check_guest_validity(
    GuestCode& code, const Requirement& requirement) {
  auto* guest = code_object_cast<DarwinGuestCode>(code);
  const auto* compiled = code_object_cast<DarwinRequirement>(requirement);
  if (!guest || !compiled) return std::unexpected(SecFailure{errSecCSInvalidObjectRef, {}});
  CFRef<CFErrorRef> error;
  const OSStatus status = SecCodeCheckValidityWithErrors(guest->code_.get(), kSecCSDefaultFlags,
                                                         compiled->requirement_.get(), error.out());
  if (status != errSecSuccess) return std::unexpected(failure(status, error.get()));

  // The token describes the peer when it is read: an exec between the first reading and the end
  // of the check would otherwise pass with the verdict about the code it replaced.
  auto now = read_peer_token(guest->socket_fd_);
  if (!now || !same_exec(*now, guest->token_)) {
    return std::unexpected(
        peer_changed("the process at the other end changed while it was being checked"));
  }
  remember(guest->socket_fd_, guest->token_);
  return {};
}

std::expected<void, SecFailure> DarwinCodeSigning::check_static_validity(
    StaticCode& code, const Requirement& requirement, ValidationScope scope) {
  auto* static_code = code_object_cast<DarwinStaticCode>(code);
  const auto* compiled = code_object_cast<DarwinRequirement>(requirement);
  if (!static_code || !compiled) return std::unexpected(SecFailure{errSecCSInvalidObjectRef, {}});
  CFRef<CFErrorRef> error;
  const OSStatus status = SecStaticCodeCheckValidityWithErrors(
      static_code->code_.get(), static_cast<SecCSFlags>(static_validity_flags(scope)),
      compiled->requirement_.get(), error.out());
  if (status != errSecSuccess) return std::unexpected(failure(status, error.get()));
  return {};
}

std::expected<void, SecFailure> DarwinCodeSigning::recheck_guest_validity(
    const PeerProcess& /*peer*/, int socket_fd) {
  AuditToken verified;
  {
    std::lock_guard lock(verified_mutex_);
    auto it = verified_.find(socket_fd);
    if (it == verified_.end()) {
      return std::unexpected(peer_changed("no process was verified on this connection"));
    }
    verified = it->second;
  }
  auto now = read_peer_token(socket_fd);
  if (!now) return std::unexpected(peer_changed("the process at the other end has gone"));
  if (!same_exec(*now, verified)) {
    return std::unexpected(
        peer_changed("the process at the other end is not the process and executable verified"));
  }
  return {};
}

std::expected<GuestSigningFacts, OSStatus> DarwinCodeSigning::copy_guest_signing_facts(
    GuestCode& code) {
  auto* guest = code_object_cast<DarwinGuestCode>(code);
  if (!guest) return std::unexpected(errSecCSInvalidObjectRef);
  CFRef<CFDictionaryRef> information;
  // A running code object is accepted where static code is; the dynamic status only for it.
  const OSStatus status = SecCodeCopySigningInformation(
      reinterpret_cast<SecStaticCodeRef>(guest->code_.get()),
      kSecCSSigningInformation | kSecCSRequirementInformation | kSecCSDynamicInformation,
      information.out());
  if (status != errSecSuccess) return std::unexpected(status);
  if (!information) return std::unexpected(errSecCSNoSuchCode);

  GuestSigningFacts facts;
  const std::uint32_t flags = information_number(information.get(), kSecCodeInfoFlags);
  const std::uint32_t dynamic = information_number(information.get(), kSecCodeInfoStatus);
  facts.hardened_runtime = (flags & kSecCodeSignatureRuntime) != 0;
  facts.valid = (dynamic & kSecCodeStatusValid) != 0;
  facts.debugged = (dynamic & kSecCodeStatusDebugged) != 0;
  if (CFDictionaryRef entitlements =
          information_dictionary(information.get(), kSecCodeInfoEntitlementsDict)) {
    CFDictionaryApplyFunction(entitlements, collect_true_entitlement, &facts.entitlements);
  }
  if (CFDictionaryRef plist = information_dictionary(information.get(), kSecCodeInfoPList)) {
    CFTypeRef version = CFDictionaryGetValue(plist, kCFBundleVersionKey);
    if (version && CFGetTypeID(version) == CFStringGetTypeID()) {
      facts.bundle_version = cf_string_text(static_cast<CFStringRef>(version));
    }
  }
  return facts;
}

std::expected<Requester, int> peer_requester(int socket_fd) {
  auto token = read_peer_token(socket_fd);
  if (!token) return std::unexpected(token.error());
  const audit_token_t t = to_audit_token(*token);
  Requester requester;
  requester.uid = audit_token_to_euid(t);
  requester.gid = audit_token_to_egid(t);
  return requester;
}

void DarwinCodeSigning::remember(int socket_fd, const AuditToken& token) {
  std::lock_guard lock(verified_mutex_);
  verified_[socket_fd] = token;
}

void DarwinCodeSigning::forget(int socket_fd) {
  std::lock_guard lock(verified_mutex_);
  verified_.erase(socket_fd);
}

// The audit token checked before each command names the process and its exec; the kernel
// gives no writer per message here, so the bytes are taken as the verified process's.
std::expected<ReceivedBytes, int> DarwinCodeSigning::receive_from_peer(const PeerProcess& peer,
                                                                       int socket_fd,
                                                                       std::span<char> into) {
  const ssize_t n = ::recv(socket_fd, into.data(), into.size(), MSG_DONTWAIT);
  if (n < 0) return std::unexpected(errno);
  ReceivedBytes received;
  received.size = static_cast<std::size_t>(n);
  received.writer_pid = peer.pid();
  return received;
}

}  // namespace platform::darwin
