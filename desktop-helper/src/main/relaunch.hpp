#pragma once
// The WaitForExitAndLaunch command: wait until the running application has exited, then open the
// application bundle as a new instance, as the user who asked and only if it is the application
// this helper serves.

#include <asio/awaitable.hpp>

#include "common/error.hpp"
#include "common/ipc/message.hpp"
#include "platform/platform.hpp"
#include "platform/processes.hpp"
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
//
// The application is started as `requester` (who asked on the connection). Before it is handed
// to the platform, the bundle must pass the identity check of an installed application (a valid
// signature that satisfies the client requirement; its resources are not hashed). That check
// runs after "Launching application at path: {}", on the calling thread, and a bundle that fails
// it is a failed launch: the completion handler logs "Failed to launch application: " with the
// check's error text, nothing is started, and the command still succeeds, as for any other
// launch that fails after the request was handed over.
asio::awaitable<common::Status> run_wait_for_exit_and_launch(
    platform::Platform& platform, const common::ipc::message::WaitForExitAndLaunch& command,
    const platform::Requester& requester, ExitWaitParameters parameters = {});

}  // namespace main_service
