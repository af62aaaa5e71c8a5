#include "util/system/process_exit_wait.hpp"

#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <limits>
#include <string>

#include "common/util/log.hpp"
#include "common/util/quoted.hpp"

namespace util::system {
namespace {

constexpr std::uint32_t NANOS_PER_SECOND = 1'000'000'000;

// The timer's duration type cannot hold every delay; anything beyond it is "practically never".
std::chrono::steady_clock::duration timer_duration(Delay delay) {
  using std::chrono::steady_clock;
  constexpr std::uint64_t max_seconds = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(steady_clock::duration::max()).count() - 1);
  if (delay.seconds >= max_seconds) return steady_clock::duration::max();
  return std::chrono::duration_cast<steady_clock::duration>(
      std::chrono::seconds(delay.seconds) + std::chrono::nanoseconds(delay.nanoseconds));
}

}  // namespace

Delay next_delay(Delay delay, Delay cap) {
  const std::uint64_t nanos = std::uint64_t{delay.nanoseconds} * 2;
  const std::uint64_t carry = nanos / NANOS_PER_SECOND;
  if (delay.seconds > (std::numeric_limits<std::uint64_t>::max() - carry) / 2) return cap;
  Delay doubled{delay.seconds * 2 + carry, static_cast<std::uint32_t>(nanos % NANOS_PER_SECOND)};
  return doubled < cap ? doubled : cap;
}

asio::awaitable<common::Status> wait_with_retry_backoff_for_pid_exit(platform::Processes& processes,
                                                                     std::uint32_t pid,
                                                                     std::uint32_t max_attempts,
                                                                     Delay initial_delay,
                                                                     Delay max_delay) {
  std::uint32_t attempts = 0;
  Delay delay = initial_delay;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    if (!processes.process_exists(pid)) co_return common::Status{};
    ++attempts;
    if (attempts >= max_attempts) {
      co_return common::fail_because(
          common::Reason::ExitWaitTimedOut,
          "Failed waiting for process exit after " + std::to_string(attempts) + " attempts");
    }
    common::util::log_out("Peer with pid " + std::to_string(pid) + " is still running after " +
                          std::to_string(attempts) + " attempts. Retrying in " +
                          common::util::format_duration(delay.seconds, delay.nanoseconds) + "...");
    timer.expires_after(timer_duration(delay));
    // A cancelled pause ends early like any other; the next check still decides.
    (void)co_await timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    delay = next_delay(delay, max_delay);
  }
}

}  // namespace util::system
