#include "platform/linux/session_environment.hpp"

#include <algorithm>
#include <array>

namespace platform::linux_impl {
namespace {

constexpr std::array<std::string_view, 5> SESSION_NAMES = {
    "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"};

bool is_locale_name(std::string_view name) {
  if (name == "LANG") return true;
  if (!name.starts_with("LC_") || name.size() == 3) return false;
  return std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// Adds `entry` unless it may not pass, its name is there already, or the list is full.
void keep_if_allowed(std::string_view entry, std::vector<std::string>& kept) {
  if (kept.size() >= MAX_SESSION_VARIABLES || !is_session_variable(entry)) return;
  const std::string_view name = entry.substr(0, entry.find('=') + 1);
  for (const auto& present : kept) {
    if (present.starts_with(name)) return;
  }
  kept.emplace_back(entry);
}

}  // namespace

bool is_session_variable(std::string_view entry) {
  if (entry.size() > MAX_SESSION_VARIABLE_SIZE) return false;
  if (entry.find('\0') != std::string_view::npos) return false;
  const auto equals = entry.find('=');
  if (equals == std::string_view::npos || equals == 0) return false;
  const std::string_view name = entry.substr(0, equals);
  const std::string_view value = entry.substr(equals + 1);
  if (is_locale_name(name)) return value.find('/') == std::string_view::npos;
  return std::find(SESSION_NAMES.begin(), SESSION_NAMES.end(), name) != SESSION_NAMES.end();
}

std::vector<std::string> session_variables_of(std::string_view environment_block) {
  std::vector<std::string> kept;
  if (environment_block.size() > MAX_ENVIRONMENT_READ) {
    environment_block = environment_block.substr(0, MAX_ENVIRONMENT_READ);
  }
  while (!environment_block.empty()) {
    const auto end = environment_block.find('\0');
    if (end == std::string_view::npos) break;  // cut off: its value may be incomplete
    keep_if_allowed(environment_block.substr(0, end), kept);
    environment_block.remove_prefix(end + 1);
  }
  return kept;
}

std::vector<std::string> session_variables_of(const std::vector<std::string>& entries) {
  std::vector<std::string> kept;
  for (const auto& entry : entries) keep_if_allowed(entry, kept);
  return kept;
}

}  // namespace platform::linux_impl
