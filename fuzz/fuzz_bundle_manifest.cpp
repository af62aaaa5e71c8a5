// The code-signature manifest parser on arbitrary bytes, as root reads the manifest of a bundle
// that any user may have built: it never crashes, everything it accepts is a well-formed manifest
// (sealable paths in strict order, the main executable among them), and the canonical spelling of
// what it accepts parses to the same manifest.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codesign/bundle_manifest.hpp"
#include "common/bundle_layout.hpp"

namespace {

namespace li = codesign;
using common::bundle_layout::SIGNATURE_DIRECTORY;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto manifest = li::parse_manifest(bytes);
  if (!manifest) {
    check(!manifest.error().detail.empty());
    return 0;
  }
  for (std::size_t i = 0; i < manifest->entries.size(); ++i) {
    const auto& path = manifest->entries[i].path;
    check(li::is_sealable_path(path));
    check(path != SIGNATURE_DIRECTORY && !path.starts_with(std::string(SIGNATURE_DIRECTORY) + "/"));
    if (i > 0) check(manifest->entries[i - 1].path < path);
  }
  const auto* main = manifest->find(manifest->main_executable);
  check(main != nullptr && main->type == li::ItemType::File && main->executable);

  const std::string canonical = li::serialize_manifest(*manifest);
  auto again = li::parse_manifest(canonical);
  check(again && *again == *manifest);
  check(li::serialize_manifest(*again) == canonical);
  // A tree exactly as sealed has no difference from its manifest.
  check(li::compare_structure(*manifest, manifest->entries).has_value());
  return 0;
}
