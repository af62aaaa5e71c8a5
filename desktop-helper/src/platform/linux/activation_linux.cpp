#include "platform/linux/activation_linux.hpp"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace platform::linux_impl {
namespace {

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
