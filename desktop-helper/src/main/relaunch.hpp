#pragma once
// The WaitForExitAndLaunch command.

#include <asio/awaitable.hpp>

#include "common/error.hpp"
#include "common/ipc/message.hpp"
#include "platform/platform.hpp"

namespace main_service {

asio::awaitable<common::Status> run_wait_for_exit_and_launch(
    platform::Platform& platform, const common::ipc::message::WaitForExitAndLaunch& command);

}  // namespace main_service
