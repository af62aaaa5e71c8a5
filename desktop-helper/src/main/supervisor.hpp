#pragma once
// The accept loop, the idle watchdog and the shutdown drain.
//
// supervise_connections runs on the service body's io_context (one thread: the main thread);
// the watchdog and every connection task run on the worker executor, each connection task on a
// strand of its own. It returns once the
// watchdog has found no active connection at one of its checks and every started task has
// finished.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace main_service {

inline constexpr std::chrono::seconds IDLE_CHECK_INTERVAL{60};
// Connections served at once. One more is accepted and closed at once, so that it does not wait
// in the backlog while the helper keeps descriptors and threads for the ones it serves.
inline constexpr std::size_t MAX_CONNECTIONS = 64;

using ActiveConnections = std::shared_ptr<std::atomic<std::size_t>>;

// Serves one accepted connection on a worker thread.
using ConnectionHandler =
    std::function<asio::awaitable<void>(asio::local::stream_protocol::socket)>;

// Completes when the watchdog's next check is due. Called once per check, on the worker
// executor; it is called again only after the previous check found a connection.
using IdleCheckWait = std::function<asio::awaitable<void>()>;

struct SupervisorConfig {
  asio::any_io_executor workers;
  ConnectionHandler serve_connection;
  // Fixed at IDLE_CHECK_INTERVAL in the helper; the load tests use shorter ones.
  std::chrono::steady_clock::duration idle_check_interval = IDLE_CHECK_INTERVAL;
  // Empty in the helper: each check then waits idle_check_interval on a timer. The supervisor
  // tests set it to make each check happen when they say so.
  IdleCheckWait wait_for_idle_check;
  // Fixed at MAX_CONNECTIONS in the helper; the load test serves more clients at once.
  std::size_t max_connections = MAX_CONNECTIONS;
  // Observes the count (tests); the supervisor creates its own when null.
  ActiveConnections active_connections;
};

// Text of a task that ended by a fault: "task N panicked with message \"...\"" or "task N
// panicked".
std::string task_error_text(std::uint64_t task_id, const std::exception_ptr& fault);

// Process-wide task identifiers: positive and unique.
std::uint64_t next_task_id();

asio::awaitable<void> supervise_connections(asio::local::stream_protocol::acceptor& listener,
                                            SupervisorConfig config);

}  // namespace main_service
