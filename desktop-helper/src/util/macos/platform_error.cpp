#include "util/macos/platform_error.hpp"

#include <string>

#include "common/util/quoted.hpp"

namespace util::macos {

using common::Error;
using common::fail_other;
using common::Result;
using common::util::is_valid_utf8;

Error error_from_cf_error(const platform::OptionalCFError& error, std::string_view operation) {
  if (!error) return error_from_null_result(operation);
  std::string text(operation);
  text += " failed with code: ";
  text += std::to_string(error->code);
  text += " and error: ";
  text += error->description ? *error->description : std::string("unknown");
  return Error::other(std::move(text));
}

Error error_from_status(std::string_view operation, std::int32_t status) {
  std::string text(operation);
  text += " failed with code: ";
  text += std::to_string(status);
  return Error::other(std::move(text));
}

Error error_from_null_result(std::string_view operation) {
  std::string text(operation);
  text += " failed with error: unknown";
  return Error::other(std::move(text));
}

std::string ns_error_default_description(std::string_view domain, std::int64_t code) {
  // Foundation's wording for an error without a localized description of its own.
  std::string text = "The operation couldn\u2019t be completed. (";
  text += domain;
  text += " error ";
  text += std::to_string(code);
  text += ".)";
  return text;
}

Error error_from_ns_error(const std::optional<std::string>& localized_description) {
  if (localized_description) return Error::other(*localized_description);
  return Error::other(ns_error_default_description(SUBSTITUTE_NS_ERROR_DOMAIN, 0));
}

Result<std::string_view> path_to_str(std::string_view path, std::string_view argument) {
  if (is_valid_utf8(path)) return path;
  std::string text = "Could not convert \"";
  text += argument;
  text += "\" to a \"&str\"";
  return fail_other(std::move(text));
}

Result<std::string_view> file_name_to_str(std::string_view name) {
  if (is_valid_utf8(name)) return name;
  return fail_other("Could not convert file name to a \"&str\"");
}

std::string enumerator_result_debug(std::int64_t raw) {
  return "CFURLEnumeratorResult(" + std::to_string(raw) + ")";
}

}  // namespace util::macos
