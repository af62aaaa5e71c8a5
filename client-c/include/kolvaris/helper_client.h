/* C client of the Kolvaris update helper.
 *
 * Each call opens one connection to the helper's socket, sends its commands, waits for the
 * replies and closes the connection. Calls block for at most about `timeout_ms` milliseconds once
 * connected (0: no limit) and may be made from any thread; they never raise SIGPIPE.
 *
 * On any status but KOLVARIS_HELPER_OK, `*error` (when `error` is not NULL) receives a
 * NUL-terminated description in UTF-8 that the caller releases with kolvaris_helper_free_error;
 * on KOLVARIS_HELPER_OK it is set to NULL. It may also be NULL when even that text could not be
 * allocated. For KOLVARIS_HELPER_REFUSED it is the helper's own text of the failure, as its log
 * has it.
 *
 * The `_ex` calls also report why the helper refused, through `reason` (when not NULL): a
 * kolvaris_helper_reason, KOLVARIS_HELPER_REASON_NONE for every status but
 * KOLVARIS_HELPER_REFUSED. */
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

/* Why the helper refused a command. The values are fixed; later versions may add more. */
typedef enum kolvaris_helper_reason {
  /* Not a refusal: the command succeeded, or no answer came (see the status). */
  KOLVARIS_HELPER_REASON_NONE = 0,
  /* A refusal without a reason this library knows: a helper older than this library gives
   * none, a newer one may give one added since. */
  KOLVARIS_HELPER_REASON_UNKNOWN = 1,
  /* The request itself is malformed: a path that is not UTF-8, a destination without a name. */
  KOLVARIS_HELPER_REASON_BAD_REQUEST = 2,
  /* The download, or the copy made of it, fails the signature check: damaged, changed after
   * it was signed, unsigned, or signed by someone else. */
  KOLVARIS_HELPER_REASON_NOT_SIGNED = 3,
  /* The download is older than the installed application, or has no version to compare. */
  KOLVARIS_HELPER_REASON_DOWNGRADE = 4,
  /* The destination is not this application (another application, or no signed bundle). */
  KOLVARIS_HELPER_REASON_NOT_THE_APPLICATION = 5,
  /* The download or the destination does not exist (or the asking user cannot reach it). */
  KOLVARIS_HELPER_REASON_NOT_FOUND = 6,
  /* The asking user may not do this with that file. */
  KOLVARIS_HELPER_REASON_NOT_PERMITTED = 7,
  /* The destination's volume is mounted read-only. */
  KOLVARIS_HELPER_REASON_READ_ONLY_VOLUME = 8,
  /* The destination's volume is full (or the quota is used up). */
  KOLVARIS_HELPER_REASON_NO_SPACE = 9,
  /* The process to wait for did not exit in time (about 7.5 s); nothing was launched. */
  KOLVARIS_HELPER_REASON_EXIT_WAIT_TIMED_OUT = 10,
  /* Any other failure of the machine while the helper worked. */
  KOLVARIS_HELPER_REASON_IO_ERROR = 11
} kolvaris_helper_reason;

/* The reason's code as the helper's protocol spells it ("downgrade", "no_space", ...); "none"
 * and "unknown" for the first two. Never NULL; the text is static. */
KOLVARIS_HELPER_API const char* kolvaris_helper_reason_code(kolvaris_helper_reason reason);

/* Asks the helper to replace the application bundle at `destination` with the signed bundle at
 * `source`. `socket_path` NULL means the installed helper's socket. */
KOLVARIS_HELPER_API kolvaris_helper_status
kolvaris_helper_replace_app_atomic(const char* socket_path, const char* source,
                                   const char* destination, uint32_t timeout_ms, char** error);

/* Asks the helper to wait until process `pid` has exited and then to launch the application
 * bundle at `app_path`. The reply comes once the wait is over; the launch itself runs on. */
KOLVARIS_HELPER_API kolvaris_helper_status kolvaris_helper_wait_for_exit_and_launch(
    const char* socket_path, uint32_t pid, const char* app_path, uint32_t timeout_ms, char** error);

KOLVARIS_HELPER_API kolvaris_helper_status kolvaris_helper_replace_app_atomic_ex(
    const char* socket_path, const char* source, const char* destination, uint32_t timeout_ms,
    kolvaris_helper_reason* reason, char** error);

KOLVARIS_HELPER_API kolvaris_helper_status kolvaris_helper_wait_for_exit_and_launch_ex(
    const char* socket_path, uint32_t pid, const char* app_path, uint32_t timeout_ms,
    kolvaris_helper_reason* reason, char** error);

/* Hands over the relaunch of the application bundle at `app_path` for after the calling process
 * has exited, and returns KOLVARIS_HELPER_OK as soon as the helper has verified the caller and
 * taken the request, without waiting for the exit. The caller then exits (within a few seconds:
 * the helper gives up after about 7.5 s); the helper launches the application as the calling
 * user about half a second after the exit. Needs a helper of this version or later; an older one
 * answers only after its wait, which then fails (KOLVARIS_HELPER_REFUSED). */
KOLVARIS_HELPER_API kolvaris_helper_status kolvaris_helper_relaunch_after_exit(
    const char* socket_path, const char* app_path, uint32_t timeout_ms, char** error);

/* The same for the exit of process `pid` (for example a script's own), with the reason. */
KOLVARIS_HELPER_API kolvaris_helper_status kolvaris_helper_relaunch_after_exit_of(
    const char* socket_path, uint32_t pid, const char* app_path, uint32_t timeout_ms,
    kolvaris_helper_reason* reason, char** error);

/* The whole update on one connection: replaces `installed` with `downloaded` as
 * kolvaris_helper_replace_app_atomic_ex does and, once that has succeeded, hands over the
 * relaunch of `installed` for after the calling process's exit as
 * kolvaris_helper_relaunch_after_exit does. KOLVARIS_HELPER_OK means both were done and the
 * caller should exit now. A refused replacement asks for no relaunch.
 *
 * One connection matters: once the bundle is replaced, the running process no longer matches the
 * bundle on disk, and the helper verifies each new connection against what is on disk; the
 * connection it verified before the replacement stays served. */
KOLVARIS_HELPER_API kolvaris_helper_status kolvaris_helper_update_and_relaunch(
    const char* socket_path, const char* downloaded, const char* installed, uint32_t timeout_ms,
    kolvaris_helper_reason* reason, char** error);

/* Releases a description returned through `error`; NULL is allowed. */
KOLVARIS_HELPER_API void kolvaris_helper_free_error(char* error);

#ifdef __cplusplus
}
#endif

#endif /* KOLVARIS_HELPER_CLIENT_H */
