#include "platform/linux/activation_linux.hpp"

#include <sys/socket.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76
#endif

namespace platform::linux_impl {
namespace {

// Connections accepted from a listener with these options carry the writer of every byte they
// receive, from the first one on. The socket unit asks for credentials (PassCredentials=yes);
// a listener handed over without them gets them here, before anything is accepted. A descriptor
// that is no socket refuses them, which the listener's own checks report later.
void ask_for_writers(int fd) {
  int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  (void)::setsockopt(fd, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on);
}

struct HandedOver {
  bool read = false;
  int error = 0;                                   // 0, or why no descriptors can be had
  std::vector<std::pair<std::string, int>> named;  // not yet claimed
  std::set<std::string> activated;
};

std::mutex state_mutex;
HandedOver state;

void read_environment() {
  char** names = nullptr;
  // unset_env=1: the variables must not reach the processes the helper starts.
  int n = sd_listen_fds_with_names(1, &names);
  state.read = true;
  if (n == 0) {
    state.error = ESRCH;
  } else if (n < 0) {
    state.error = -n;
  } else {
    for (int i = 0; i < n; ++i) {
      ask_for_writers(SD_LISTEN_FDS_START + i);
      state.named.emplace_back(names && names[i] ? names[i] : "", SD_LISTEN_FDS_START + i);
    }
  }
  if (names) {
    for (int i = 0; names[i]; ++i) std::free(names[i]);
    std::free(names);
  }
}

}  // namespace

std::expected<std::vector<common::util::UniqueFd>, int> SystemdActivation::activate_socket(
    const char* name) {
  std::lock_guard lock(state_mutex);
  if (!state.read) read_environment();
  if (state.error != 0) return std::unexpected(state.error);
  if (state.activated.contains(name)) return std::unexpected(EALREADY);
  std::vector<common::util::UniqueFd> fds;
  for (auto it = state.named.begin(); it != state.named.end();) {
    if (it->first == name) {
      fds.emplace_back(it->second);
      it = state.named.erase(it);
    } else {
      ++it;
    }
  }
  if (fds.empty()) return std::unexpected(ENOENT);
  state.activated.insert(name);
  return fds;
}

}  // namespace platform::linux_impl
