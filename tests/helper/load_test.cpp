// Many clients at once through the real supervisor and connection handler, with the peer check
// and the commands substituted so that the test process itself can be the clients.

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>

#include "common/ipc/client.hpp"
#include "main/connection.hpp"
#include "main/supervisor.hpp"
#include "test_support.hpp"

namespace {

using asio::local::stream_protocol;
using namespace std::chrono_literals;
namespace msg = common::ipc::message;

TEST(Load, TwoHundredClientsTwentyCommandsEachThenIdleShutdown) {
  constexpr int CLIENTS = 200;
  constexpr int COMMANDS = 20;
  constexpr auto INTERVAL = 1500ms;
  test_support::CapturedLog log;
  test_support::TempDir dir;
  const std::string path = (dir.path() / "load.sock").string();
  auto fd = test_support::listen_unix(path);
  ASSERT_TRUE(fd);

  std::atomic<int> verified{0}, executed{0};
  main_service::ConnectionServices services;
  services.verify_peer = [&](int) {
    verified.fetch_add(1);
    return common::Status{};
  };
  // Odd pids fail, so replies are not all alike and their order per connection is checked.
  services.replace_app = [&](const msg::ReplaceAppAtomic&) -> common::Status {
    executed.fetch_add(1);
    return {};
  };
  services.identify_requester = [](int) { return common::Result<platform::Requester>(); };
  services.wait_and_launch = [&](const msg::WaitForExitAndLaunch& c,
                                 const platform::Requester&) -> asio::awaitable<common::Status> {
    executed.fetch_add(1);
    if (c.pid % 2) co_return common::fail_other("odd");
    co_return common::Status{};
  };

  asio::io_context io(1);
  asio::thread_pool workers(2);
  stream_protocol::acceptor listener(io);
  listener.assign(stream_protocol(), fd.release());
  listener.non_blocking(true);
  auto count = std::make_shared<std::atomic<std::size_t>>(0);
  main_service::SupervisorConfig config;
  config.workers = workers.get_executor();
  config.serve_connection = [&services](stream_protocol::socket s) {
    return main_service::serve_connection(services, std::move(s));
  };
  config.idle_check_interval = INTERVAL;
  config.max_connections = CLIENTS;  // all at once: this test is about load, not the cap
  config.active_connections = count;
  // Every client connects before the supervisor starts: on a loaded machine starting 200
  // threads can outlast the idle interval, and the helper rightly exits when nobody is there.
  std::vector<common::util::UniqueFd> conns;
  for (int c = 0; c < CLIENTS; ++c) {
    conns.push_back(test_support::connect_unix(path));
    ASSERT_TRUE(conns.back());
  }
  std::promise<void> returned;
  asio::co_spawn(io, main_service::supervise_connections(listener, config),
                 [&](std::exception_ptr) { returned.set_value(); });
  std::thread supervisor([&] { io.run(); });

  std::atomic<int> correct{0};
  std::vector<std::thread> clients;
  std::atomic<bool> go{false};
  for (int c = 0; c < CLIENTS; ++c) {
    clients.emplace_back([&, c] {
      go.wait(false);
      auto conn = std::move(conns[c]);
      int good = 0;
      for (int i = 0; i < COMMANDS; ++i) {
        const std::uint32_t pid = static_cast<std::uint32_t>(c * COMMANDS + i);
        msg::IPCCommandMessage command =
            i % 3 == 0 ? msg::IPCCommandMessage(msg::ReplaceAppAtomic{"/s", "/d"})
                       : msg::IPCCommandMessage(msg::WaitForExitAndLaunch{pid, "/a"});
        const bool expect_ok = i % 3 == 0 || pid % 2 == 0;
        auto reply = common::ipc::client::send_command(conn.get(), command, 60s);
        if (reply && (*reply == msg::IPCResponseMessage::Ok) == expect_ok) ++good;
      }
      if (good == COMMANDS) correct.fetch_add(1);
    });
  }
  go = true;
  go.notify_all();
  for (auto& t : clients) t.join();

  EXPECT_EQ(correct.load(), CLIENTS);
  EXPECT_EQ(verified.load(), CLIENTS);
  EXPECT_EQ(executed.load(), CLIENTS * COMMANDS);
  auto fut = returned.get_future();
  ASSERT_EQ(fut.wait_for(30s), std::future_status::ready) << "no idle shutdown after the load";
  supervisor.join();
  workers.join();
  EXPECT_EQ(count->load(), 0u);
  auto texts = log.texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "IPC: Client connection closed successfully"),
            CLIENTS);
  EXPECT_EQ(texts.back(), "IPC: Starting helper shutdown, waiting for tasks to complete");
}

