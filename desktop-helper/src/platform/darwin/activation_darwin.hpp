#pragma once
// launchd socket activation.

#include "platform/activation.hpp"

namespace platform::darwin {

class LaunchdActivation final : public Activation {
 public:
  // launch_activate_socket. launchd itself answers EALREADY for a second activation of a name.
  std::expected<std::vector<common::util::UniqueFd>, int> activate_socket(
      const char* name) override;
};

}  // namespace platform::darwin
