#pragma once
// The one error value of the system: a general error (kind + message) or an OS error (errno).
// Values are moved up the call chain; callers either pass one on unchanged or wrap its text()
// after a fixed prefix with Error::other.

#include <expected>
#include <string>
#include <string_view>

namespace common {

enum class ErrorKind { Other, UnexpectedEof, InvalidData, WriteZero };

// Why a command failed, in the closed set a client may be told. Unspecified: the failure carries
// no reason of its own (an OS error's is read from its number where the reply is made).
enum class Reason {
  Unspecified,
  BadRequest,
  NotSigned,
  Downgrade,
  NotTheApplication,
  NotFound,
  NotPermitted,
  ReadOnlyVolume,
  NoSpace,
  ExitWaitTimedOut,
  IoError,
};

class Error {
 public:
  static Error other(std::string message) { return Error(ErrorKind::Other, std::move(message)); }
  static Error general(ErrorKind kind, std::string message) {
    return Error(kind, std::move(message));
  }
  static Error os(int code) { return Error(code); }
  // A general error whose message is `prefix` followed by `inner`'s text; the reason carries over.
  static Error wrap(std::string_view prefix, const Error& inner) {
    Error e = other(std::string(prefix) + inner.text());
    e.reason_ = inner.reason();
    return e;
  }
  // The OS error of the current errno; call right after the failing system call.
  static Error last_os();

  bool is_os() const { return is_os_; }
  // Kind of a general error; an OS error reports Other (it is never one of the framing kinds).
  ErrorKind kind() const { return is_os_ ? ErrorKind::Other : kind_; }
  int os_code() const { return code_; }
  const std::string& message() const { return message_; }
  // The reason given to this error, else an OS error's as its number implies.
  Reason reason() const;
  Error with_reason(Reason r) && {
    reason_ = r;
    return std::move(*this);
  }

  // Text form, used in log lines: the message, or "<strerror> (os error N)".
  std::string text() const;
  // Diagnostic form: Custom { kind: K, error: "..." } or Os { code: N, kind: K, message: "..." }.
  std::string diagnostic() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  explicit Error(int code) : is_os_(true), code_(code) {}

  bool is_os_ = false;
  ErrorKind kind_ = ErrorKind::Other;
  int code_ = 0;
  std::string message_;
  Reason reason_ = Reason::Unspecified;
};

template <typename T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }
inline std::unexpected<Error> fail_other(std::string message) {
  return std::unexpected<Error>(Error::other(std::move(message)));
}
inline std::unexpected<Error> fail_os(int code) { return std::unexpected<Error>(Error::os(code)); }
inline std::unexpected<Error> fail_last_os() { return std::unexpected<Error>(Error::last_os()); }
inline std::unexpected<Error> fail_because(Reason reason, std::string message) {
  return std::unexpected<Error>(Error::other(std::move(message)).with_reason(reason));
}
inline std::unexpected<Error> fail_wrapped(std::string_view prefix, const Error& inner) {
  return std::unexpected<Error>(Error::wrap(prefix, inner));
}

// The system's description of an errno value, as strerror_r gives it.
std::string os_error_description(int code);
// Name of the error class an errno value falls into (NotFound, PermissionDenied, ...).
std::string_view os_error_kind_name(int code);
std::string_view error_kind_name(ErrorKind kind);
// What an errno value means for the client: a read-only volume, a full one, a missing item,
// denied access, or another input/output failure.
Reason reason_for_os_error(int code);

}  // namespace common
