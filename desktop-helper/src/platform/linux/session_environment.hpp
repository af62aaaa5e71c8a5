#pragma once
// The variables of a user's graphical session that a relaunched application may take over from
// the process that asked for it.
//
// Whatever the requesting process had in its environment is the user's to choose, so only names
// that place the application in the user's session are kept: the display servers, the session
// bus, the runtime directory and the locale. Nothing that a dynamic loader, the C library's
// resolver or its conversion modules read ever passes, and sizes are bounded so that a process
// with a huge environment costs the helper nothing.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/linux_layer.hpp"

namespace platform::linux_impl {

// Bounds of what is taken over: the length of one "NAME=value" entry and the number of entries.
inline constexpr std::size_t MAX_SESSION_VARIABLE_SIZE = 4096;
inline constexpr std::size_t MAX_SESSION_VARIABLES = 32;
// How much of a process's environment block is read at all.
inline constexpr std::size_t MAX_ENVIRONMENT_READ = 256 * 1024;

// Whether one "NAME=value" entry may pass: DISPLAY, WAYLAND_DISPLAY, XAUTHORITY, XDG_RUNTIME_DIR,
// DBUS_SESSION_BUS_ADDRESS, LANG and LC_<UPPER-CASE LETTERS>, within the size bound. A locale
// value holding a '/' does not pass: the C library would take it as a path to load locale data
// from.
bool is_session_variable(std::string_view entry);

// The session variables of an environment block (entries separated by NUL, as
// /proc/<pid>/environ holds them), in their order, the first of each name only, at most
// MAX_SESSION_VARIABLES. An entry cut off at the end of the block does not count.
std::vector<std::string> session_variables_of(std::string_view environment_block);

// The entries of `entries` that pass is_session_variable, under the same rules as above; for
// values that came from elsewhere than this file's reader.
std::vector<std::string> session_variables_of(const std::vector<std::string>& entries);

}  // namespace platform::linux_impl
