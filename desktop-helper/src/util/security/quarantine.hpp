#pragma once
// Removal of the quarantine attribute that downloads carry.

#include <string_view>

#include "common/error.hpp"
#include "platform/files.hpp"

namespace util::security {

inline constexpr std::string_view QUARANTINE_ATTRIBUTE = "com.apple.quarantine";
inline constexpr std::string_view QUARANTINE_TOOL = "xattr";

// Deletes the quarantine attribute from the item at `url` (whose path is `path`) and from every
// item below it, never a link's target: with the "xattr" tool ("-r", "-s", "-d", the attribute,
// the path) where the platform has it, otherwise through the platform's attribute calls on the
// URL. Only a failure of the operation as a whole is an error: the OS error of starting or
// waiting for the tool (its exit status is ignored), or of reaching the tree. Logs nothing.
// Blocks the calling thread.
common::Status remove_quarantine_attribute(platform::Files& files, const platform::FileUrl& url,
                                           std::string_view path);

}  // namespace util::security
