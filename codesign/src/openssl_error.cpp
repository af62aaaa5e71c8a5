#include "codesign/openssl_error.hpp"

#include <openssl/err.h>

#include <cerrno>

namespace codesign {

namespace {

std::string error_string(unsigned long code) {
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

}  // namespace

std::string openssl_error_text() {
  unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  return error_string(code);
}

common::Error openssl_failure(std::string_view what) {
  // The allocation that failed is usually the first entry; the callers above it add their own.
  bool out_of_memory = false;
  unsigned long last = 0;
  while (unsigned long code = ERR_get_error()) {
    if (ERR_SYSTEM_ERROR(code) ? ERR_GET_REASON(code) == ENOMEM
                               : ERR_GET_REASON(code) == ERR_R_MALLOC_FAILURE) {
      out_of_memory = true;
    }
    last = code;
  }
  if (out_of_memory) return common::Error::os(ENOMEM);
  return common::Error::other(
      std::string(what) + ": " +
      (last == 0 ? std::string("unknown OpenSSL error") : error_string(last)));
}

ErrorQueueGuard::~ErrorQueueGuard() { ERR_clear_error(); }

}  // namespace codesign
