#include "main/relaunch.hpp"

#include <string>

#include "common/util/log.hpp"
#include "common/util/quoted.hpp"
#include "main/app_package_validation.hpp"
#include "platform/code_signing.hpp"
#include "platform/files.hpp"
#include "platform/processes.hpp"

namespace main_service {
namespace {

using common::util::log_err;
using common::util::log_out;

// Runs on a platform thread, possibly after the connection that asked has closed, so it touches
// nothing but the log. A line that cannot be written has no task to end here: the fault's
// diagnostic has already gone to standard error, and the outcome is dropped.
void log_launch_outcome(const platform::LaunchOutcome& outcome) {
  try {
    // The error decides first: an error reported together with an application is a failure.
    if (outcome.error_description) {
      log_err("Failed to launch application: " + *outcome.error_description);
    } else if (outcome.running_application) {
      log_out("Successfully completed launching application");
    } else {
      log_err("Failed to launch application: unknown error");
    }
  } catch (const common::util::FatalFault&) {
  }
}

common::Status launch_application(platform::Platform& platform,
                                  const common::ipc::message::Path& app_path,
                                  const platform::Requester& requester) {
  if (!common::util::is_valid_utf8(app_path)) {
    return common::fail_because(common::Reason::BadRequest,
                                "Could not convert \"app_path\" to a \"&str\"");
  }
  platform::OpenConfiguration configuration;
  // The old instance may still be on its way out; the new one must start regardless.
  configuration.creates_new_application_instance = true;
  log_out("Constructing application launch completion handler");
  platform::LaunchCompletion completion = log_launch_outcome;
  log_out("Launching application at path: " + app_path);
  // The helper starts only the application it serves, whatever path it is given: a directory
  // that merely looks like a bundle is no application. Identity suffices, since an installed
  // application whose files were damaged since is still the user's own to start.
  auto identity = validate_app_package_signature(platform, platform.files->file_url(app_path),
                                                 platform::ValidationScope::Identity);
  if (!identity) {
    completion(platform::LaunchOutcome{false, identity.error().text()});
    return {};
  }
  platform.processes->open_application(app_path, configuration, requester, std::move(completion));
  return {};
}

}  // namespace

asio::awaitable<common::Status> run_wait_for_exit_and_launch(
    platform::Platform& platform, const common::ipc::message::WaitForExitAndLaunch& command,
    const platform::Requester& requester, ExitWaitParameters parameters) {
  const std::string pid = std::to_string(command.pid);
  log_out("Pid: " + pid);
  log_out("App path: " + common::util::lossy_utf8(command.app_path));
  log_out("Waiting for process with pid \"" + pid + "\" to exit");
  auto waited = co_await util::system::wait_with_retry_backoff_for_pid_exit(
      *platform.processes, command.pid, parameters.max_attempts, parameters.initial_delay,
      parameters.max_delay);
  if (!waited) co_return waited;
  log_out("Process with pid \"" + pid + "\" has exited");
  co_return launch_application(platform, command.app_path, requester);
}

}  // namespace main_service
