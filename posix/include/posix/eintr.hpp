#pragma once
// Restarting a system call that a signal interrupted.

#include <cerrno>
#include <type_traits>

namespace posix {

// Calls `call` again for as long as it fails with EINTR (answers -1 with errno EINTR), and
// answers its first other result; errno is then the call's own. `call` answers an integer, as
// system calls do. Async-signal-safe when `call` is: usable between fork and exec.
template <typename Call>
auto retry_eintr(Call&& call) -> decltype(call()) {
  static_assert(std::is_integral_v<decltype(call())>, "a system call's integer result");
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

}  // namespace posix
