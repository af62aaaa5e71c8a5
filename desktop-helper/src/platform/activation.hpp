#pragma once
// Socket activation: the listening sockets the service manager holds for the helper.

#include <expected>
#include <vector>

namespace platform {

class Activation {
 public:
  virtual ~Activation() = default;

  // The descriptors handed over under `name`, owned by the caller from now on; or the error
  // number of the failure: ESRCH (not started by a socket-activating service manager), ENOENT
  // (no socket of that name), EALREADY (that name was already activated in this process), or
  // another number the manager reported.
  virtual std::expected<std::vector<int>, int> activate_socket(const char* name) = 0;
};

}  // namespace platform
