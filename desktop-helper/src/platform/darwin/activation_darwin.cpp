#include "platform/darwin/activation_darwin.hpp"

#include <launch.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace platform::darwin {
namespace {

struct FreeArray {
  void operator()(int* array) const { std::free(array); }
};

}  // namespace

std::expected<std::vector<common::util::UniqueFd>, int> LaunchdActivation::activate_socket(
    const char* name) {
  int* fds = nullptr;
  size_t count = 0;
  const int result = launch_activate_socket(name, &fds, &count);
  // The array is ours on every path on which launchd handed one over; the descriptors in it
  // become the caller's.
  std::unique_ptr<int, FreeArray> array(fds);
  if (result != 0) {
    // The documented answer is the error number itself; a bare -1 would leave it in errno.
    return std::unexpected(result > 0 ? result : errno);
  }
  std::vector<common::util::UniqueFd> owned;
  if (!array) return owned;
  owned.reserve(count);
  for (size_t i = 0; i < count; ++i) owned.emplace_back(array.get()[i]);
  return owned;
}

}  // namespace platform::darwin
