/* The application of the system test: a client of the installed helper when it has arguments,
 * the relaunched application when it has none.
 *
 *   app replace SOURCE DESTINATION     asks the installed helper; prints "STATUS ERROR-TEXT"
 *   app relaunch PID APP               and exits with the status
 *   app                                writes who and where it runs to $HOME/launched.txt
 *
 * Linked against the client library of the package, so it starts only where that library is
 * found: beside the system's libraries, or in its own bundle (built with a run path into it). */
#include <kolvaris/helper_client.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern char** environ;

static int record_launch(void) {
  const char* home = getenv("HOME");
  if (home == NULL) return 101;
  char path[4096], partial[4096];
  snprintf(path, sizeof path, "%s/launched.txt", home);
  snprintf(partial, sizeof partial, "%s/.launched.txt.partial", home);
  FILE* out = fopen(partial, "w");
  if (out == NULL) return 102;
  fprintf(out, "uid=%u gid=%u\n", (unsigned)getuid(), (unsigned)getgid());
  FILE* cgroup = fopen("/proc/self/cgroup", "r");
  char line[4096];
  while (cgroup != NULL && fgets(line, sizeof line, cgroup) != NULL) fprintf(out, "cgroup=%s", line);
  if (cgroup != NULL) fclose(cgroup);
  for (char** e = environ; *e != NULL; ++e) fprintf(out, "env=%s\n", *e);
  if (fclose(out) != 0) return 103;
  /* Whole or not at all: the test waits for this name. */
  return rename(partial, path) == 0 ? 0 : 104;
}

int main(int argc, char** argv) {
  if (argc == 1) return record_launch();
  if (argc != 4) {
    fprintf(stderr, "usage: app [replace SOURCE DESTINATION | relaunch PID APP]\n");
    return 100;
  }
  char* error = NULL;
  kolvaris_helper_status status;
  if (strcmp(argv[1], "replace") == 0) {
    status = kolvaris_helper_replace_app_atomic(NULL, argv[2], argv[3], 120000, &error);
  } else if (strcmp(argv[1], "relaunch") == 0) {
    status = kolvaris_helper_wait_for_exit_and_launch(
        NULL, (uint32_t)strtoul(argv[2], NULL, 10), argv[3], 120000, &error);
  } else {
    return 100;
  }
  printf("%d %s\n", (int)status, error != NULL ? error : "-");
  kolvaris_helper_free_error(error);
  return (int)status;
}
