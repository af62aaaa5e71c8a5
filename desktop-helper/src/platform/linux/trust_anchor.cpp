#include "platform/linux/trust_anchor.hpp"

namespace platform::linux_impl {

std::string_view compiled_trust_anchor_pem() {
  static constexpr std::string_view TRUST_ANCHOR_PEM =
#include "kolvaris_trust_anchor.inc"
      ;
  return TRUST_ANCHOR_PEM;
}

}  // namespace platform::linux_impl
