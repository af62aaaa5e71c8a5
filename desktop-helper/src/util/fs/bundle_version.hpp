#pragma once
// Bundle versions (CFBundleVersion): dotted decimal numbers, compared component by component.

#include <compare>
#include <optional>
#include <string_view>

namespace util::fs {

// Compares two versions numerically ("1.10" is above "1.9", "2" equals "2.0", leading zeros do
// not count, components may be of any length). None when either is not one or more runs of
// decimal digits separated by single dots.
std::optional<std::strong_ordering> compare_bundle_versions(std::string_view a,
                                                            std::string_view b);

}  // namespace util::fs
