#pragma once
// Code-signing services: who is at the other end of a socket, what code that process runs, the
// static signature of a bundle on disk, and the requirement language.
//
// Answers are facts, never words: an errno, a bare status (OSStatus), or a status with the
// platform's error object (code + optional description). Portable code (main/, util/security)
// turns them into the system's texts. Every object is owned by the caller and released by
// destroying it, and is handed back only to the implementation that made it. All calls block the
// calling thread and may run on any thread concurrently.

#include <sys/types.h>

#include <concepts>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/files.hpp"
#include "util/macos/platform_error.hpp"

namespace platform {

using OSStatus = std::int32_t;

// errSecCSStaticCodeNotFound: there is no code at the path, as every platform reports it.
inline constexpr OSStatus STATIC_CODE_NOT_FOUND_STATUS = -67068;

// The failure of a call that returns a status and fills an error out-parameter.
struct SecFailure {
  OSStatus status = 0;
  platform::OptionalCFError error;  // may be null
};

// The type of a code-signing object, as CFGetTypeID gives a CoreFoundation object's: every
// implementation defines one for each class of object it makes (the constant's address is the
// type), and takes back only objects of its own types. Any other object handed to it (another
// implementation's, or one of another kind) is refused as an invalid object reference.
struct CodeObjectType {
  // Different for every type, which also keeps a linker from folding two types into one.
  std::string_view name;
};

// What every object of the code-signing services carries: its type, fixed when it was made.
class CodeObject {
 public:
  virtual ~CodeObject() = default;
  CodeObject(const CodeObject&) = delete;
  CodeObject& operator=(const CodeObject&) = delete;

  const CodeObjectType& object_type() const { return *type_; }

 protected:
  explicit CodeObject(const CodeObjectType& type) : type_(&type) {}

 private:
  const CodeObjectType* type_;
};

// `object` as the implementation's class `T` when it is of T's type (`T::TYPE`), else nullptr.
// T is final, so its type names exactly its class and never a class derived from it.
template <typename T, typename Base>
const T* code_object_cast(const Base& object) {
  static_assert(std::derived_from<T, Base> && std::is_final_v<T>);
  return &object.object_type() == &T::TYPE ? static_cast<const T*>(&object) : nullptr;
}
template <typename T, typename Base>
T* code_object_cast(Base& object) {
  static_assert(std::derived_from<T, Base> && std::is_final_v<T>);
  return &object.object_type() == &T::TYPE ? static_cast<T*>(&object) : nullptr;
}

// The process at the other end of a connected socket, pinned when it connected: a later lookup
// through this object never reaches another process that happens to reuse the pid.
class PeerProcess : public CodeObject {
 public:
  virtual pid_t pid() const = 0;

 protected:
  using CodeObject::CodeObject;
};

struct PeerCredentials {
  uid_t uid = 0;
  gid_t gid = 0;
};

// Who wrote bytes taken from a connection.
enum class Writer {
  VerifiedPeer,  // the process that was verified on the connection
  OtherProcess,  // another process (`writer_pid`), or another process since reusing its pid
  Unnamed,       // the kernel named no writer
};

struct ReceivedBytes {
  std::size_t size = 0;  // 0: the peer has closed its end
  Writer writer = Writer::VerifiedPeer;
  pid_t writer_pid = 0;  // the writer's pid as the kernel gave it; 0 when it gave none
  // The verified process still existed (running, or not yet reaped) once the bytes were taken:
  // until then its pid names no other process.
  bool peer_alive = true;
};

// The code a running process executes (a guest of the system).
class GuestCode : public CodeObject {
 protected:
  using CodeObject::CodeObject;
};

// Code on disk: a bundle directory.
class StaticCode : public CodeObject {
 protected:
  using CodeObject::CodeObject;
};

// The location of code on disk, made from a path (the darwin layer's CFURL).
class CodeURL : public CodeObject {
 protected:
  using CodeObject::CodeObject;
};

// A compiled code-signing requirement.
class Requirement : public CodeObject {
 protected:
  using CodeObject::CodeObject;
};

// What the signature of a running process says beyond the requirement it satisfies: the facts
// that decide whether other code can be put into it. Read from the code's signing information
// and the kernel's dynamic status.
struct GuestSigningFacts {
  // Signed for the hardened runtime: the loader refuses libraries of other signers and the
  // variables that make it load code, and no other process may take control of it.
  bool hardened_runtime = false;
  // The kernel still counts the running code as valid (nothing unsigned has been mapped).
  bool valid = false;
  // A debugger is, or was, attached to it.
  bool debugged = false;
  // The entitlements whose value is true.
  std::vector<std::string> entitlements;
  // CFBundleVersion of the sealed information list, if it has one.
  std::optional<std::string> bundle_version;
};

// How much of a bundle on disk a static check reads.
enum class ValidationScope {
  // The signature, the requirement and every sealed item: for what is about to be installed.
  Full,
  // The signature, the requirement and a sound bundle layout, without reading the sealed
  // contents: establishes which application an installed bundle is, so that an installation
  // whose files were damaged can still be repaired by an update.
  Identity,
};

class CodeSigning {
 public:
  virtual ~CodeSigning() = default;

