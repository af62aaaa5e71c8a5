#include <spawn.h>

#include "platform/spawn.hpp"

namespace platform {

int close_descriptors_above_stderr(posix_spawn_file_actions_t& actions, short& flags) {
  // With POSIX_SPAWN_CLOEXEC_DEFAULT the child keeps only the descriptors the file actions name,
  // so the three standard ones are named here, after the caller's own dup2/open actions.
  for (int fd = 0; fd <= 2; ++fd) {
    if (int rc = posix_spawn_file_actions_addinherit_np(&actions, fd); rc != 0) return rc;
  }
  flags = static_cast<short>(flags | POSIX_SPAWN_CLOEXEC_DEFAULT);
  return 0;
}

}  // namespace platform
