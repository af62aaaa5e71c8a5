#pragma once
// The listening socket that the service manager holds for the helper.

#include <asio/any_io_executor.hpp>
#include <asio/local/stream_protocol.hpp>

#include "common/error.hpp"
#include "platform/activation.hpp"

namespace util::launchd {

// The socket entry the service definition declares; the two must agree.
inline constexpr const char* LISTENER_SOCKET_NAME = "Primary";

// Claims the one socket handed over under `name`, makes it non-blocking and registers it with
// `executor`'s reactor. Called once, from the service body, before the accept loop. Never logs;
// descriptors that are not kept are closed before an error is returned.
common::Result<asio::local::stream_protocol::acceptor> unix_listener_for_socket_name(
    platform::Activation& activation, const asio::any_io_executor& executor, const char* name);

}  // namespace util::launchd
