#pragma once
// The string values of the top-level dictionary of an XML property list (Info.plist). Values of
// other types and nested dictionaries are skipped.

#include <expected>
#include <map>
#include <string>
#include <string_view>

namespace codesign {

// Error: a short description of what is malformed.
std::expected<std::map<std::string, std::string>, std::string> read_plist_strings(
    std::string_view xml);

}  // namespace codesign
