#include "util/fs/ownership.hpp"

#include <string>
#include <variant>

#include "common/util/log.hpp"
#include "util/macos/platform_error.hpp"

namespace util::fs {

namespace macos = util::macos;

common::Result<platform::FileSecurity> copy_cf_file_security(platform::Files& files,
                                                             const platform::FileUrl& url) {
  auto copied = files.copy_file_security(url);
  if (auto* security = std::get_if<platform::FileSecurity>(&copied)) return std::move(*security);
  if (std::holds_alternative<platform::FileSecurityCreateFailed>(copied)) {
    return common::fail(macos::error_from_null_result("CFFileSecurityCreate"));
  }
  return common::fail(macos::error_from_cf_error(std::get<platform::CFCallFailure>(copied).error,
                                                 "CFURLCopyResourcePropertyForKey"));
}

common::Status override_owner_and_group(platform::Files& files, const platform::FileUrl& url,
                                        const platform::FileSecurity& template_security) {
  auto current = copy_cf_file_security(files, url);
  if (!current) return common::fail(std::move(current.error()));

  // The mode is never applied, but a template whose mode cannot be read is not trusted either.
  const auto& owner = template_security.owner;
  const auto& group = template_security.group;
  const auto& mode = template_security.mode;
  if (!owner || !group || !mode || !current->mode)
    return common::fail_other("Failed to extract file security details");

  // The copy is made as root. A set-id bit that a user put on a file of the download would
  // otherwise make it a set-id program of root's, or of the installed bundle's owner, running
  // code of the user's choosing; no signature covers permission bits. The kernel clears the bits
  // when a non-root caller changes the owner, never when root does, so they are cleared here, and
  // before the owner changes, so that no moment has a set-id item with its final owner.
  if ((*current->mode & SET_ID_BITS) != 0) {
    const auto cleared = static_cast<std::uint16_t>(*current->mode & ~SET_ID_BITS);
    if (auto written = files.write_permission_bits(url, cleared); !written) {
      return common::fail(macos::error_from_cf_error(written.error().error, "fchmodat"));
    }
    common::util::log_out("Cleared set-id bits, leaving mode " + std::to_string(cleared));
    current->mode = cleared;
  }

  // Both setters run even when the first refuses, as the platform's object expects both values.
  bool owner_set = files.set_owner(*current, *owner);
  bool group_set = files.set_group(*current, *group);
  if (!owner_set || !group_set) return common::fail_other("Failed to set owner or group");

  auto written = files.write_file_security(url, *current);
  if (!written) {
    return common::fail(
        macos::error_from_cf_error(written.error().error, "CFURLSetResourcePropertyForKey"));
  }
  return {};
}

common::Status override_directory_owner_and_group_recursive(
    platform::Files& files, const platform::FileUrl& url,
    const platform::FileSecurity& template_security) {
  if (auto top = override_owner_and_group(files, url, template_security); !top) return top;

  auto top_string = files.url_string(url);
  common::util::log_out("Recursively overriding ownership for contents of: " +
                        (top_string ? *top_string : std::string("unknown")));

  auto enumerator = files.enumerate_recursively(url);
  if (!enumerator) {
    return common::fail(macos::error_from_null_result("CFURLEnumeratorCreateForDirectoryURL"));
  }
  for (;;) {
    auto step = enumerator->next();
    switch (step.kind) {
      case platform::EnumeratorStep::Kind::Success: {
        auto item_string = files.url_string(step.url);
        if (!item_string) return common::fail(macos::error_from_null_result("CFURLGetString"));
        common::util::log_out("Overriding owner and group of file at URL: " + *item_string);
        if (auto item = override_owner_and_group(files, step.url, template_security); !item) {
          return item;
        }
        break;
      }
      case platform::EnumeratorStep::Kind::End:
        return {};
      case platform::EnumeratorStep::Kind::Error:
        return common::fail(macos::error_from_cf_error(step.error, "CFURLEnumeratorGetNextURL"));
      case platform::EnumeratorStep::Kind::Other:
        return common::fail_other("Unknown enumerator result: " +
                                  macos::enumerator_result_debug(step.raw));
    }
  }
}

}  // namespace util::fs