// Replacements block their thread for as long as they copy. With a single worker thread and
// two replacements under way, a relaunch on a new connection (verified first) is still answered:
// the replacements run on the file-work pool, not on the workers. Nothing here depends on timing:
// the replacements do not finish before the relaunch has its reply.
TEST(FairWork, RelaunchAndNewConnectionAreServedWhileReplacementsBlock) {
  test_support::CapturedLog log;
  test_support::TempDir dir;
  const std::string path = (dir.path() / "fair.sock").string();
  auto fd = test_support::listen_unix(path);
  ASSERT_TRUE(fd);

  std::mutex mutex;
  std::condition_variable changed;
  int replacing = 0;
  bool release = false;
  auto release_all = [&] {
    std::lock_guard lock(mutex);
    release = true;
    changed.notify_all();
  };
  std::atomic<int> verified{0};
  main_service::ConnectionServices services;
  services.verify_peer = [&](int) {
    verified.fetch_add(1);
    return common::Status{};
  };
  services.replace_app = [&](const msg::ReplaceAppAtomic&) -> common::Status {
    std::unique_lock lock(mutex);
    ++replacing;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    return {};
  };
  services.identify_requester = [](int) { return common::Result<platform::Requester>(); };
  services.wait_and_launch = [](const msg::WaitForExitAndLaunch&,
                                const platform::Requester&) -> asio::awaitable<common::Status> {
    co_return common::Status{};
  };
  asio::thread_pool file_work(2);
  services.file_work = file_work.get_executor();

  asio::io_context io(1);
  asio::thread_pool workers(1);
  stream_protocol::acceptor listener(io);
  listener.assign(stream_protocol(), fd.release());
  listener.non_blocking(true);
  main_service::SupervisorConfig config;
  config.workers = workers.get_executor();
  config.serve_connection = [&services](stream_protocol::socket s) {
    return main_service::serve_connection(services, std::move(s));
  };
  config.idle_check_interval = 500ms;
  std::promise<void> returned;
  asio::co_spawn(io, main_service::supervise_connections(listener, config),
                 [&](std::exception_ptr) { returned.set_value(); });
  std::thread supervisor([&] { io.run(); });

  std::vector<std::thread> replacers;
  std::atomic<int> replaced{0};
  for (int i = 0; i < 2; ++i) {
    replacers.emplace_back([&] {
      auto conn = test_support::connect_unix(path);
      if (!conn) return;
      auto reply =
          common::ipc::client::send_command(conn.get(), msg::ReplaceAppAtomic{"/s", "/d"}, 60s);
      if (reply && *reply == msg::IPCResponseMessage::Ok) replaced.fetch_add(1);
    });
  }
  bool both_running;
  {
    std::unique_lock lock(mutex);
    both_running = changed.wait_for(lock, 10s, [&] { return replacing == 2; });
  }
  std::optional<common::Result<msg::IPCResponseMessage>> relaunch;
  if (both_running) {
    auto conn = test_support::connect_unix(path);
    ASSERT_TRUE(conn);
    relaunch = common::ipc::client::send_command(
        conn.get(), msg::WaitForExitAndLaunch{4242, "/Applications/K.app"}, 10s);
  }
  const int replacing_at_reply = [&] {
    std::lock_guard lock(mutex);
    return replacing;
  }();
  release_all();
  for (auto& t : replacers) t.join();
  auto fut = returned.get_future();
  ASSERT_EQ(fut.wait_for(30s), std::future_status::ready);
  supervisor.join();
  workers.join();
  file_work.join();

  ASSERT_TRUE(both_running) << "the second replacement never started";
  ASSERT_TRUE(relaunch && *relaunch) << "no reply to the relaunch while replacements ran";
  EXPECT_EQ(**relaunch, msg::IPCResponseMessage::Ok);
  EXPECT_EQ(replacing_at_reply, 2);
  EXPECT_EQ(replaced.load(), 2);
  EXPECT_EQ(verified.load(), 3);
  // Each connection's lines keep their order around the command's own work.
  auto texts = log.texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "IPC: Command successful: ReplaceAppAtomic"), 2);
}

}  // namespace
