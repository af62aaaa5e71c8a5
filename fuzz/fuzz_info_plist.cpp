// The Info.plist reader on arbitrary bytes, as root reads a bundle's Info.plist that any user may
// have written: it never crashes, and what it reads back survives being written out again as a
// property list and read once more.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codesign/info_plist.hpp"

namespace {

std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view xml(reinterpret_cast<const char*>(data), size);
  auto strings = codesign::read_plist_strings(xml);
  if (!strings) {
    if (strings.error().empty()) std::abort();  // every refusal says why
    return 0;
  }
  std::string again = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [key, value] : *strings) {
    again += "<key>" + escaped(key) + "</key><string>" + escaped(value) + "</string>\n";
  }
  again += "</dict>\n</plist>\n";
  auto reread = codesign::read_plist_strings(again);
  if (!reread || *reread != *strings) std::abort();
  return 0;
}
