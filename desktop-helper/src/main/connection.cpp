#include "main/connection.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <memory>
#include <optional>
#include <span>
#include <tuple>
#include <utility>

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
  s.bind_peer = [&platform](int fd) -> common::Result<PeerSession> {
    auto verified = verify_client_code_signing(platform, fd);
    if (!verified) return common::fail(std::move(verified.error()));
    std::shared_ptr<const platform::PeerProcess> peer = std::move(*verified);
    PeerSession session;
    session.receive = [&platform, peer](int socket_fd, std::span<char> into) {
      return receive_client_bytes(platform, *peer, socket_fd, into);
    };
    session.recheck = [&platform, peer](int socket_fd) {
      return recheck_client_code_signing(platform, *peer, socket_fd);
    };
    return session;
  };
  s.identify_requester = [&platform](int fd) -> common::Result<platform::Requester> {
    auto requester = platform.processes->requester_of(fd);
    if (!requester) return common::fail_os(requester.error());
    return std::move(*requester);
  };
  s.replace_app = [&platform](const msg::ReplaceAppAtomic& command) {
    return run_replace_app_atomic(platform, command);
  };
  s.replace_app_for = [&platform](const msg::ReplaceAppAtomic& command,
                                  const platform::Requester& requester) {
    return run_replace_app_atomic(platform, command, requester);
  };
  s.wait_and_launch = [&platform](const msg::WaitForExitAndLaunch& command,
                                  const platform::Requester& requester) {
    return run_wait_for_exit_and_launch(platform, command, requester);
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
                                               msg::IPCCommandMessage command,
                                               const platform::Requester& requester) {
  if (auto* replace = std::get_if<msg::ReplaceAppAtomic>(&command)) {
    log_out("IPC: Command received: ReplaceAppAtomic");
    auto done = co_await on_pool(services.file_work, [&services, replace, &requester] {
      if (services.replace_app_for) return services.replace_app_for(*replace, requester);
      return services.replace_app(*replace);
    });
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

struct AdmittedPeer {
  PeerSession session;
  platform::Requester requester;
};

// The verified peer and its user, or why the peer is turned away. Who asked is read once, at
// connection time: the relaunch acts for that user and no other, whatever the commands say.
common::Result<AdmittedPeer> admit_peer(const ConnectionServices& services, int fd) {
  AdmittedPeer admitted;
  if (services.verify_peer) {
    if (auto verified = services.verify_peer(fd); !verified) {
      return common::fail(std::move(verified.error()));
    }
    admitted.session.recheck = services.recheck_peer;
  } else {
    auto bound = services.bind_peer(fd);
    if (!bound) return common::fail(std::move(bound.error()));
    admitted.session = std::move(*bound);
  }
  auto requester = services.identify_requester(fd);
  if (!requester) return common::fail(std::move(requester.error()));
  admitted.requester = std::move(*requester);
  return admitted;
}

// The connection as the framing reads it: every read goes through the peer session, which takes
// only bytes the verified process wrote. A refusal is kept for the handler, and the read ends
// with an error.
class PeerStream {
 public:
  PeerStream(stream_protocol::socket& socket, const PeerSession& session)
      : socket_(socket), session_(session) {}

  template <typename Buffer, typename Token>
  asio::awaitable<std::tuple<asio::error_code, std::size_t>> async_read_some(const Buffer& buffer,
                                                                             Token) {
    const asio::mutable_buffer into(buffer);
    if (!session_.receive) {
      co_return co_await socket_.async_read_some(into,
                                                 asio::experimental::as_tuple(asio::use_awaitable));
    }
    for (;;) {
      auto got = session_.receive(socket_.native_handle(),
                                  std::span<char>(static_cast<char*>(into.data()), into.size()));
      if (!got) {
        if (got.error().is_os()) {
          co_return std::tuple(asio::error_code(got.error().os_code(), asio::system_category()),
                               std::size_t{0});
        }
        refusal_ = std::move(got.error());
        co_return std::tuple(asio::error_code(asio::error::access_denied), std::size_t{0});
      }
      if (got->would_block) {
        auto [ec] = co_await socket_.async_wait(stream_protocol::socket::wait_read,
                                                asio::experimental::as_tuple(asio::use_awaitable));
        if (ec) co_return std::tuple(ec, std::size_t{0});
        continue;
      }
      if (got->size == 0 && into.size() > 0) {
        co_return std::tuple(asio::error_code(asio::error::eof), std::size_t{0});
      }
      co_return std::tuple(asio::error_code(), got->size);
    }
  }

  // Bytes another process wrote, refused: the connection must end without a reply.
  const std::optional<common::Error>& refusal() const { return refusal_; }

 private:
  stream_protocol::socket& socket_;
  const PeerSession& session_;
  std::optional<common::Error> refusal_;
};

// The connection as replies are written to it: each write is offered to the socket at once and
// waits for room only when the socket is full. A reply then costs its system calls and no
// hand-over between threads, where a plain asynchronous write would queue its completion.
class ReplyStream {
#ifdef MSG_NOSIGNAL
  static constexpr int SEND_FLAGS = MSG_DONTWAIT | MSG_NOSIGNAL;
#else
  // A peer that has gone is EPIPE all the same: asio accepts sockets with SO_NOSIGPIPE there.
  static constexpr int SEND_FLAGS = MSG_DONTWAIT;
#endif

 public:
  explicit ReplyStream(stream_protocol::socket& socket) : socket_(socket) {}

  template <typename Buffer, typename Token>
  asio::awaitable<std::tuple<asio::error_code, std::size_t>> async_write_some(const Buffer& buffer,
                                                                              Token) {
    const asio::const_buffer from(buffer);
    for (;;) {
      const ssize_t n = ::send(socket_.native_handle(), from.data(), from.size(), SEND_FLAGS);
      if (n >= 0) co_return std::tuple(asio::error_code(), static_cast<std::size_t>(n));
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        co_return std::tuple(asio::error_code(errno, asio::system_category()), std::size_t{0});
      }
      auto [ec] = co_await socket_.async_wait(stream_protocol::socket::wait_write,
                                              asio::experimental::as_tuple(asio::use_awaitable));
      if (ec) co_return std::tuple(ec, std::size_t{0});
    }
  }

 private:
  stream_protocol::socket& socket_;
};

using Duration = std::chrono::steady_clock::duration;

std::string duration_text(Duration d) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return common::util::format_duration(static_cast<std::uint64_t>(ns / 1'000'000'000),
                                       static_cast<std::uint32_t>(ns % 1'000'000'000));
}

// One deadline at a time over the connection's socket operations. When it passes, the socket is
// cancelled and shut down in the operation's direction: the operation in progress ends at once,
// and so does every later read or write of it, however a frame is split into system calls.
//
// Arming only records the deadline: one timer per connection sleeps at most `step` (the shortest
// limit) at a time and compares when it wakes, so a command costs no timer system call and a
// quiet connection one wake-up per step. The timer and the connection share the connection's
// strand, so the expiry never runs in the middle of the connection's own steps.
class SocketDeadline {
 public:
  using Clock = std::chrono::steady_clock;

  SocketDeadline(stream_protocol::socket& stream, const asio::any_io_executor& strand,
                 Duration step)
      : state_(std::make_shared<State>(strand, stream, step)) {}
  ~SocketDeadline() {
    state_->stream = nullptr;
    state_->timer.cancel();
  }
  SocketDeadline(const SocketDeadline&) = delete;
  SocketDeadline& operator=(const SocketDeadline&) = delete;

  // `limit` is at least `step`.
  void arm(Duration limit, stream_protocol::socket::shutdown_type direction) {
    State& s = *state_;
    s.deadline = Clock::now() + limit;
    s.direction = direction;
    s.armed = true;
    s.expired = false;
    if (!s.waiting) wait(state_);
  }
  // Whether the deadline armed last has passed; disarms it.
  bool passed() {
    state_->armed = false;
    return std::exchange(state_->expired, false);
  }

 private:
  struct State {
    State(const asio::any_io_executor& ex, stream_protocol::socket& s, Duration st)
        : timer(ex), stream(&s), step(st) {}
    asio::steady_timer timer;
    stream_protocol::socket* stream;  // null once the connection has ended
    Duration step;
    Clock::time_point deadline{};
    stream_protocol::socket::shutdown_type direction = stream_protocol::socket::shutdown_both;
    bool armed = false;
    bool expired = false;
    bool waiting = false;
  };

  // The handler holds the state, not this object: it may run after the connection has ended.
  static void wait(const std::shared_ptr<State>& state) {
    state->waiting = true;
    state->timer.expires_at(std::min(state->deadline, Clock::now() + state->step));
    state->timer.async_wait([state](const asio::error_code&) { woke(state); });
  }
  static void woke(const std::shared_ptr<State>& state) {
    state->waiting = false;
    if (state->stream == nullptr || !state->armed) return;
    if (Clock::now() < state->deadline) {
      wait(state);
      return;
    }
    state->armed = false;
    state->expired = true;
    asio::error_code ignored;
    state->stream->shutdown(state->direction, ignored);
    state->stream->cancel(ignored);
  }

  std::shared_ptr<State> state_;
};

// A reply that cannot be sent is dropped: the next read decides how the connection ends. False
// only when the client has not taken it within `limit`: it is then half written, and the
// connection must end.
asio::awaitable<bool> send_reply(stream_protocol::socket& stream, SocketDeadline& deadline,
                                 const msg::Response& reply, Duration limit) {
  deadline.arm(limit, stream_protocol::socket::shutdown_both);
  ReplyStream writer(stream);
  (void)co_await msg::ipc_write_message(writer, reply);
  if (!deadline.passed()) co_return true;
  log_err("IPC: Closing connection: the client did not take a reply within " +
          duration_text(limit));
  co_return false;
}

// Runs one command and answers it in the protocol the client asked for; false when the
// connection must end (a reply the client did not take in time).
asio::awaitable<bool> serve_command(const ConnectionServices& services,
                                    stream_protocol::socket& stream, SocketDeadline& deadline,
                                    msg::ReceivedCommand command,
                                    const platform::Requester& requester) {
  const Duration limit = services.deadlines.frame;
  const std::uint32_t protocol = command.protocol;
  // Taken: a client that asked for it hears so before the wait, and may then exit, which is what
  // a relaunch waits for. The peer was checked before this, while it was still there; the
  // command runs to its end whether or not anyone is left to read the final reply.
  // (Replies are named locals: g++ 12 mishandles temporaries inside a co_await's operands.)
  bool reply_wanted = true;
  if (protocol >= msg::PROTOCOL_REASONS &&
      std::holds_alternative<msg::WaitForExitAndLaunch>(command.command)) {
    const msg::Response accepted = msg::Response::accepted();
    reply_wanted = co_await send_reply(stream, deadline, accepted, limit);
  }
  auto done = co_await handle_command(services, std::move(command.command), requester);
  if (!done) log_err("Error: IPC: Failed to execute command: " + done.error().text());
  if (!reply_wanted) co_return false;
  msg::Response reply = msg::Response::ok(protocol);
  if (!done) reply = msg::Response::failure(protocol, done.error());
  const bool taken = co_await send_reply(stream, deadline, reply, limit);
  co_return taken;
}

}  // namespace

asio::awaitable<common::Status> handle_client(const ConnectionServices& services,
                                              stream_protocol::socket stream) {
  log_out("IPC: Client connected");
  auto admitted = admit_peer(services, stream.native_handle());
  if (!admitted) {
    asio::error_code ignored;
    stream.close(ignored);
    co_return common::fail_other("Client code signing validation failed: " +
                                 admitted.error().text());
  }
  const platform::Requester& requester = admitted->requester;
  const PeerSession& peer = admitted->session;
  PeerStream reader(stream, peer);
  const ConnectionDeadlines& limits = services.deadlines;
  SocketDeadline deadline(stream, co_await asio::this_coro::executor,
                          std::min(limits.frame, limits.idle));
  for (;;) {
    // Between frames: waiting for readability consumes nothing, and only the idle limit applies.
    deadline.arm(limits.idle, stream_protocol::socket::shutdown_receive);
    (void)co_await stream.async_wait(stream_protocol::socket::wait_read,
                                     asio::experimental::as_tuple(asio::use_awaitable));
    if (deadline.passed()) {
      log_out("IPC: Closing connection: no command within " + duration_text(limits.idle));
      break;
    }
    // The client has begun a frame (or closed): the whole frame must now arrive in time. The
    // deadline decides even over a frame that completed as it passed: the receiving side is shut.
    deadline.arm(limits.frame, stream_protocol::socket::shutdown_receive);
    auto command = co_await msg::ipc_read_message<msg::ReceivedCommand>(reader);
    if (reader.refusal()) {
      asio::error_code ignored;
      stream.close(ignored);
      co_return common::fail_other("Client bytes refused: " + reader.refusal()->text());
    }
    if (deadline.passed()) {
      command = common::fail_other("frame not completed within " + duration_text(limits.frame));
    }
    if (command && peer.recheck) {
      if (auto still = peer.recheck(stream.native_handle()); !still) {
        asio::error_code ignored;
        stream.close(ignored);
        co_return common::fail_other("Client code signing validation failed before a command: " +
                                     still.error().text());
      }
    }
    if (command) {
      if (co_await serve_command(services, stream, deadline, std::move(*command), requester)) {
        continue;
      }
      break;
    }
    if (command.error().kind() == common::ErrorKind::UnexpectedEof) {
      log_out("IPC: Connection was closed by the client");
      break;
    }
    log_err("Error: IPC: Failed to read or deserialize message: " + command.error().text());
    // Nothing was decoded, so nobody asked for more than the original reply.
    const msg::Response refusal = msg::Response::err();
    (void)co_await send_reply(stream, deadline, refusal, limits.frame);
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
