#pragma once
// Blocking client side of the helper's protocol, for the desktop application and helperctl.
//
// One connection carries any number of commands, strictly one at a time: send a command, wait
// for its reply, send the next. Every call is blocking and honours its timeout; a timeout is the
// OS error ETIMEDOUT. Not thread-safe per connection.

#include <chrono>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/ipc/message.hpp"
#include "common/util/unique_fd.hpp"

namespace common::ipc::client {

using Deadline = std::chrono::steady_clock::time_point;

// Connects to the helper's Unix socket (default: the service manager's path for this build).
// The descriptor is close-on-exec, and must stay so. On Linux the calling process becomes
// non-dumpable for the rest of its life: the helper refuses a dumpable peer that is not root.
Result<util::UniqueFd> connect_to_helper(std::string_view socket_path);

// Writes one frame carrying `payload`.
Status write_frame(int fd, std::string_view payload, Deadline deadline);
// Reads one frame's payload; UnexpectedEof when the helper closed the connection.
Result<std::string> read_frame(int fd, Deadline deadline);

// Sends one command and waits for its reply.
Result<message::IPCResponseMessage> send_command(int fd, const message::IPCCommandMessage& command,
                                                 std::chrono::milliseconds timeout);

// Sends one command asking for protocol 2 and waits for its final reply, reading past an
// Accepted; with `until_accepted`, an Accepted is returned as it comes. A helper that predates
// protocol 2 answers Ok or Err only (an Err then has no reason or message).
Result<message::Response> request(int fd, const message::IPCCommandMessage& command,
                                  std::chrono::milliseconds timeout, bool until_accepted);

}  // namespace common::ipc::client
