#pragma once
// Atomic replacement of an installed bundle by a copy of a new one.

#include <functional>
#include <optional>
#include <string_view>

#include "common/error.hpp"
#include "platform/code_signing.hpp"
#include "platform/files.hpp"
#include "platform/platform.hpp"

namespace util::fs {

// What a signature check is asked to look at: the bundle's path as the client gave it (bytes, for
// the source) or as the platform made it, the URL that pins the bundle where one has been made,
// and how much of the bundle to read.
struct BundleToValidate {
  std::string_view path;
  const platform::FileUrl* url = nullptr;
  platform::ValidationScope scope = platform::ValidationScope::Full;
};

// Checks the code signature of a bundle (the helper passes validate_app_package_signature;
// tests script outcomes).
using SignatureValidator =
    std::function<common::Status(platform::Platform&, const BundleToValidate&)>;

// URLs made before the routine runs, such as those reached with the requesting user's rights;
// where one is absent the routine makes it from the path.
struct PremadeUrls {
  const platform::FileUrl* source = nullptr;
  const platform::FileUrl* destination = nullptr;
};

// Refuses a destination that is itself a symbolic link before anything else; checks that the
// destination is the application (its identity, not the integrity of its files);
// copies the bundle at `source_path` into a new replacement directory beside `destination_path`,
// under the destination's file name; validates the copy in full with `validate`; refuses a copy
// whose version is older than the destination's; gives every item of it the destination's owner
// and group; strips the quarantine attribute; and swaps it into the destination's place in one
// step, naming no backup item (a backup beside the destination would take the place of, and so
// delete, whatever already has that name there). Logs each step on standard output. The first
// failure ends the routine with its text; nothing is rolled back, and the routine itself removes
// nothing (where the platform cleans its replacement directories up, that happens once the routine
// has let go of their URLs). Every step after the destination's URL has been made goes through the
// URLs, never through the path again. Blocks the calling thread throughout.
common::Status replace_directory_atomic(platform::Platform& platform, std::string_view source_path,
                                        std::string_view destination_path,
                                        const SignatureValidator& validate, PremadeUrls urls = {});

// `error`, given `reason` unless it carries one already: a reason found closer to the failure
// (nothing at the path, a read-only volume) says more than the step that failed.
common::Error with_default_reason(common::Error error, common::Reason reason);

// The last component of a path, ignoring trailing separators and "." components; none for a
// path that is empty, the root, only "." or ends in "..".
std::optional<std::string_view> path_file_name(std::string_view path);

}  // namespace util::fs
