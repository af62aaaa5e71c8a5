#pragma once
// Removal of the quarantine attribute that downloads carry.

#include <string_view>

#include "common/error.hpp"
#include "platform/files.hpp"

namespace util::security {

inline constexpr std::string_view QUARANTINE_ATTRIBUTE = "com.apple.quarantine";
// By its absolute path: root does not run whatever an inherited PATH names first.
inline constexpr std::string_view QUARANTINE_TOOL = "/usr/bin/xattr";

// Deletes the quarantine attribute from the item at `url` (whose path is `path`) and from every
// item below it, never a link's target: with the tool at `tool` ("-r", "-s", "-d", the
// attribute, the path) where the platform has it, otherwise through the platform's attribute
// calls on the URL. Only a failure of the operation as a whole is an error: the OS error of
// starting or waiting for the tool, a tool that did not exit with 0 ("xattr exited with status
// {}", "xattr was ended by signal {}"; with -r it exits 0 for items without the attribute), or
// the OS error of reaching the tree. Logs nothing. Blocks the calling thread.
common::Status remove_quarantine_attribute(platform::Files& files, const platform::FileUrl& url,
                                           std::string_view path,
                                           std::string_view tool = QUARANTINE_TOOL);

}  // namespace util::security
