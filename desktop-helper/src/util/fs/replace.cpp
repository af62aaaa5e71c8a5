#include "util/fs/replace.hpp"

#include <string>

#include "common/util/log.hpp"
#include "platform/files.hpp"
#include "util/fs/bundle_version.hpp"
#include "util/fs/ownership.hpp"
#include "util/macos/platform_error.hpp"
#include "util/security/quarantine.hpp"

namespace util::fs {

namespace macos = util::macos;
using common::util::log_out;

std::optional<std::string_view> path_file_name(std::string_view path) {
  std::optional<std::string_view> last;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view component = path.substr(start, end - start);
    if (!component.empty() && component != ".") last = component;
    start = end + 1;
  }
  if (!last || *last == "..") return std::nullopt;
  return last;
}

common::Error with_default_reason(common::Error error, common::Reason reason) {
  if (error.reason() != common::Reason::Unspecified) return error;
  return std::move(error).with_reason(reason);
}

namespace {

using common::Reason;

// A failed Foundation call: its description, and what the POSIX error under it tells a client.
common::Error foundation_error(const platform::FoundationFailure& failure) {
  common::Error error = macos::error_from_ns_error(failure.localized_description);
  if (failure.posix_code == 0) return error;
  return std::move(error).with_reason(common::reason_for_os_error(failure.posix_code));
}

common::Error bad_request(common::Error error) {
  return std::move(error).with_reason(Reason::BadRequest);
}

// A copy older than what is installed would let anyone who can reach the helper roll the
// application back to a version with a known hole. The copy's version is trusted because the
// copy has just been validated where nobody else can change it; the destination's is read
// without hashing, which is fine: whoever can edit it owns the installation anyway.
common::Status check_version(const std::optional<std::string>& installed,
                             const std::optional<std::string>& candidate) {
  // A download whose version cannot be compared cannot be shown not to be older.
  if (!candidate) {
    return common::fail_because(Reason::Downgrade,
                                "Refusing to install a bundle without a CFBundleVersion");
  }
  if (!installed || !compare_bundle_versions(*installed, *installed)) {
    log_out("Installing version " + *candidate + " over an unversioned bundle");
    return {};
  }
  auto order = compare_bundle_versions(*candidate, *installed);
  if (!order) {
    return common::fail_because(Reason::Downgrade, "Refusing to install version \"" + *candidate +
                                                       "\", which is not a dotted version number");
  }
  if (*order < 0) {
    return common::fail_because(Reason::Downgrade, "Refusing to replace version " + *installed +
                                                       " with older version " + *candidate);
  }
  log_out("Replacing version " + *installed + " with version " + *candidate);
  return {};
}

}  // namespace

