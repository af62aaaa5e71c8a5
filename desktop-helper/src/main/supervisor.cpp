#include "main/supervisor.hpp"

#include <poll.h>

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <deque>
#include <random>
#include <variant>

#include "common/util/log.hpp"
#include "common/util/quoted.hpp"

namespace main_service {
namespace {

using asio::local::stream_protocol;
using namespace asio::experimental::awaitable_operators;

// One empty message at most; void(error_code) alone does not compile with asio 1.22 on g++ 12.
// The flag mirrors the message: a receive that completes in the same turn as the listener's
// readiness loses the race and its result is discarded, so the message alone could be lost.
struct ShutdownChannel {
  ShutdownChannel(const asio::any_io_executor& ex) : channel(ex, 1) {}
  asio::experimental::concurrent_channel<void(asio::error_code, bool)> channel;
  std::atomic<bool> sent{false};
};

struct Finished {
  std::uint64_t id;
  std::exception_ptr fault;
};

// Tasks the supervisor started. Completions are posted to the supervisor's own executor, so the
// records are only touched by the supervisor's thread, and they queue in order of completion.
struct TaskSet {
  explicit TaskSet(const asio::any_io_executor& ex) : wakeup(ex) {
    wakeup.expires_at(asio::steady_timer::time_point::max());
  }
  std::size_t running = 0;
  std::deque<Finished> finished;
  asio::steady_timer wakeup;
};

template <typename Task>
void spawn_task(const std::shared_ptr<TaskSet>& set, const asio::any_io_executor& supervisor,
                const asio::any_io_executor& where, Task task) {
  const std::uint64_t id = next_task_id();
  ++set->running;
  asio::co_spawn(where, std::move(task), [set, supervisor, id](std::exception_ptr fault) {
    asio::post(supervisor, [set, id, fault] {
      set->finished.push_back({id, fault});
      set->wakeup.cancel();
    });
  });
}

struct CountGuard {
  ActiveConnections count;
  ~CountGuard() { count->fetch_sub(1); }
};

asio::awaitable<void> connection_task(stream_protocol::socket stream, ActiveConnections count,
                                      ConnectionHandler serve) {
  // Lowered exactly once, also when the handler ends by a fault.
  CountGuard guard{std::move(count)};
  co_await serve(std::move(stream));
}

// A fresh interval from the moment the watchdog starts waiting: activity never restarts it.
asio::awaitable<void> wait_interval(std::chrono::steady_clock::duration interval) {
  asio::steady_timer timer(co_await asio::this_coro::executor, interval);
  co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<void> idle_watchdog(ActiveConnections count,
                                    std::shared_ptr<ShutdownChannel> shutdown,
                                    IdleCheckWait wait_for_check) {
  for (;;) {
    co_await wait_for_check();
    if (count->load() == 0) break;
  }
  common::util::log_out("IPC: Idle timeout reached with no active connections");
  shutdown->sent.store(true);
  // Never waits: the one message goes to a waiting receive or into the channel's one slot. A
  // send left waiting would keep this task, and with it the drain, from ever finishing; a
  // refused one (the slot already holds the message) loses nothing, and the flag is set anyway.
  (void)shutdown->channel.try_send(asio::error_code{}, true);
  co_return;
}

bool readable_now(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

}  // namespace

std::uint64_t next_task_id() {
  static std::atomic<std::uint64_t> last{0};
  return ++last;
}

std::string task_error_text(std::uint64_t task_id, const std::exception_ptr& fault) {
  const std::string prefix = "task " + std::to_string(task_id) + " panicked";
  try {
    std::rethrow_exception(fault);
  } catch (const std::exception& e) {
    return prefix + " with message " + common::util::quoted(e.what());
  } catch (...) {
    return prefix;
  }
}

asio::awaitable<void> supervise_connections(stream_protocol::acceptor& listener,
                                            SupervisorConfig config) {
  const auto self = co_await asio::this_coro::executor;
  auto tasks = std::make_shared<TaskSet>(self);
  auto count = config.active_connections ? config.active_connections
                                         : std::make_shared<std::atomic<std::size_t>>(0);
  auto shutdown = std::make_shared<ShutdownChannel>(self);

  IdleCheckWait wait_for_check = std::move(config.wait_for_idle_check);
  if (!wait_for_check) {
    wait_for_check = [interval = config.idle_check_interval] { return wait_interval(interval); };
  }
  // Moved, not copied: whatever the wait holds lives as long as the watchdog, not the loop.
  spawn_task(tasks, self, config.workers,
             idle_watchdog(count, shutdown, std::move(wait_for_check)));

  std::minstd_rand coin(std::random_device{}());
  bool shutdown_received = false;
  for (;;) {
    // Examine both events; when both are ready a fair coin decides which one wins.
    if (!shutdown_received) {
      shutdown_received =
          shutdown->channel.try_receive([](asio::error_code, bool) {}) || shutdown->sent.load();
    }
    const bool connection_ready = readable_now(listener.native_handle());
    if (shutdown_received && (!connection_ready || (coin() & 1) == 0)) break;
    if (connection_ready) {
      asio::error_code ec;
      // Non-blocking: a connection that vanished since the poll is simply not there.
      stream_protocol::socket stream = listener.accept(config.workers, ec);
      if (ec) continue;  // failed accepts are dropped; accepting goes on at once
      // Only this loop raises the count, so it cannot pass the cap between check and raise.
      if (count->load() >= config.max_connections) {
        stream.close(ec);
        common::util::log_err("IPC: Connection refused: " + std::to_string(config.max_connections) +
                              " connections are already being served");
        continue;
      }
      count->fetch_add(1);
      // A strand: the connection's deadlines race its socket operations.
      spawn_task(tasks, self, asio::make_strand(config.workers),
                 connection_task(std::move(stream), count, config.serve_connection));
      continue;
    }
    // Neither is ready: wait for readiness, never for an accept, so a connection that loses
    // the race stays in the backlog.
    auto which = co_await (
        listener.async_wait(stream_protocol::acceptor::wait_read,
                            asio::experimental::as_tuple(asio::use_awaitable)) ||
        shutdown->channel.async_receive(asio::experimental::as_tuple(asio::use_awaitable)));
    if (which.index() == 1) shutdown_received = true;
  }
  common::util::log_out("IPC: Starting helper shutdown, waiting for tasks to complete");

  while (tasks->running > 0) {
    if (tasks->finished.empty()) {
      co_await tasks->wakeup.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
      tasks->wakeup.expires_at(asio::steady_timer::time_point::max());
      continue;
    }
    Finished done = tasks->finished.front();
    tasks->finished.pop_front();
    --tasks->running;
    if (done.fault) {
      common::util::log_err("IPC: Task completed with error: " +
                            task_error_text(done.id, done.fault));
    }
  }
}

}  // namespace main_service
