// The C client: a thin layer over the C++ client that turns its results into a status, a reason
// and an owned description. No exception may cross the C boundary.

#include "kolvaris/helper_client.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "common/constants.hpp"
#include "common/ipc/client.hpp"

namespace {

namespace msg = common::ipc::message;
using common::Reason;

// A copy the caller frees with kolvaris_helper_free_error (std::free).
char* owned_copy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

struct Outcome {
  kolvaris_helper_status status = KOLVARIS_HELPER_OK;
  kolvaris_helper_reason reason = KOLVARIS_HELPER_REASON_NONE;
  std::string text;
};

kolvaris_helper_status finish(const Outcome& outcome, kolvaris_helper_reason* reason,
                              char** error) {
  if (reason != nullptr) *reason = outcome.reason;
  if (error != nullptr) {
    *error = outcome.status == KOLVARIS_HELPER_OK ? nullptr : owned_copy(outcome.text);
  }
  return outcome.status;
}

Outcome failed(kolvaris_helper_status status, std::string text) {
  return Outcome{status, KOLVARIS_HELPER_REASON_NONE, std::move(text)};
}

kolvaris_helper_reason c_reason(Reason reason) {
  switch (reason) {
    case Reason::BadRequest:
      return KOLVARIS_HELPER_REASON_BAD_REQUEST;
    case Reason::NotSigned:
      return KOLVARIS_HELPER_REASON_NOT_SIGNED;
    case Reason::Downgrade:
      return KOLVARIS_HELPER_REASON_DOWNGRADE;
    case Reason::NotTheApplication:
      return KOLVARIS_HELPER_REASON_NOT_THE_APPLICATION;
    case Reason::NotFound:
      return KOLVARIS_HELPER_REASON_NOT_FOUND;
    case Reason::NotPermitted:
      return KOLVARIS_HELPER_REASON_NOT_PERMITTED;
    case Reason::ReadOnlyVolume:
      return KOLVARIS_HELPER_REASON_READ_ONLY_VOLUME;
    case Reason::NoSpace:
      return KOLVARIS_HELPER_REASON_NO_SPACE;
    case Reason::ExitWaitTimedOut:
      return KOLVARIS_HELPER_REASON_EXIT_WAIT_TIMED_OUT;
    case Reason::IoError:
      return KOLVARIS_HELPER_REASON_IO_ERROR;
    case Reason::Unspecified:
      break;
  }
  return KOLVARIS_HELPER_REASON_UNKNOWN;
}

std::chrono::milliseconds limit(std::uint32_t timeout_ms) {
  // No limit: far beyond any update, still far from the clock's range.
  return timeout_ms == 0 ? std::chrono::milliseconds(std::chrono::hours(24 * 365))
                         : std::chrono::milliseconds(timeout_ms);
}

// One command on an open connection, and what its reply means. `until_accepted`: a relaunch
// handed over counts as done.
Outcome exchange(int fd, const msg::IPCCommandMessage& command, std::chrono::milliseconds timeout,
                 bool until_accepted) {
  auto reply = common::ipc::client::request(fd, command, timeout, until_accepted);
  if (!reply) {
    const common::Error& e = reply.error();
    if (e.is_os() && e.os_code() == ETIMEDOUT) {
      return failed(KOLVARIS_HELPER_TIMED_OUT, "no reply from the helper: " + e.text());
    }
    // The helper closes a connection it will not serve, possibly while the command is still
    // being written.
    if (e.kind() == common::ErrorKind::UnexpectedEof ||
        (e.is_os() && (e.os_code() == EPIPE || e.os_code() == ECONNRESET))) {
      return failed(KOLVARIS_HELPER_PROTOCOL_FAILURE,
                    "the helper closed the connection without a reply (was this program refused "
                    "as a client? the helper's log says why)");
    }
    return failed(KOLVARIS_HELPER_PROTOCOL_FAILURE, "no reply from the helper: " + e.text());
  }
  if (reply->type == msg::ResponseType::Err) {
    // A helper that predates reasons answers a bare Err.
    std::string text = !reply->message.empty()
                           ? reply->message
                           : "the helper answered Err (its log, /var/log/" +
                                 std::string(common::HELPER_LABEL) + ".log, says why)";
    return Outcome{KOLVARIS_HELPER_REFUSED, c_reason(reply->reason), std::move(text)};
  }
  // Ok, or Accepted. An Ok where Accepted was awaited is an older helper's answer after its wait,
  // so the process was gone already and the launch has been asked for all the same.
  return Outcome{};
}

// Opens one connection and runs the steps on it in order, as long as each succeeds.
template <typename... Steps>
Outcome on_connection(const char* socket_path, std::uint32_t timeout_ms, Steps... steps) {
  const std::string path =
      socket_path != nullptr ? std::string(socket_path) : std::string(common::HELPER_SOCKET_PATH);
  auto fd = common::ipc::client::connect_to_helper(path);
  if (!fd) {
    return failed(KOLVARIS_HELPER_COULD_NOT_CONNECT,
                  "cannot connect to " + path + ": " + fd.error().text());
  }
  const auto deadline = std::chrono::steady_clock::now() + limit(timeout_ms);
  Outcome outcome;
  auto run = [&](const auto& step) {
    if (outcome.status != KOLVARIS_HELPER_OK) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      outcome = failed(KOLVARIS_HELPER_TIMED_OUT,
                       "no reply from the helper: " + common::Error::os(ETIMEDOUT).text());
      return;
    }
    outcome = exchange(fd->get(), step.command, left, step.until_accepted);
  };
  (run(steps), ...);
  return outcome;
}

