#pragma once
// Build-time identity of the helper and of the desktop application it serves.

#include <string_view>

#include "kolvaris_client_requirement.h"

namespace common {

inline constexpr std::string_view CLIENT_BUNDLE_IDENTIFIER = KOLVARIS_CLIENT_BUNDLE_IDENTIFIER;
inline constexpr std::string_view SIGNING_TEAM_IDENTIFIER = KOLVARIS_SIGNING_TEAM_IDENTIFIER;
inline constexpr std::string_view HELPER_LABEL = KOLVARIS_HELPER_LABEL;

// The code-signing requirement every client and every new bundle must satisfy.
// Defined once in the build (cmake/settings.cmake), which also writes it into the embedded
// information list.
inline constexpr std::string_view CLIENT_CODE_REQUIREMENT = KOLVARIS_CLIENT_CODE_REQUIREMENT;

// Where the service manager keeps the helper's socket.
inline constexpr std::string_view HELPER_SOCKET_PATH = "/var/run/" KOLVARIS_HELPER_LABEL ".sock";

}  // namespace common
