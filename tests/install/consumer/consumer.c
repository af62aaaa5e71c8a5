/* An application's use of the C client, compiled as C against an installed copy only.
 *
 *   consumer SOCKET replace SOURCE DESTINATION
 *   consumer SOCKET relaunch PID APP
 *
 * SOCKET "-" means the installed helper's socket (NULL). Prints the status and the error text
 * (a refused replacement: its reason, a colon and the text) and exits with the status. A
 * relaunch goes through the original call, so that both generations of the interface are
 * linked from the installed library. */
#include <kolvaris/helper_client.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: consumer SOCKET replace SOURCE DESTINATION | relaunch PID APP\n");
    return 100;
  }
  const char* socket_path = strcmp(argv[1], "-") == 0 ? NULL : argv[1];
  char* error = NULL;
  kolvaris_helper_status status;
  kolvaris_helper_reason reason = KOLVARIS_HELPER_REASON_NONE;
  if (strcmp(argv[2], "replace") == 0) {
    status = kolvaris_helper_replace_app_atomic_ex(socket_path, argv[3], argv[4], 60000, &reason,
                                                   &error);
    if (status == KOLVARIS_HELPER_REFUSED)
      printf("%d %s: ", (int)status, kolvaris_helper_reason_code(reason));
  } else if (strcmp(argv[2], "relaunch") == 0) {
    status = kolvaris_helper_wait_for_exit_and_launch(
        socket_path, (uint32_t)strtoul(argv[3], NULL, 10), argv[4], 60000, &error);
  } else {
    return 100;
  }
  if (reason == KOLVARIS_HELPER_REASON_NONE) printf("%d ", (int)status);
  printf("%s\n", error != NULL ? error : "-");
  kolvaris_helper_free_error(error);
  return (int)status;
}
