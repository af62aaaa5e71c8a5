#include "main/relaunch.hpp"

namespace main_service {

asio::awaitable<common::Status> run_wait_for_exit_and_launch(
    platform::Platform&, const common::ipc::message::WaitForExitAndLaunch&) {
  // Refused rather than answered Ok: a client must never believe a relaunch was scheduled.
  co_return common::fail_other(
      "WaitForExitAndLaunch is not available in this build: waiting for the process to exit "
      "and launching the application are not implemented yet");
}

}  // namespace main_service
