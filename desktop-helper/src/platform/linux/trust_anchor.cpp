#include "platform/linux/trust_anchor.hpp"

namespace platform::linux_impl {

std::string_view compiled_trust_anchor_pem() {
  static constexpr std::string_view kPem =
#include "kolvaris_trust_anchor.inc"
      ;
  return kPem;
}

}  // namespace platform::linux_impl
