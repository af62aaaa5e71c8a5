#include "main/supervisor.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>

#include "common/util/log.hpp"
#include "test_support.hpp"

namespace {

using asio::local::stream_protocol;
using namespace std::chrono_literals;
using test_support::CapturedLog;

// Reads until the client closes: the connection stays active exactly as long as the client.
asio::awaitable<void> hold_until_closed(stream_protocol::socket stream) {
  char buf[64];
  for (;;) {
    auto [ec, n] = co_await stream.async_read_some(
        asio::buffer(buf), asio::experimental::as_tuple(asio::use_awaitable));
    if (ec) co_return;
  }
}

// The watchdog's checks, made when the test says so. The watchdog waits on a worker thread
// while the test thread ticks.
class ManualIdleChecks {
 public:
  explicit ManualIdleChecks(const asio::any_io_executor& workers)
      : state_(std::make_shared<State>(workers)) {}

  main_service::IdleCheckWait wait() const {
    return [state = state_] { return wait_for_tick(state); };
  }
  // Lets the watchdog make its next check; false if an earlier tick is still unused.
  bool tick() { return state_->ticks.try_send(asio::error_code{}, true); }
  // Whether the watchdog has made `checks` checks and waits for the next one.
  bool waiting_after(std::size_t checks) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, 10s, [&] { return state_->waits > checks; });
  }

 private:
  struct State {
    explicit State(const asio::any_io_executor& ex) : ticks(ex, 1) {}
    // The bool carries nothing: void(error_code) alone does not compile with asio 1.22, g++ 12.
    asio::experimental::concurrent_channel<void(asio::error_code, bool)> ticks;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t waits = 0;
  };

  static asio::awaitable<void> wait_for_tick(std::shared_ptr<State> state) {
    {
      std::lock_guard lock(state->mutex);
      ++state->waits;
    }
    state->changed.notify_all();
    co_await state->ticks.async_receive(asio::use_awaitable);
  }

  std::shared_ptr<State> state_;
};

// Runs supervise_connections on its own thread, as the service body does on the main thread.
// Its watchdog checks when the test ticks, or, given an interval, on the timer the helper uses.
class RunningSupervisor {
 public:
  explicit RunningSupervisor(main_service::ConnectionHandler handler = hold_until_closed,
                             std::optional<std::chrono::milliseconds> timer_interval = {})
      : listener_fd_(test_support::listen_unix((dir_.path() / "s.sock").string())),
        count_(std::make_shared<std::atomic<std::size_t>>(0)) {
    listener_.assign(stream_protocol(), listener_fd_.release());
    listener_.non_blocking(true);
    main_service::SupervisorConfig config;
    config.workers = workers_.get_executor();
    config.serve_connection = [this, handler = std::move(handler)](stream_protocol::socket s) {
      served_.fetch_add(1);
      return handler(std::move(s));
    };
    if (timer_interval) {
      config.idle_check_interval = *timer_interval;
    } else {
      config.wait_for_idle_check = checks_.wait();
    }
    config.active_connections = count_;
    done_ = done_promise_.get_future();
    started_ = std::chrono::steady_clock::now();
    asio::co_spawn(io_, main_service::supervise_connections(listener_, std::move(config)),
                   [this](std::exception_ptr e) {
                     returned_at_ = std::chrono::steady_clock::now();
                     done_promise_.set_value(e);
                   });
    thread_ = std::thread([this] { io_.run(); });
  }
  // Also when the supervisor never returned (a count not given back keeps its watchdog
  // waiting on the workers forever): whatever is still queued there is dropped, not awaited,
  // so a failing test fails at once instead of hanging in its teardown.
  ~RunningSupervisor() {
    if (holding_) release_loop();
    if (thread_.joinable()) {
      io_.stop();
      thread_.join();
    }
    workers_.stop();
    workers_.join();
  }
  // Elapsed time from start to the supervisor's return, or nothing if it did not return in time.
  std::optional<std::chrono::milliseconds> wait_returned(std::chrono::milliseconds timeout) {
    if (done_.wait_for(timeout) != std::future_status::ready) return std::nullopt;
    if (auto e = done_.get()) std::rethrow_exception(e);
    thread_.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(returned_at_ - started_);
  }
  bool returned() const { return done_.wait_for(0s) == std::future_status::ready; }
  // Occupies the supervisor's thread: the accept loop examines nothing until release_loop.
  void hold_loop() {
    auto holding = std::make_shared<std::promise<void>>();
    auto held = holding->get_future();
    asio::post(io_, [holding, gate = gate_.get_future()] {
      holding->set_value();
      gate.wait();
    });
    held.wait();
    holding_ = true;
  }
  void release_loop() {
    holding_ = false;
    gate_.set_value();
  }
  ManualIdleChecks& checks() { return checks_; }
  std::string socket_path() const { return (dir_.path() / "s.sock").string(); }
  std::size_t active() const { return count_->load(); }
  // Waits until the count is `n`: connection tasks raise and lower it on the workers.
  bool active_becomes(std::size_t n) {
    for (int i = 0; i < 2000 && active() != n; ++i) std::this_thread::sleep_for(5ms);
    return active() == n;
  }
  // Connections whose handler was started.
  std::size_t served() const { return served_.load(); }
  bool served_becomes(std::size_t n) {
    for (int i = 0; i < 2000 && served() != n; ++i) std::this_thread::sleep_for(5ms);
    return served() == n;
  }
  // What a connection task that never gives its count back leaves behind.
  void leak_count() { count_->fetch_add(1); }

