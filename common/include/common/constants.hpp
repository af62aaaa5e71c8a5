#pragma once
// Build-time identity of the helper and of the desktop application it serves.

#include <string_view>

namespace common {

inline constexpr std::string_view CLIENT_BUNDLE_IDENTIFIER = KOLVARIS_CLIENT_BUNDLE_IDENTIFIER;
inline constexpr std::string_view SIGNING_TEAM_IDENTIFIER = KOLVARIS_SIGNING_TEAM_IDENTIFIER;
inline constexpr std::string_view HELPER_LABEL = KOLVARIS_HELPER_LABEL;

// The code-signing requirement every client and every new bundle must satisfy.
inline constexpr std::string_view CLIENT_CODE_REQUIREMENT =
    "identifier \"" KOLVARIS_CLIENT_BUNDLE_IDENTIFIER
    "\" and anchor apple generic and certificate leaf[subject.OU] = " KOLVARIS_SIGNING_TEAM_IDENTIFIER
    " and certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */";

// Where the service manager keeps the helper's socket.
inline constexpr std::string_view HELPER_SOCKET_PATH = "/var/run/" KOLVARIS_HELPER_LABEL ".sock";

}  // namespace common
