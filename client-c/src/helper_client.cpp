// The C client: a thin layer over the C++ client that turns its results into a status and an
// owned description. No exception may cross the C boundary.

#include "kolvaris/helper_client.h"

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

// A copy the caller frees with kolvaris_helper_free_error (std::free).
char* owned_copy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

kolvaris_helper_status finish(kolvaris_helper_status status, const std::string& text,
                              char** error) {
  if (error != nullptr) *error = status == KOLVARIS_HELPER_OK ? nullptr : owned_copy(text);
  return status;
}

kolvaris_helper_status send(const char* socket_path, const msg::IPCCommandMessage& command,
                            std::uint32_t timeout_ms, char** error) {
  if (auto encoded = msg::encode_command(command); !encoded) {
    return finish(KOLVARIS_HELPER_PROTOCOL_FAILURE,
                  "cannot send the command: " + encoded.error().text(), error);
  }
  const std::string path =
      socket_path != nullptr ? std::string(socket_path) : std::string(common::HELPER_SOCKET_PATH);
  auto fd = common::ipc::client::connect_to_helper(path);
  if (!fd) {
    return finish(KOLVARIS_HELPER_COULD_NOT_CONNECT,
                  "cannot connect to " + path + ": " + fd.error().text(), error);
  }
  // No limit: far beyond any update, still far from the clock's range.
  const auto timeout = timeout_ms == 0 ? std::chrono::milliseconds(std::chrono::hours(24 * 365))
                                       : std::chrono::milliseconds(timeout_ms);
  auto reply = common::ipc::client::send_command(fd->get(), command, timeout);
  if (!reply) {
    const common::Error& e = reply.error();
    if (e.is_os() && e.os_code() == ETIMEDOUT) {
      return finish(KOLVARIS_HELPER_TIMED_OUT, "no reply from the helper: " + e.text(), error);
    }
    // The helper closes a connection it will not serve, possibly while the command is still
    // being written.
    if (e.kind() == common::ErrorKind::UnexpectedEof ||
        (e.is_os() && (e.os_code() == EPIPE || e.os_code() == ECONNRESET))) {
      return finish(KOLVARIS_HELPER_PROTOCOL_FAILURE,
                    "the helper closed the connection without a reply (was this program refused "
                    "as a client? the helper's log says why)",
                    error);
    }
    return finish(KOLVARIS_HELPER_PROTOCOL_FAILURE, "no reply from the helper: " + e.text(), error);
  }
  if (*reply == msg::IPCResponseMessage::Err) {
    return finish(KOLVARIS_HELPER_REFUSED,
                  "the helper answered Err (its log, /var/log/" +
                      std::string(common::HELPER_LABEL) + ".log, says why)",
                  error);
  }
  return finish(KOLVARIS_HELPER_OK, {}, error);
}

kolvaris_helper_status missing_argument(const char* name, char** error) {
  return finish(KOLVARIS_HELPER_PROTOCOL_FAILURE, std::string(name) + " is NULL", error);
}

// Only allocation can throw below; there is no way to report it but without a text.
kolvaris_helper_status out_of_memory(char** error) {
  if (error != nullptr) *error = nullptr;
  return KOLVARIS_HELPER_PROTOCOL_FAILURE;
}

}  // namespace

extern "C" kolvaris_helper_status kolvaris_helper_replace_app_atomic(const char* socket_path,
                                                                     const char* source,
                                                                     const char* destination,
                                                                     std::uint32_t timeout_ms,
                                                                     char** error) {
  try {
    if (source == nullptr) return missing_argument("source", error);
    if (destination == nullptr) return missing_argument("destination", error);
    return send(socket_path, msg::ReplaceAppAtomic{source, destination}, timeout_ms, error);
  } catch (const std::exception&) {
    return out_of_memory(error);
  }
}

extern "C" kolvaris_helper_status kolvaris_helper_wait_for_exit_and_launch(const char* socket_path,
                                                                           std::uint32_t pid,
                                                                           const char* app_path,
                                                                           std::uint32_t timeout_ms,
                                                                           char** error) {
  try {
    if (app_path == nullptr) return missing_argument("app_path", error);
    return send(socket_path, msg::WaitForExitAndLaunch{pid, app_path}, timeout_ms, error);
  } catch (const std::exception&) {
    return out_of_memory(error);
  }
}

extern "C" void kolvaris_helper_free_error(char* error) { std::free(error); }
