#pragma once
// The WaitForExitAndLaunch command: wait until the running application has exited, then open the
// application bundle as a new instance.

#include <asio/awaitable.hpp>

#include "common/error.hpp"
#include "common/ipc/message.hpp"
#include "platform/platform.hpp"
#include "util/system/process_exit_wait.hpp"

namespace main_service {

// The fixed parameters of the exit wait: checks at about 0, 0.5, 1.5, 3.5 and 7.5 seconds.
struct ExitWaitParameters {
  std::uint32_t max_attempts = 5;
  util::system::Delay initial_delay = util::system::Delay::from_millis(500);
  util::system::Delay max_delay = util::system::Delay{60, 0};
};

// Logs the pid and the path, waits for the process to exit (suspending the task between
// checks), then hands the launch request to the platform and succeeds without waiting for its
// outcome, which a completion handler logs later on a platform thread. Fails with the wait's
// error (nothing is launched) or when the path is not UTF-8. `parameters` exists for tests; the
// command always runs with the defaults.
asio::awaitable<common::Status> run_wait_for_exit_and_launch(
    platform::Platform& platform, const common::ipc::message::WaitForExitAndLaunch& command,
    ExitWaitParameters parameters = {});

}  // namespace main_service
