// The requirement compiler on arbitrary text: it never crashes and never recurses without bound,
// every refusal carries a code and a located description, and what compiles can be evaluated.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codesign/requirement_language.hpp"

namespace {

namespace li = codesign;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto compiled = li::compile_requirement(text);
  if (!compiled) {
    check(compiled.error().status != 0 && !compiled.error().detail.empty());
    return 0;
  }
  li::SignatureFacts facts;
  facts.identifier = "com.kolvaris.desktop";
  facts.anchored = size % 2 == 0;
  facts.leaf_subject_ou = "KOLVARIS01";
  facts.leaf_extension_oids = {"1.2.840.113635.100.6.1.13"};
  (void)compiled->evaluate(facts);
  facts = {};
  (void)compiled->evaluate(facts);
  // Compiling is a function of the text alone.
  auto twice = li::compile_requirement(text);
  check(twice && *twice == *compiled);
  return 0;
}
