#include "main/supervisor.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <future>
#include <optional>

#include "common/util/log.hpp"
#include "test_support.hpp"

namespace {

using asio::local::stream_protocol;
using namespace std::chrono_literals;
using test_support::CapturedLog;

constexpr auto INTERVAL = 400ms;

// Reads until the client closes: the connection stays active exactly as long as the client.
asio::awaitable<void> hold_until_closed(stream_protocol::socket stream) {
  char buf[64];
  for (;;) {
    auto [ec, n] = co_await stream.async_read_some(
        asio::buffer(buf), asio::experimental::as_tuple(asio::use_awaitable));
    if (ec) co_return;
  }
}

// Runs supervise_connections on its own thread, as the service body does on the main thread.
class RunningSupervisor {
 public:
  explicit RunningSupervisor(main_service::ConnectionHandler handler = hold_until_closed)
      : listener_fd_(test_support::listen_unix((dir_.path() / "s.sock").string())),
        count_(std::make_shared<std::atomic<std::size_t>>(0)) {
    listener_.assign(stream_protocol(), listener_fd_.release());
    listener_.non_blocking(true);
    main_service::SupervisorConfig config;
    config.workers = workers_.get_executor();
    config.serve_connection = std::move(handler);
    config.idle_check_interval = INTERVAL;
    config.active_connections = count_;
    started_ = std::chrono::steady_clock::now();
    asio::co_spawn(io_, main_service::supervise_connections(listener_, std::move(config)),
                   [this](std::exception_ptr e) {
                     returned_at_ = std::chrono::steady_clock::now();
                     done_.set_value(e);
                   });
    thread_ = std::thread([this] { io_.run(); });
  }
  // Also when the supervisor never returned (a count not given back keeps its watchdog
  // re-arming on the workers forever): whatever is still queued there is dropped, not awaited,
  // so a failing test fails at once instead of hanging in its teardown.
  ~RunningSupervisor() {
    if (thread_.joinable()) {
      io_.stop();
      thread_.join();
    }
    workers_.stop();
    workers_.join();
  }
  // Elapsed time from start to the supervisor's return, or nothing if it did not return in time.
  std::optional<std::chrono::milliseconds> wait_returned(std::chrono::milliseconds timeout) {
    auto fut = done_.get_future();
    if (fut.wait_for(timeout) != std::future_status::ready) return std::nullopt;
    if (auto e = fut.get()) std::rethrow_exception(e);
    thread_.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(returned_at_ - started_);
  }
  std::string socket_path() const { return (dir_.path() / "s.sock").string(); }
  std::size_t active() const { return count_->load(); }
  // What a connection task that never gives its count back leaves behind.
  void leak_count() { count_->fetch_add(1); }

