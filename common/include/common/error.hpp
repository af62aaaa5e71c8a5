#pragma once
// The one error value of the system: a general error (kind + message) or an OS error (errno).
// Values are moved up the call chain; callers either pass one on unchanged or wrap its text()
// after a fixed prefix with Error::other.

#include <expected>
#include <string>
#include <string_view>

namespace common {

enum class ErrorKind { Other, UnexpectedEof, InvalidData, WriteZero };

class Error {
 public:
  static Error other(std::string message) { return Error(ErrorKind::Other, std::move(message)); }
  static Error general(ErrorKind kind, std::string message) {
    return Error(kind, std::move(message));
  }
  static Error os(int code) { return Error(code); }
  // The OS error of the current errno; call right after the failing system call.
  static Error last_os();

  bool is_os() const { return is_os_; }
  // Kind of a general error; an OS error reports Other (it is never one of the framing kinds).
  ErrorKind kind() const { return is_os_ ? ErrorKind::Other : kind_; }
  int os_code() const { return code_; }
  const std::string& message() const { return message_; }

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

// The system's description of an errno value, as strerror_r gives it.
std::string os_error_description(int code);
// Name of the error class an errno value falls into (NotFound, PermissionDenied, ...).
std::string_view os_error_kind_name(int code);
std::string_view error_kind_name(ErrorKind kind);

}  // namespace common
