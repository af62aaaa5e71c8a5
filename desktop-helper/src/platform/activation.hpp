#pragma once
// Socket activation: the listening sockets the service manager holds for the helper.

#include <expected>
#include <vector>

#include "common/util/unique_fd.hpp"

namespace platform {

class Activation {
 public:
  virtual ~Activation() = default;

  // The descriptors handed over under `name`, owned by the caller from now on; or the error
  // number of the failure: ESRCH (not started by a socket-activating service manager), ENOENT
  // (no socket of that name), EALREADY (that name was already activated in this process), or
  // another number the manager reported.
  virtual std::expected<std::vector<common::util::UniqueFd>, int> activate_socket(
      const char* name) = 0;
};

}  // namespace platform