struct Step {
  msg::IPCCommandMessage command;
  bool until_accepted = false;
};

// Checks the message before anything is sent: JSON cannot carry a path that is not UTF-8.
bool encodable(const Step& step, Outcome& outcome) {
  if (auto encoded = msg::encode_command(step.command); !encoded) {
    outcome = failed(KOLVARIS_HELPER_PROTOCOL_FAILURE,
                     "cannot send the command: " + encoded.error().text());
    return false;
  }
  return true;
}

template <typename... Steps>
kolvaris_helper_status send(const char* socket_path, std::uint32_t timeout_ms,
                            kolvaris_helper_reason* reason, char** error, Steps... steps) {
  Outcome outcome;
  if (!(encodable(steps, outcome) && ...)) return finish(outcome, reason, error);
  return finish(on_connection(socket_path, timeout_ms, steps...), reason, error);
}

kolvaris_helper_status missing_argument(const char* name, kolvaris_helper_reason* reason,
                                        char** error) {
  return finish(failed(KOLVARIS_HELPER_PROTOCOL_FAILURE, std::string(name) + " is NULL"), reason,
                error);
}

// Only allocation can throw below; there is no way to report it but without a text.
kolvaris_helper_status out_of_memory(kolvaris_helper_reason* reason, char** error) {
  if (reason != nullptr) *reason = KOLVARIS_HELPER_REASON_NONE;
  if (error != nullptr) *error = nullptr;
  return KOLVARIS_HELPER_PROTOCOL_FAILURE;
}

}  // namespace

extern "C" const char* kolvaris_helper_reason_code(kolvaris_helper_reason reason) {
  switch (reason) {
    case KOLVARIS_HELPER_REASON_NONE:
      return "none";
    case KOLVARIS_HELPER_REASON_UNKNOWN:
      return "unknown";
    case KOLVARIS_HELPER_REASON_BAD_REQUEST:
      return "bad_request";
    case KOLVARIS_HELPER_REASON_NOT_SIGNED:
      return "not_signed";
    case KOLVARIS_HELPER_REASON_DOWNGRADE:
      return "downgrade";
    case KOLVARIS_HELPER_REASON_NOT_THE_APPLICATION:
      return "not_the_application";
    case KOLVARIS_HELPER_REASON_NOT_FOUND:
      return "not_found";
    case KOLVARIS_HELPER_REASON_NOT_PERMITTED:
      return "not_permitted";
    case KOLVARIS_HELPER_REASON_READ_ONLY_VOLUME:
      return "read_only_volume";
    case KOLVARIS_HELPER_REASON_NO_SPACE:
      return "no_space";
    case KOLVARIS_HELPER_REASON_EXIT_WAIT_TIMED_OUT:
      return "exit_wait_timed_out";
    case KOLVARIS_HELPER_REASON_IO_ERROR:
      return "io_error";
  }
  return "unknown";
}

