// A library that an attacker preloads into the signed application: its constructor removes the
// trace of LD_PRELOAD from the process's own environment memory (what /proc/<pid>/environ shows),
// so an environment check no longer sees how the process was started.

#include <cstring>

extern char** environ;

namespace {

__attribute__((constructor)) void erase_preload_variable() {
  for (char** entry = environ; entry && *entry; ++entry) {
    if (std::strncmp(*entry, "LD_PRELOAD=", 11) == 0) {
      // Renamed in place: the bytes of the original environment block change.
      std::memcpy(*entry, "XD_PRELOAD", 10);
    }
  }
}

}  // namespace
