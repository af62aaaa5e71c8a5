/* C client of the Kolvaris update helper.
 *
 * Each call opens one connection to the helper's socket, sends one command, waits for the reply
 * and closes the connection. Calls block for at most about `timeout_ms` milliseconds once
 * connected (0: no limit) and may be made from any thread; they never raise SIGPIPE.
 *
 * On any status but KOLVARIS_HELPER_OK, `*error` (when `error` is not NULL) receives a
 * NUL-terminated description in UTF-8 that the caller releases with kolvaris_helper_free_error;
 * on KOLVARIS_HELPER_OK it is set to NULL. It may also be NULL when even that text could not be
 * allocated. */
#ifndef KOLVARIS_HELPER_CLIENT_H
#define KOLVARIS_HELPER_CLIENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KOLVARIS_HELPER_API __attribute__((visibility("default")))
#else
#define KOLVARIS_HELPER_API
#endif

typedef enum kolvaris_helper_status {
  /* The helper carried out the command. */
  KOLVARIS_HELPER_OK = 0,
  /* The helper answered that the command failed; the helper's log tells why. */
  KOLVARIS_HELPER_REFUSED = 1,
  /* No connection to the helper's socket (not installed, not running, no permission). */
  KOLVARIS_HELPER_COULD_NOT_CONNECT = 2,
  /* No reply within the time limit. */
  KOLVARIS_HELPER_TIMED_OUT = 3,
  /* The command could not be sent, or no valid reply came (for example the helper closed the
   * connection because this process is not a client it serves). */
  KOLVARIS_HELPER_PROTOCOL_FAILURE = 4
} kolvaris_helper_status;

/* Asks the helper to replace the application bundle at `destination` with the signed bundle at
 * `source`. `socket_path` NULL means the installed helper's socket. */
KOLVARIS_HELPER_API kolvaris_helper_status
kolvaris_helper_replace_app_atomic(const char* socket_path, const char* source,
                                   const char* destination, uint32_t timeout_ms, char** error);

/* Asks the helper to wait until process `pid` has exited and then to launch the application
 * bundle at `app_path`. The reply comes once the wait is over; the launch itself runs on. */
KOLVARIS_HELPER_API kolvaris_helper_status kolvaris_helper_wait_for_exit_and_launch(
    const char* socket_path, uint32_t pid, const char* app_path, uint32_t timeout_ms, char** error);

/* Releases a description returned through `error`; NULL is allowed. */
KOLVARIS_HELPER_API void kolvaris_helper_free_error(char* error);

#ifdef __cplusplus
}
#endif

#endif /* KOLVARIS_HELPER_CLIENT_H */
