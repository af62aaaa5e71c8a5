#pragma once
// The one platform-specific step of starting a child process with posix_spawn: keeping the
// parent's other descriptors out of it. The runtime's sockets are not close-on-exec, so without
// this a child would hold the listener and every client connection open.

#include <spawn.h>

namespace platform {

// Adds to `actions` (after the caller's own) and to `flags` (the attribute flags the caller
// will set) whatever makes the child inherit no descriptor above 2. Returns 0 or an errno.
int close_descriptors_above_stderr(posix_spawn_file_actions_t& actions, short& flags);

}  // namespace platform