extern "C" kolvaris_helper_status kolvaris_helper_replace_app_atomic_ex(
    const char* socket_path, const char* source, const char* destination, std::uint32_t timeout_ms,
    kolvaris_helper_reason* reason, char** error) {
  try {
    if (source == nullptr) return missing_argument("source", reason, error);
    if (destination == nullptr) return missing_argument("destination", reason, error);
    return send(socket_path, timeout_ms, reason, error,
                Step{msg::ReplaceAppAtomic{source, destination}});
  } catch (const std::exception&) {
    return out_of_memory(reason, error);
  }
}

extern "C" kolvaris_helper_status kolvaris_helper_replace_app_atomic(const char* socket_path,
                                                                     const char* source,
                                                                     const char* destination,
                                                                     std::uint32_t timeout_ms,
                                                                     char** error) {
  return kolvaris_helper_replace_app_atomic_ex(socket_path, source, destination, timeout_ms,
                                               nullptr, error);
}

extern "C" kolvaris_helper_status kolvaris_helper_wait_for_exit_and_launch_ex(
    const char* socket_path, std::uint32_t pid, const char* app_path, std::uint32_t timeout_ms,
    kolvaris_helper_reason* reason, char** error) {
  try {
    if (app_path == nullptr) return missing_argument("app_path", reason, error);
    return send(socket_path, timeout_ms, reason, error,
                Step{msg::WaitForExitAndLaunch{pid, app_path}});
  } catch (const std::exception&) {
    return out_of_memory(reason, error);
  }
}

extern "C" kolvaris_helper_status kolvaris_helper_wait_for_exit_and_launch(const char* socket_path,
                                                                           std::uint32_t pid,
                                                                           const char* app_path,
                                                                           std::uint32_t timeout_ms,
                                                                           char** error) {
  return kolvaris_helper_wait_for_exit_and_launch_ex(socket_path, pid, app_path, timeout_ms,
                                                     nullptr, error);
}

extern "C" kolvaris_helper_status kolvaris_helper_relaunch_after_exit_of(
    const char* socket_path, std::uint32_t pid, const char* app_path, std::uint32_t timeout_ms,
    kolvaris_helper_reason* reason, char** error) {
  try {
    if (app_path == nullptr) return missing_argument("app_path", reason, error);
    return send(socket_path, timeout_ms, reason, error,
                Step{msg::WaitForExitAndLaunch{pid, app_path}, true});
  } catch (const std::exception&) {
    return out_of_memory(reason, error);
  }
}

extern "C" kolvaris_helper_status kolvaris_helper_relaunch_after_exit(const char* socket_path,
                                                                      const char* app_path,
                                                                      std::uint32_t timeout_ms,
                                                                      char** error) {
  return kolvaris_helper_relaunch_after_exit_of(socket_path, static_cast<std::uint32_t>(::getpid()),
                                                app_path, timeout_ms, nullptr, error);
}

extern "C" kolvaris_helper_status kolvaris_helper_update_and_relaunch(
    const char* socket_path, const char* downloaded, const char* installed,
    std::uint32_t timeout_ms, kolvaris_helper_reason* reason, char** error) {
  try {
    if (downloaded == nullptr) return missing_argument("downloaded", reason, error);
    if (installed == nullptr) return missing_argument("installed", reason, error);
    return send(
        socket_path, timeout_ms, reason, error, Step{msg::ReplaceAppAtomic{downloaded, installed}},
        Step{msg::WaitForExitAndLaunch{static_cast<std::uint32_t>(::getpid()), installed}, true});
  } catch (const std::exception&) {
    return out_of_memory(reason, error);
  }
}

extern "C" void kolvaris_helper_free_error(char* error) { std::free(error); }