 private:
  test_support::TempDir dir_;
  common::util::UniqueFd listener_fd_;
  asio::io_context io_{1};
  asio::thread_pool workers_{2};
  // After the workers: the channel inside belongs to their context and must go first.
  ManualIdleChecks checks_{workers_.get_executor()};
  stream_protocol::acceptor listener_{io_};
  main_service::ActiveConnections count_;
  std::atomic<std::size_t> served_{0};
  std::promise<std::exception_ptr> done_promise_;
  std::future<std::exception_ptr> done_;
  std::promise<void> gate_;
  bool holding_ = false;
  std::chrono::steady_clock::time_point started_, returned_at_;
  std::thread thread_;
};

const std::vector<CapturedLog::Line> SHUTDOWN_LINES{
    test_support::out("IPC: Idle timeout reached with no active connections"),
    test_support::out("IPC: Starting helper shutdown, waiting for tasks to complete")};

TEST(Supervisor, NoClientShutsDownAtTheFirstCheckWithTheShutdownLines) {
  CapturedLog log;
  RunningSupervisor sup;
  ASSERT_TRUE(sup.checks().waiting_after(0));
  EXPECT_FALSE(sup.returned());
  EXPECT_TRUE(log.lines().empty());
  ASSERT_TRUE(sup.checks().tick());
  ASSERT_TRUE(sup.wait_returned(10s));
  EXPECT_EQ(log.lines(), SHUTDOWN_LINES);
}

// The helper's own pacing: a timer of the configured interval, never earlier.
TEST(Supervisor, WithoutTicksTheFirstCheckComesAfterOneInterval) {
  CapturedLog log;
  RunningSupervisor sup(hold_until_closed, 300ms);
  auto elapsed = sup.wait_returned(10s);
  ASSERT_TRUE(elapsed);
  EXPECT_GE(*elapsed, 300ms);
  EXPECT_EQ(log.lines(), SHUTDOWN_LINES);
}

TEST(Supervisor, ConnectionHeldAcrossACheckPostponesShutdownToTheNextCheck) {
  CapturedLog log;
  RunningSupervisor sup;
  auto client = test_support::connect_unix(sup.socket_path());
  ASSERT_TRUE(client);
  ASSERT_TRUE(sup.active_becomes(1));
  ASSERT_TRUE(sup.checks().tick());
  ASSERT_TRUE(sup.checks().waiting_after(1));  // the check found the connection and went on
  EXPECT_FALSE(sup.returned());
  EXPECT_TRUE(log.lines().empty());
  client.reset();
  ASSERT_TRUE(sup.active_becomes(0));
  ASSERT_TRUE(sup.checks().tick());
  ASSERT_TRUE(sup.wait_returned(10s));
  EXPECT_EQ(log.lines(), SHUTDOWN_LINES);
}

TEST(Supervisor, ConnectionBetweenChecksDoesNotPostponeTheCheck) {
  CapturedLog log;
  RunningSupervisor sup;
  {
    auto client = test_support::connect_unix(sup.socket_path());
    ASSERT_TRUE(client);
    ASSERT_TRUE(sup.active_becomes(1));
  }
  ASSERT_TRUE(sup.active_becomes(0));
  ASSERT_TRUE(sup.checks().tick());
  ASSERT_TRUE(sup.wait_returned(10s));
  EXPECT_EQ(sup.served(), 1u);
  EXPECT_EQ(log.lines(), SHUTDOWN_LINES);
}

TEST(Supervisor, ConcurrentConnectionsAreCountedAndServedAtTheSameTime) {
  CapturedLog log;
  RunningSupervisor sup;
  auto a = test_support::connect_unix(sup.socket_path());
  auto b = test_support::connect_unix(sup.socket_path());
  EXPECT_TRUE(sup.active_becomes(2));
  a.reset();
  b.reset();
  ASSERT_TRUE(sup.active_becomes(0));
  ASSERT_TRUE(sup.checks().tick());
  ASSERT_TRUE(sup.wait_returned(10s));
}

