#pragma once
// Waiting, with a bounded number of checks and growing pauses, until a process has gone.

#include <asio/awaitable.hpp>
#include <cstdint>

#include "common/error.hpp"
#include "platform/processes.hpp"

namespace util::system {

// A pause: whole seconds plus a nanosecond part below one second.
struct Delay {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;

  static constexpr Delay from_millis(std::uint64_t millis) {
    return Delay{millis / 1000, static_cast<std::uint32_t>(millis % 1000 * 1'000'000)};
  }
  friend constexpr auto operator<=>(const Delay&, const Delay&) = default;
};

// The pause after `delay`: twice as long (seconds and nanoseconds doubled, with carry), but no
// longer than `cap`. A doubling beyond the range of the seconds counts as the cap.
Delay next_delay(Delay delay, Delay cap);

// Checks the process table for `pid` until it is absent, pausing between checks for
// `initial_delay`, then twice that, and so on up to `max_delay`. Each pause is a timer wait on
// the calling coroutine's executor: the task is suspended, its thread serves other tasks.
// Logs one line to standard output before each pause. Fails with "Failed waiting for process
// exit after {attempts} attempts" at the check that brings the count of checks that found the
// process to `max_attempts`.
asio::awaitable<common::Status> wait_with_retry_backoff_for_pid_exit(platform::Processes& processes,
                                                                     std::uint32_t pid,
                                                                     std::uint32_t max_attempts,
                                                                     Delay initial_delay,
                                                                     Delay max_delay);

}  // namespace util::system
