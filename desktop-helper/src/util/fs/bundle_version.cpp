#include "util/fs/bundle_version.hpp"

#include <vector>

namespace util::fs {
namespace {

// The components without their leading zeros, or none for a text that is no dotted number.
std::optional<std::vector<std::string_view>> components(std::string_view version) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = version.find('.', start);
    if (end == std::string_view::npos) end = version.size();
    std::string_view part = version.substr(start, end - start);
    if (part.empty()) return std::nullopt;
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
    }
    while (part.size() > 1 && part.front() == '0') part.remove_prefix(1);
    parts.push_back(part);
    if (end == version.size()) return parts;
    start = end + 1;
  }
}

// Digit strings without leading zeros: the longer is the larger, else the first differing digit.
std::strong_ordering compare_numbers(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() <=> b.size();
  return a.compare(b) <=> 0;
}

}  // namespace

std::optional<std::strong_ordering> compare_bundle_versions(std::string_view a,
                                                            std::string_view b) {
  auto left = components(a);
  auto right = components(b);
  if (!left || !right) return std::nullopt;
  std::size_t count = std::max(left->size(), right->size());
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view x = i < left->size() ? (*left)[i] : "0";
    std::string_view y = i < right->size() ? (*right)[i] : "0";
    if (auto order = compare_numbers(x, y); order != 0) return order;
  }
  return std::strong_ordering::equal;
}

}  // namespace util::fs
