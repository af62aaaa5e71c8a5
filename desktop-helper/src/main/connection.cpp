#include "main/connection.hpp"

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/ipc/framing.hpp"
#include "common/util/log.hpp"
#include "common/util/quoted.hpp"
#include "main/client_verification.hpp"
#include "main/relaunch.hpp"
#include "main/replace_app_atomic.hpp"

namespace main_service {

using asio::local::stream_protocol;
using common::util::log_err;
using common::util::log_out;
namespace msg = common::ipc::message;

ConnectionServices real_services(platform::Platform& platform) {
  ConnectionServices s;
  s.verify_peer = [&platform](int fd) { return validate_client_code_signing(platform, fd); };
  s.replace_app = [&platform](const msg::ReplaceAppAtomic& command) {
    return run_replace_app_atomic(platform, command);
  };
  s.wait_and_launch = [&platform](const msg::WaitForExitAndLaunch& command) {
    return run_wait_for_exit_and_launch(platform, command);
  };
  return s;
}

namespace {

// Runs `work` on `pool` and resumes the caller on its own executor once it has returned.
template <typename Work>
asio::awaitable<common::Status> on_pool(const asio::any_io_executor& pool, Work work) {
  if (!pool) co_return work();
  co_return co_await asio::co_spawn(
      pool, [work = std::move(work)]() -> asio::awaitable<common::Status> { co_return work(); },
      asio::use_awaitable);
}

}  // namespace

asio::awaitable<common::Status> handle_command(const ConnectionServices& services,
                                               msg::IPCCommandMessage command) {
  if (auto* replace = std::get_if<msg::ReplaceAppAtomic>(&command)) {
    log_out("IPC: Command received: ReplaceAppAtomic");
    auto done = co_await on_pool(services.file_work,
                                 [&services, replace] { return services.replace_app(*replace); });
    if (!done) co_return done;
    log_out("IPC: Command successful: ReplaceAppAtomic");
    co_return done;
  }
  auto& relaunch = std::get<msg::WaitForExitAndLaunch>(command);
  log_out("IPC: Command received: WaitForExitAndLaunch");
  auto done = co_await services.wait_and_launch(relaunch);
  if (!done) co_return done;
  log_out("IPC: Command successful: WaitForExitAndLaunch");
  co_return done;
}

namespace {

using namespace asio::experimental::awaitable_operators;
using Duration = std::chrono::steady_clock::duration;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

std::string duration_text(Duration d) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return common::util::format_duration(static_cast<std::uint64_t>(ns / 1'000'000'000),
                                       static_cast<std::uint32_t>(ns % 1'000'000'000));
}

// Whether the client starts a frame (or closes) within `idle`. Waiting for readability consumes
// nothing, so losing the race costs no byte.
asio::awaitable<bool> frame_begins_within(stream_protocol::socket& stream, Duration idle) {
  asio::steady_timer timer(co_await asio::this_coro::executor, idle);
  auto first =
      co_await (stream.async_wait(stream_protocol::socket::wait_read, as_tuple_awaitable) ||
                timer.async_wait(as_tuple_awaitable));
  co_return first.index() == 0;
}

// The next command, or the frame's error; a frame that has not fully arrived after `limit` is an
// error too (the stream is then mid-frame and must not be read again).
asio::awaitable<common::Result<msg::IPCCommandMessage>> read_command_within(
    stream_protocol::socket& stream, Duration limit) {
  asio::steady_timer timer(co_await asio::this_coro::executor, limit);
  auto first = co_await (msg::ipc_read_message<msg::IPCCommandMessage>(stream) ||
                         timer.async_wait(as_tuple_awaitable));
  if (first.index() == 0) co_return std::move(std::get<0>(first));
  co_return common::fail_other("frame not completed within " + duration_text(limit));
}

// A reply that cannot be sent is dropped: the next read decides how the connection ends. False
// only when the client has not taken it within `limit`: it is then half written, and the
// connection must end.
asio::awaitable<bool> send_reply(stream_protocol::socket& stream, msg::IPCResponseMessage reply,
                                 Duration limit) {
  asio::steady_timer timer(co_await asio::this_coro::executor, limit);
  auto first =
      co_await (msg::ipc_write_message(stream, reply) || timer.async_wait(as_tuple_awaitable));
  if (first.index() == 0) co_return true;
  log_err("IPC: Closing connection: the client did not take a reply within " +
          duration_text(limit));
  co_return false;
}

}  // namespace

asio::awaitable<common::Status> handle_client(const ConnectionServices& services,
                                              stream_protocol::socket stream) {
  log_out("IPC: Client connected");
  if (auto verified = services.verify_peer(stream.native_handle()); !verified) {
    asio::error_code ignored;
    stream.close(ignored);
    co_return common::fail_other("Client code signing validation failed: " +
                                 verified.error().text());
  }
  const ConnectionDeadlines& limits = services.deadlines;
  for (;;) {
    if (!co_await frame_begins_within(stream, limits.idle)) {
      log_out("IPC: Closing connection: no command within " + duration_text(limits.idle));
      break;
    }
    auto command = co_await read_command_within(stream, limits.frame);
    if (command) {
      auto done = co_await handle_command(services, std::move(*command));
      if (!done) log_err("Error: IPC: Failed to execute command: " + done.error().text());
      if (co_await send_reply(stream,
                              done ? msg::IPCResponseMessage::Ok : msg::IPCResponseMessage::Err,
                              limits.frame)) {
        continue;
      }
      break;
    }
    if (command.error().kind() == common::ErrorKind::UnexpectedEof) {
      log_out("IPC: Connection was closed by the client");
      break;
    }
    log_err("Error: IPC: Failed to read or deserialize message: " + command.error().text());
    (void)co_await send_reply(stream, msg::IPCResponseMessage::Err, limits.frame);
    break;
  }
  asio::error_code ignored;
  stream.close(ignored);
  co_return common::Status{};
}

asio::awaitable<void> serve_connection(const ConnectionServices& services,
                                       stream_protocol::socket stream) {
  auto served = co_await handle_client(services, std::move(stream));
  if (served) {
    log_out("IPC: Client connection closed successfully");
  } else {
    log_err("IPC: Client connection closed with error: " + served.error().text());
  }
}

}  // namespace main_service
