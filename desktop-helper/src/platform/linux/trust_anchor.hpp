#pragma once
// The trust anchor compiled into the helper (KOLVARIS_TRUST_ANCHOR, or the development build's
// test root).

#include <string_view>

#include "platform/linux/linux_layer.hpp"

namespace platform::linux_impl {

std::string_view compiled_trust_anchor_pem();

}  // namespace platform::linux_impl
