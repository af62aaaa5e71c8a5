#pragma once
// One client connection: verify the peer, then serve commands one at a time, one reply each.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>
#include <chrono>
#include <functional>

#include "common/error.hpp"
#include "common/ipc/message.hpp"
#include "main/client_verification.hpp"
#include "platform/platform.hpp"
#include "platform/processes.hpp"

namespace main_service {

inline constexpr std::chrono::seconds FRAME_DEADLINE{30};
inline constexpr std::chrono::minutes IDLE_DEADLINE{10};

// How long a client may take. Fixed at the constants in the helper; tests shorten them.
struct ConnectionDeadlines {
  // From the first byte of a frame to its last, and for the client to take a reply.
  std::chrono::steady_clock::duration frame = FRAME_DEADLINE;
  // Between frames: a client that starts no frame for this long is disconnected.
  std::chrono::steady_clock::duration idle = IDLE_DEADLINE;
};

// What a verified connection keeps of its peer.
struct PeerSession {
  // Takes the connection's bytes (client_verification.hpp, receive_client_bytes): an error that
  // is not an OS error refuses the connection. Empty: the socket is read directly.
  std::function<common::Result<PeerRead>(int socket_fd, std::span<char> into)> receive;
  // Checks again, before each command; an error closes the connection without a reply. Empty:
  // no check.
  std::function<common::Status(int socket_fd)> recheck;
};

// What a connection calls out to. The helper uses real_services(); tests substitute parts.
struct ConnectionServices {
  // Verifies the process at the other end of the socket and keeps it for the connection: its
  // bytes are taken through it, and it is checked again before each command.
  std::function<common::Result<PeerSession>(int socket_fd)> bind_peer;
  // Instead of bind_peer when set (tests whose peer is the test itself): checks the process at
  // the other end of the socket, whose bytes are then read directly.
  std::function<common::Status(int socket_fd)> verify_peer;
  // With verify_peer, optional: checks again, before each command; an error closes the
  // connection without a reply.
  std::function<common::Status(int socket_fd)> recheck_peer;
  // Who asked: the user at the other end of the socket, as it connected. Called once, right after
  // a successful verification; a failure ends the connection as a failed verification does.
  std::function<common::Result<platform::Requester>(int socket_fd)> identify_requester;
  // The two commands; each writes its own log lines. The relaunch acts for the requester.
  std::function<common::Status(const common::ipc::message::ReplaceAppAtomic&)> replace_app;
  // The replacement for the requester, which acts only on what that user could reach and change;
  // where set, it runs instead of replace_app.
  std::function<common::Status(const common::ipc::message::ReplaceAppAtomic&,
                               const platform::Requester&)>
      replace_app_for;
  std::function<asio::awaitable<common::Status>(const common::ipc::message::WaitForExitAndLaunch&,
                                                const platform::Requester&)>
      wait_and_launch;
  // Where replace_app runs, which blocks for as long as it copies, so that the connection's own
  // thread stays free for other clients. Empty: on the connection's own thread.
  asio::any_io_executor file_work;
  ConnectionDeadlines deadlines;
};

ConnectionServices real_services(platform::Platform& platform);

// Runs one command: its received line, the procedure, its successful line. The error of a
// failed procedure is returned unchanged.
asio::awaitable<common::Status> handle_command(const ConnectionServices& services,
                                               common::ipc::message::IPCCommandMessage command,
                                               const platform::Requester& requester);

// Serves the connection until the client closes it, sends a frame that cannot be read (or not
// in time), stays idle too long or does not take a reply; the stream is closed on every path.
// Errors only for a peer that fails verification (or whose user cannot be determined). Runs on a
// strand: the deadlines race the socket's operations.
asio::awaitable<common::Status> handle_client(const ConnectionServices& services,
                                              asio::local::stream_protocol::socket stream);

// The body of a connection task: handle_client, then its closing line.
asio::awaitable<void> serve_connection(const ConnectionServices& services,
                                       asio::local::stream_protocol::socket stream);

}  // namespace main_service