common::Status replace_directory_atomic(platform::Platform& platform, std::string_view source_path,
                                        std::string_view destination_path,
                                        const SignatureValidator& validate, PremadeUrls urls) {
  platform::Files& files = *platform.files;

  auto source_text = macos::path_to_str(source_path, "source_path");
  if (!source_text) return common::fail(bad_request(std::move(source_text.error())));
  platform::FileUrl source_url = urls.source ? *urls.source : files.file_url(*source_text);

  auto destination_text = macos::path_to_str(destination_path, "destination_path");
  if (!destination_text) return common::fail(bad_request(std::move(destination_text.error())));
  platform::FileUrl destination_url =
      urls.destination ? *urls.destination : files.file_url(*destination_text);

  // Root must never act on whatever a link points to, and the swap would put the new bundle in
  // the link's place while the item the link names stays as it was.
  if (files.is_symbolic_link(destination_url).value_or(false)) {
    return common::fail_other("Refusing to replace \"destination_path\", which is a symbolic link");
  }

  // Only a bundle that is itself the signed application may be replaced: without this check the
  // helper would overwrite any directory a client names, with root's rights. Its identity is
  // enough: a damaged installation must stay repairable by an update. The check goes through the
  // URL, so what was checked is what the later steps reach.
  log_out("Validating signature of destination app package");
  if (auto valid = validate(platform, BundleToValidate{*destination_text, &destination_url,
                                                       platform::ValidationScope::Identity});
      !valid) {
    return common::fail(with_default_reason(std::move(valid.error()), Reason::NotTheApplication));
  }
  log_out("Successfully validated signature of destination app package");
  const std::optional<std::string> installed_version = files.bundle_version(destination_url);

  log_out("Reading file permissions of destination");
  auto destination_security = copy_cf_file_security(files, destination_url);
  if (!destination_security) return common::fail(std::move(destination_security.error()));
  const auto& owner = destination_security->owner;
  const auto& group = destination_security->group;
  const auto& mode = destination_security->mode;
  if (!owner || !group || !mode)
    return common::fail_other("Failed to extract file security details");
  log_out("File permissions read successfully: Owner: " + std::to_string(*owner) +
          ", Group: " + std::to_string(*group) + ", Mode: " + std::to_string(*mode));

  log_out("Creating temporary directory for copy operations");
  // Asked before the directory is made: for a path ending in "..", the directory "beside" the
  // destination would be made inside it.
  auto file_name = path_file_name(destination_path);
  if (!file_name) {
    return common::fail_because(Reason::BadRequest,
                                "Could not get file name from the given \"destination_path\"");
  }
  auto temporary_directory = files.item_replacement_directory(destination_url);
  if (!temporary_directory) return common::fail(foundation_error(temporary_directory.error()));
  auto file_name_text = macos::file_name_to_str(*file_name);
  if (!file_name_text) return common::fail(bad_request(std::move(file_name_text.error())));

  auto temp_item_url = files.append_path_component(*temporary_directory, *file_name_text);
  if (!temp_item_url) return common::fail_other("Could not create \"temp_item_url\"");
  auto temp_item_path = files.url_path(*temp_item_url);
  if (!temp_item_path) return common::fail_other("Failed to convert from \"NSURL\" to \"Path\"");
  log_out("Created temporary directory for item at path: " + *temp_item_path);

  log_out("Copying item to temporary directory");
  if (auto copied = files.copy_item(source_url, *temp_item_url); !copied) {
    return common::fail(foundation_error(copied.error()));
  }

  // The source lives where its owner can still change it after the first check; what lands at
  // the destination is this copy, in a directory only we can reach, so this copy is what must be
  // proven signed.
  log_out("Validating signature of item in temporary directory");
  if (auto valid = validate(platform, BundleToValidate{*temp_item_path, &*temp_item_url,
                                                       platform::ValidationScope::Full});
      !valid) {
    return common::fail(with_default_reason(std::move(valid.error()), Reason::NotSigned));
  }
  log_out("Successfully validated signature of item in temporary directory");
  if (auto newer = check_version(installed_version, files.bundle_version(*temp_item_url)); !newer) {
    return newer;
  }

  log_out("Recursively overriding ownership of item in temporary directory");
  if (auto owned = override_directory_owner_and_group_recursive(files, *temp_item_url,
                                                                *destination_security);
      !owned) {
    return owned;
  }

  log_out("Removing quarantine attribute of item in temporary directory");
  if (auto removed =
          util::security::remove_quarantine_attribute(files, *temp_item_url, *temp_item_path);
      !removed) {
    return common::fail_wrapped("Failed to remove quarantine attribute: ", removed.error());
  }
  log_out("Successfully removed quarantine attribute");

  log_out("Replace item at destination with item from temporary directory");
  // No backup name: the platform would put the old bundle beside the destination under that name,
  // removing whatever has it already, and the destination's directory (/Applications) is one
  // that other users may write to. Without a name the old bundle never appears there.
  if (auto replaced = files.replace_item(destination_url, *temp_item_url, std::nullopt);
      !replaced) {
    return common::fail(foundation_error(replaced.error()));
  }
  return {};
}

}  // namespace util::fs
