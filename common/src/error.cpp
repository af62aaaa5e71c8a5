#include "common/error.hpp"

#include <cerrno>
#include <cstring>

#include "common/util/quoted.hpp"

namespace common {

Error Error::last_os() { return Error(errno); }

Reason Error::reason() const {
  if (reason_ == Reason::Unspecified && is_os_) return reason_for_os_error(code_);
  return reason_;
}

Reason reason_for_os_error(int code) {
  switch (code) {
    case EROFS:
      return Reason::ReadOnlyVolume;
    case ENOSPC:
    case EDQUOT:
      return Reason::NoSpace;
    case ENOENT:
    case ENOTDIR:
      return Reason::NotFound;
    case EPERM:
    case EACCES:
      return Reason::NotPermitted;
    default:
      return Reason::IoError;
  }
}

namespace {

// The two shapes of strerror_r, told apart by overload: GNU returns the text (a static string for
// known values, leaving the buffer alone); POSIX (macOS) fills the buffer and returns 0 or an
// error number. Both overloads must compile wherever either shape is the one declared.
[[maybe_unused]] std::string strerror_text(const char* gnu_result, const char*, int) {
  return std::string(gnu_result);
}
[[maybe_unused]] std::string strerror_text(int posix_result, const char* buffer, int code) {
  return posix_result == 0 ? std::string(buffer) : "Unknown error " + std::to_string(code);
}

}  // namespace

std::string os_error_description(int code) {
  char buf[256];
  return strerror_text(strerror_r(code, buf, sizeof buf), buf, code);
}

std::string_view os_error_kind_name(int code) {
  switch (code) {
    case EPERM:
    case EACCES:
      return "PermissionDenied";
    case ENOENT:
      return "NotFound";
    case EINTR:
      return "Interrupted";
    case E2BIG:
      return "ArgumentListTooLong";
    case EAGAIN:
      return "WouldBlock";
    case ENOMEM:
      return "OutOfMemory";
    case EBUSY:
      return "ResourceBusy";
    case EEXIST:
      return "AlreadyExists";
    case EXDEV:
      return "CrossesDevices";
    case ENOTDIR:
      return "NotADirectory";
    case EISDIR:
      return "IsADirectory";
    case EINVAL:
      return "InvalidInput";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EFBIG:
      return "FileTooLarge";
    case ENOSPC:
      return "StorageFull";
    case ESPIPE:
      return "NotSeekable";
    case EROFS:
      return "ReadOnlyFilesystem";
    case EMLINK:
      return "TooManyLinks";
    case EPIPE:
      return "BrokenPipe";
    case EDEADLK:
      return "Deadlock";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENOSYS:
      return "Unsupported";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case ELOOP:
      return "FilesystemLoop";
    case EADDRINUSE:
      return "AddrInUse";
    case EADDRNOTAVAIL:
      return "AddrNotAvailable";
    case ENETDOWN:
      return "NetworkDown";
    case ENETUNREACH:
      return "NetworkUnreachable";
    case ECONNABORTED:
      return "ConnectionAborted";
    case ECONNRESET:
      return "ConnectionReset";
    case ENOTCONN:
      return "NotConnected";
    case ETIMEDOUT:
      return "TimedOut";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case EHOSTUNREACH:
      return "HostUnreachable";
    case ESTALE:
      return "StaleNetworkFileHandle";
    case EDQUOT:
      return "FilesystemQuotaExceeded";
    default:
      return "Uncategorized";
  }
}

std::string_view error_kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Other:
      return "Other";
    case ErrorKind::UnexpectedEof:
      return "UnexpectedEof";
    case ErrorKind::InvalidData:
      return "InvalidData";
    case ErrorKind::WriteZero:
      return "WriteZero";
  }
  return "Other";
}

std::string Error::text() const {
  if (!is_os_) return message_;
  return os_error_description(code_) + " (os error " + std::to_string(code_) + ")";
}

std::string Error::diagnostic() const {
  if (!is_os_) {
    return "Custom { kind: " + std::string(error_kind_name(kind_)) +
           ", error: " + util::quoted(message_) + " }";
  }
  return "Os { code: " + std::to_string(code_) +
         ", kind: " + std::string(os_error_kind_name(code_)) +
         ", message: " + util::quoted(os_error_description(code_)) + " }";
}

}  // namespace common