  // The peer of a connected Unix stream socket, or the errno of the failed lookup.
  virtual std::expected<std::unique_ptr<PeerProcess>, int> copy_peer_process(int socket_fd) = 0;
  // The peer's user and group, or the errno of the failed lookup.
  virtual std::expected<PeerCredentials, int> peer_credentials(int socket_fd) = 0;
  // The code that process runs now; a non-zero status when there is none (the process has gone,
  // or its pid names another process now).
  virtual std::expected<std::unique_ptr<GuestCode>, OSStatus> copy_guest_code(
      const PeerProcess& peer) = 0;

  // The location named by a UTF-8 path, or nullptr ("no result").
  virtual std::unique_ptr<CodeURL> create_code_url(std::string_view utf8_path) = 0;
  // The location of a file URL (the same location the Files area pins, where it pins one), or
  // nullptr.
  virtual std::unique_ptr<CodeURL> create_code_url(const FileUrl& url) = 0;
  // The code at that URL, or the non-zero status of the failure.
  virtual std::expected<std::unique_ptr<StaticCode>, OSStatus> create_static_code(
      const CodeURL& url) = 0;

  // Compiles a requirement text (UTF-8).
  virtual std::expected<std::unique_ptr<Requirement>, SecFailure> create_requirement(
      std::string_view text) = 0;

  // Success exactly when the code is validly signed and satisfies the requirement.
  virtual std::expected<void, SecFailure> check_guest_validity(GuestCode& code,
                                                               const Requirement& requirement) = 0;
  virtual std::expected<void, SecFailure> check_static_validity(StaticCode& code,
                                                                const Requirement& requirement,
                                                                ValidationScope scope) = 0;

  // The facts above for code that passed check_guest_validity, or the non-zero status of the
  // failed lookup.
  virtual std::expected<GuestSigningFacts, OSStatus> copy_guest_signing_facts(GuestCode& code) = 0;

  // For a connection whose peer (`peer`, from copy_peer_process on `socket_fd`) passed
  // check_guest_validity: success while that process still runs only code accepted then, holds
  // its end of the connection as it did, and cannot be taken over (traced). Never reads the
  // bundle again.
  virtual std::expected<void, SecFailure> recheck_guest_validity(const PeerProcess& peer,
                                                                 int socket_fd) = 0;

  // Takes up to `into.size()` bytes from the connection `socket_fd` whose peer is `peer`, with
  // who wrote them as the kernel names it. One call never returns bytes of two writers. Never
  // blocks; errno EAGAIN when no byte is waiting, or the errno of the failed read.
  virtual std::expected<ReceivedBytes, int> receive_from_peer(const PeerProcess& peer,
                                                              int socket_fd,
                                                              std::span<char> into) = 0;
};

}  // namespace platform
