#pragma once
// Failures of OpenSSL calls as the system's one error value, with OpenSSL's own reason.

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace codesign {

// The text of this thread's last queued OpenSSL error ("unknown OpenSSL error" for an empty
// queue); the queue is empty afterwards.
std::string openssl_error_text();

// The failure of the OpenSSL call that just failed, read from this thread's error queue, which is
// empty afterwards. A failed allocation anywhere in the queue is ENOMEM, as a failed allocation
// is everywhere else; any other failure is `what` followed by OpenSSL's reason.
common::Error openssl_failure(std::string_view what);

// Clears this thread's OpenSSL error queue when a verification or a signing ends, whichever way
// it ends, so nothing is left queued for the next caller on the thread.
struct ErrorQueueGuard {
  ErrorQueueGuard() = default;
  ErrorQueueGuard(const ErrorQueueGuard&) = delete;
  ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
  ~ErrorQueueGuard();
};

}  // namespace codesign