 private:
  test_support::TempDir dir_;
  common::util::UniqueFd listener_fd_;
  asio::io_context io_{1};
  asio::thread_pool workers_{2};
  stream_protocol::acceptor listener_{io_};
  main_service::ActiveConnections count_;
  std::promise<std::exception_ptr> done_;
  std::chrono::steady_clock::time_point started_, returned_at_;
  std::thread thread_;
};

TEST(Supervisor, NoClientShutsDownAfterOneIntervalWithTheShutdownLines) {
  CapturedLog log;
  RunningSupervisor sup;
  auto elapsed = sup.wait_returned(10s);
  ASSERT_TRUE(elapsed);
  EXPECT_GE(*elapsed, INTERVAL);
  EXPECT_LT(*elapsed, 4 * INTERVAL);
  EXPECT_EQ(
      log.lines(),
      (std::vector<CapturedLog::Line>{
          test_support::out("IPC: Idle timeout reached with no active connections"),
          test_support::out("IPC: Starting helper shutdown, waiting for tasks to complete")}));
}

TEST(Supervisor, ConnectionHeldAcrossACheckPostponesShutdownToTheNextCheck) {
  CapturedLog log;
  RunningSupervisor sup;
  auto client = test_support::connect_unix(sup.socket_path());
  ASSERT_TRUE(client);
  std::this_thread::sleep_for(INTERVAL * 3 / 2);  // across the first check
  EXPECT_EQ(sup.active(), 1u);
  client.reset();
  auto elapsed = sup.wait_returned(10s);
  ASSERT_TRUE(elapsed);
  EXPECT_GE(*elapsed, 2 * INTERVAL);
  EXPECT_EQ(sup.active(), 0u);
}

TEST(Supervisor, ConnectionBetweenChecksDoesNotPostponeTheCheck) {
  CapturedLog log;
  RunningSupervisor sup;
  std::this_thread::sleep_for(INTERVAL / 5);
  {
    auto client = test_support::connect_unix(sup.socket_path());
    ASSERT_TRUE(client);
    std::this_thread::sleep_for(INTERVAL / 5);
  }
  auto elapsed = sup.wait_returned(10s);
  ASSERT_TRUE(elapsed);
  EXPECT_LT(*elapsed, 2 * INTERVAL);
  EXPECT_EQ(sup.active(), 0u);
}

TEST(Supervisor, ConcurrentConnectionsAreCountedAndServedAtTheSameTime) {
  CapturedLog log;
  RunningSupervisor sup;
  auto a = test_support::connect_unix(sup.socket_path());
  auto b = test_support::connect_unix(sup.socket_path());
  for (int i = 0; i < 100 && sup.active() < 2; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(sup.active(), 2u);
  a.reset();
  b.reset();
  ASSERT_TRUE(sup.wait_returned(10s));
  EXPECT_EQ(sup.active(), 0u);
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
  auto elapsed = sup.wait_returned(10s);  // the client is still connected: only the task ended
  ASSERT_TRUE(elapsed);
  EXPECT_LT(*elapsed, 2 * INTERVAL);
  EXPECT_EQ(sup.active(), 0u);
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
  for (int i = 0; i < 1000 && sup.active() < main_service::MAX_CONNECTIONS; ++i) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(sup.active(), 64u);

  auto extra = test_support::connect_unix(sup.socket_path());
  ASSERT_TRUE(extra);
  EXPECT_TRUE(closed_within(extra.get(), 10s)) << "the 65th connection waits";
  EXPECT_TRUE(log.wait_for("IPC: Connection refused: 64 connections are already being served", 1s));
  EXPECT_EQ(log.lines().back().stream, common::util::LogStream::Stderr);
  EXPECT_EQ(sup.active(), 64u);
  for (auto& fd : served) EXPECT_FALSE(closed_within(fd.get(), 0ms));

  // A place that frees up is taken by the next client.
  served.front().reset();
  for (int i = 0; i < 1000 && sup.active() == 64u; ++i) std::this_thread::sleep_for(5ms);
  served.front() = test_support::connect_unix(sup.socket_path());
  for (int i = 0; i < 1000 && sup.active() < 64u; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(sup.active(), 64u);
  EXPECT_FALSE(closed_within(served.front().get(), 0ms));
  served.clear();
  ASSERT_TRUE(sup.wait_returned(10s));
}

TEST(Supervisor, ACountNeverGivenBackKeepsItRunningAndTheFixtureStillEndsAtOnce) {
  CapturedLog log;
  std::optional<RunningSupervisor> sup(std::in_place);
  sup->leak_count();
  EXPECT_FALSE(sup->wait_returned(3 * INTERVAL));
  EXPECT_TRUE(log.lines().empty());
  auto ending = std::chrono::steady_clock::now();
  sup.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - ending, INTERVAL);
}

TEST(TaskErrorText, MessageIsQuotedAndUnknownFaultsHaveNoMessage) {
  auto with_text = std::make_exception_ptr(common::util::FatalFault("failed printing to stdout"));
  EXPECT_EQ(main_service::task_error_text(7, with_text),
            "task 7 panicked with message \"failed printing to stdout\"");
  EXPECT_EQ(main_service::task_error_text(8, std::make_exception_ptr(42)), "task 8 panicked");
}

}  // namespace