// A connection waiting while the watchdog's message is already there is accepted or left, by a
// coin toss each time; one that is accepted is served to its end before the supervisor returns,
// one that is left is never served by this supervisor.
TEST(Supervisor, ConnectionAcceptedAfterTheIdleCheckIsServedBeforeTheSupervisorReturns) {
  bool seen_accepted = false, seen_left = false;
  for (int round = 0; round < 40 && !(seen_accepted && seen_left); ++round) {
    CapturedLog log;
    RunningSupervisor sup;
    sup.hold_loop();
    auto client = test_support::connect_unix(sup.socket_path());
    ASSERT_TRUE(client);
    ASSERT_TRUE(sup.checks().tick());
    ASSERT_TRUE(log.wait_for("IPC: Idle timeout reached with no active connections", 10s));
    sup.release_loop();
    ASSERT_TRUE(log.wait_for("IPC: Starting helper shutdown, waiting for tasks to complete", 10s));
    // The loop has ended: what it accepted is counted and nothing more will be.
    if (sup.active() == 1) {
      seen_accepted = true;
      ASSERT_TRUE(sup.served_becomes(1));
      EXPECT_FALSE(sup.returned()) << "the drain did not wait for the connection";
      client.reset();
      ASSERT_TRUE(sup.wait_returned(10s));
      EXPECT_EQ(sup.active(), 0u);
    } else {
      ASSERT_EQ(sup.active(), 0u);
      seen_left = true;
      ASSERT_TRUE(sup.wait_returned(10s));
      EXPECT_EQ(sup.served(), 0u);
    }
    EXPECT_EQ(log.lines(), SHUTDOWN_LINES);
  }
  EXPECT_TRUE(seen_accepted);
  EXPECT_TRUE(seen_left);
}

asio::awaitable<void> faulting_task(stream_protocol::socket) {
  common::util::fatal_fault("boom \"quoted\"");
  co_return;
}

TEST(Supervisor, FaultingTaskIsReportedInTheDrainAndDoesNotDelayShutdown) {
  CapturedLog log;
  RunningSupervisor sup(faulting_task);
  auto client = test_support::connect_unix(sup.socket_path());
  ASSERT_TRUE(client);
  ASSERT_TRUE(sup.served_becomes(1));
  // The client is still connected: only the task ended, and the first check shuts down.
  ASSERT_TRUE(sup.active_becomes(0));
  EXPECT_TRUE(log.lines().empty()) << "reported before the drain";
  ASSERT_TRUE(sup.checks().tick());
  ASSERT_TRUE(sup.wait_returned(10s));
  auto lines = log.texts();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "IPC: Starting helper shutdown, waiting for tasks to complete");
  EXPECT_TRUE(lines[2].starts_with("IPC: Task completed with error: task "));
  EXPECT_TRUE(lines[2].ends_with(" panicked with message \"boom \\\"quoted\\\"\""));
  EXPECT_EQ(log.lines()[2].stream, common::util::LogStream::Stderr);
}

// Whether the helper ends the connection (EOF or reset) within `timeout`.
bool closed_within(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char byte;
  return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

TEST(Supervisor, ConnectionBeyondTheCapIsClosedAtOnceWhileTheOthersAreServed) {
  CapturedLog log;
  RunningSupervisor sup;
  std::vector<common::util::UniqueFd> served;
  for (std::size_t i = 0; i < main_service::MAX_CONNECTIONS; ++i) {
    served.push_back(test_support::connect_unix(sup.socket_path()));
    ASSERT_TRUE(served.back());
  }
  ASSERT_TRUE(sup.active_becomes(64u));

  auto extra = test_support::connect_unix(sup.socket_path());
  ASSERT_TRUE(extra);
  EXPECT_TRUE(closed_within(extra.get(), 10s)) << "the 65th connection waits";
  EXPECT_TRUE(log.wait_for("IPC: Connection refused: 64 connections are already being served", 1s));
  EXPECT_EQ(log.lines().back().stream, common::util::LogStream::Stderr);
  EXPECT_EQ(sup.active(), 64u);
  for (auto& fd : served) EXPECT_FALSE(closed_within(fd.get(), 0ms));

  // A place that frees up is taken by the next client.
  served.front().reset();
  EXPECT_TRUE(sup.active_becomes(63u));
  served.front() = test_support::connect_unix(sup.socket_path());
  EXPECT_TRUE(sup.active_becomes(64u));
  EXPECT_FALSE(closed_within(served.front().get(), 0ms));
  served.clear();
  ASSERT_TRUE(sup.active_becomes(0));
  ASSERT_TRUE(sup.checks().tick());
  ASSERT_TRUE(sup.wait_returned(10s));
}

TEST(Supervisor, ACountNeverGivenBackKeepsItRunningAndTheFixtureStillEndsAtOnce) {
  CapturedLog log;
  std::optional<RunningSupervisor> sup(std::in_place);
  sup->leak_count();
  for (std::size_t check = 1; check <= 3; ++check) {
    ASSERT_TRUE(sup->checks().tick());
    ASSERT_TRUE(sup->checks().waiting_after(check));
  }
  EXPECT_FALSE(sup->returned());
  EXPECT_TRUE(log.lines().empty());
  auto ending = std::chrono::steady_clock::now();
  sup.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - ending, 2s);
}

TEST(TaskErrorText, MessageIsQuotedAndUnknownFaultsHaveNoMessage) {
  auto with_text = std::make_exception_ptr(common::util::FatalFault("failed printing to stdout"));
  EXPECT_EQ(main_service::task_error_text(7, with_text),
            "task 7 panicked with message \"failed printing to stdout\"");
  EXPECT_EQ(main_service::task_error_text(8, std::make_exception_ptr(42)), "task 8 panicked");
}

}  // namespace
