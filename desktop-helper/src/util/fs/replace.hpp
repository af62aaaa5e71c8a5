#pragma once
// Atomic replacement of an installed bundle by a copy of a new one.

#include <functional>
#include <optional>
#include <string_view>

#include "common/error.hpp"
#include "platform/platform.hpp"

namespace util::fs {

// Checks the code signature of the bundle at a path (the helper passes
// validate_app_package_signature; tests script outcomes).
using SignatureValidator = std::function<common::Status(platform::Platform&, std::string_view)>;

// The name under which the platform holds the old bundle while the swap runs.
inline constexpr std::string_view BACKUP_ITEM_NAME = "backup";

// Copies the bundle at `source_path` into a new replacement directory beside
// `destination_path`, under the destination's file name; validates the copy with `validate`;
// gives every item of it the destination's owner and group; strips the quarantine attribute;
// and swaps it into the destination's place in one step. Logs each step on standard output.
// The first failure ends the routine with its text; nothing is rolled back and the replacement
// directory is never removed by the routine itself. Blocks the calling thread throughout.
common::Status replace_directory_atomic(platform::Platform& platform, std::string_view source_path,
                                        std::string_view destination_path,
                                        const SignatureValidator& validate);

// The last component of a path, ignoring trailing separators and "." components; none for a
// path that is empty, the root, only "." or ends in "..".
std::optional<std::string_view> path_file_name(std::string_view path);

}  // namespace util::fs
