#pragma once
// Code-signing services: who is at the other end of a socket, what code that process runs, the
// static signature of a bundle on disk, and the requirement language.
//
// Answers are facts, never words: an errno, a bare status (OSStatus), or a status with the
// platform's error object (code + optional description). Portable code (main/, util/security)
// turns them into the system's texts. Every object is owned by the caller and released by
// destroying it. All calls block the calling thread and may run on any thread concurrently.

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string_view>

#include "platform/files.hpp"
#include "util/macos/platform_error.hpp"

namespace platform {

using OSStatus = std::int32_t;

// The failure of a call that returns a status and fills an error out-parameter.
struct SecFailure {
  OSStatus status = 0;
  platform::OptionalCFError error;  // may be null
};

// The process at the other end of a connected socket, pinned when it connected: a later lookup
// through this object never reaches another process that happens to reuse the pid.
class PeerProcess {
 public:
  virtual ~PeerProcess() = default;
  virtual pid_t pid() const = 0;
};

struct PeerCredentials {
  uid_t uid = 0;
  gid_t gid = 0;
};

// The code a running process executes (a guest of the system).
class GuestCode {
 public:
  virtual ~GuestCode() = default;
};

// Code on disk: a bundle directory.
class StaticCode {
 public:
  virtual ~StaticCode() = default;
};

// The location of code on disk, made from a path (the darwin layer's CFURL).
class CodeURL {
 public:
  virtual ~CodeURL() = default;
};

// A compiled code-signing requirement.
class Requirement {
 public:
  virtual ~Requirement() = default;
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

  // For a connection whose peer passed check_guest_validity: success while that process still
  // runs only code accepted then, is the only one that holds the connection's other end, and
  // cannot be taken over (traced). Never reads the bundle again.
  virtual std::expected<void, SecFailure> recheck_guest_validity(int socket_fd) = 0;
};

}  // namespace platform
