#pragma once
// Owner and group of an installed bundle, imposed on a whole tree.
//
// Only owner and group are transferred: every item keeps its own permission bits and
// access-control data, except the set-id bits, which no item keeps. All routines block the
// calling thread for the whole tree and keep no state between calls.

#include <cstdint>

#include "common/error.hpp"
#include "platform/files.hpp"

namespace util::fs {

// The security of the item at `url` itself (a link's own). Errors:
// "CFFileSecurityCreate failed with error: unknown", or the "CFURLCopyResourcePropertyForKey"
// text of the platform's error object.
common::Result<platform::FileSecurity> copy_cf_file_security(platform::Files& files,
                                                             const platform::FileUrl& url);

// Set-user-id and set-group-id: cleared from every item that the override reaches.
inline constexpr std::uint16_t SET_ID_BITS = 06000;

// Gives the one item at `url` the owner and group of `template_security` (only read), after
// clearing its set-id bits (logged) where it has any. Errors: those of copy_cf_file_security,
// "Failed to extract file security details" (the template's owner, group or mode, or the item's
// own mode, is unreadable), the "fchmodat" text of a failure to clear the bits, "Failed to set
// owner or group", or the "CFURLSetResourcePropertyForKey" text.
common::Status override_owner_and_group(platform::Files& files, const platform::FileUrl& url,
                                        const platform::FileSecurity& template_security);

// The same for the item at `url` first, then for every item below it in enumeration order,
// logging each one. The first failure ends the walk; items handled before it keep their new
// owner and group.
common::Status override_directory_owner_and_group_recursive(
    platform::Files& files, const platform::FileUrl& url,
    const platform::FileSecurity& template_security);

}  // namespace util::fs
