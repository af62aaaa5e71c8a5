#include <spawn.h>

#include "platform/spawn.hpp"

namespace platform {

int close_descriptors_above_stderr(posix_spawn_file_actions_t& actions, short& /*flags*/) {
  return posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

}  // namespace platform
