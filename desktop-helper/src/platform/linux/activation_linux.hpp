#pragma once
#include "platform/activation.hpp"
#include "platform/linux/linux_layer.hpp"

namespace platform::linux_impl {

// systemd's LISTEN_FDS protocol. The environment is read once per process and then removed, so
// children never inherit it; later calls answer from what that first read found.
class SystemdActivation final : public Activation {
 public:
  std::expected<std::vector<common::util::UniqueFd>, int> activate_socket(
      const char* name) override;
};

}  // namespace platform::linux_impl
