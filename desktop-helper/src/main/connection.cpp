#include "main/connection.hpp"

#include "common/ipc/framing.hpp"
#include "common/util/log.hpp"
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
  s.recheck_peer = [&platform](int fd) { return recheck_client_code_signing(platform, fd); };
  s.identify_requester = [&platform](int fd) -> common::Result<platform::Requester> {
    auto requester = platform.processes->requester_of(fd);
    if (!requester) return common::fail_os(requester.error());
    return std::move(*requester);
  };
  s.replace_app = [&platform](const msg::ReplaceAppAtomic& command) {
    return run_replace_app_atomic(platform, command);
  };
  s.wait_and_launch = [&platform](const msg::WaitForExitAndLaunch& command,
                                  const platform::Requester& requester) {
    return run_wait_for_exit_and_launch(platform, command, requester);
  };
  return s;
}

asio::awaitable<common::Status> handle_command(const ConnectionServices& services,
                                               msg::IPCCommandMessage command,
                                               const platform::Requester& requester) {
  if (auto* replace = std::get_if<msg::ReplaceAppAtomic>(&command)) {
    log_out("IPC: Command received: ReplaceAppAtomic");
    auto done = services.replace_app(*replace);
    if (!done) co_return done;
    log_out("IPC: Command successful: ReplaceAppAtomic");
    co_return done;
  }
  auto& relaunch = std::get<msg::WaitForExitAndLaunch>(command);
  log_out("IPC: Command received: WaitForExitAndLaunch");
  auto done = co_await services.wait_and_launch(relaunch, requester);
  if (!done) co_return done;
  log_out("IPC: Command successful: WaitForExitAndLaunch");
  co_return done;
}

namespace {

// The verified peer's user, or why the peer is turned away. Who asked is read once, at
// connection time: the relaunch acts for that user and no other, whatever the commands say.
common::Result<platform::Requester> admit_peer(const ConnectionServices& services, int fd) {
  if (auto verified = services.verify_peer(fd); !verified) {
    return common::fail(std::move(verified.error()));
  }
  return services.identify_requester(fd);
}

// A reply that cannot be sent is dropped: the next read decides how the connection ends.
asio::awaitable<void> send_reply(stream_protocol::socket& stream, msg::IPCResponseMessage reply) {
  (void)co_await msg::ipc_write_message(stream, reply);
}

}  // namespace

asio::awaitable<common::Status> handle_client(const ConnectionServices& services,
                                              stream_protocol::socket stream) {
  log_out("IPC: Client connected");
  auto requester = admit_peer(services, stream.native_handle());
  if (!requester) {
    asio::error_code ignored;
    stream.close(ignored);
    co_return common::fail_other("Client code signing validation failed: " +
                                 requester.error().text());
  }
  for (;;) {
    auto command = co_await msg::ipc_read_message<msg::IPCCommandMessage>(stream);
    if (command && services.recheck_peer) {
      if (auto still = services.recheck_peer(stream.native_handle()); !still) {
        asio::error_code ignored;
        stream.close(ignored);
        co_return common::fail_other("Client code signing validation failed before a command: " +
                                     still.error().text());
      }
    }
    if (command) {
      auto done = co_await handle_command(services, std::move(*command), *requester);
      if (!done) log_err("Error: IPC: Failed to execute command: " + done.error().text());
      co_await send_reply(stream,
                          done ? msg::IPCResponseMessage::Ok : msg::IPCResponseMessage::Err);
      continue;
    }
    if (command.error().kind() == common::ErrorKind::UnexpectedEof) {
      log_out("IPC: Connection was closed by the client");
      break;
    }
    log_err("Error: IPC: Failed to read or deserialize message: " + command.error().text());
    co_await send_reply(stream, msg::IPCResponseMessage::Err);
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
