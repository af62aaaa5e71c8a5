/* An application around the README's integration example, for the test that runs it as an
 * application would. Each start appends "start VERSION UID NS" to the file "report" beside its
 * bundle (NS: CLOCK_REALTIME in nanoseconds), and the end of the process "exit VERSION NS";
 * then, by the number of starts before it:
 *   none  update_and_restart(the path written in the file "download" beside the bundle, itself)
 *   one   restart(itself)
 *   more  nothing.
 * A failure appends "failed" and exits with 3. With a file "separate" beside the bundle, the
 * first start instead replaces its bundle and asks for its relaunch through two calls, each on a
 * connection of its own, appends "separate STATUS STATUS" and exits. */
#define _GNU_SOURCE
#include <kolvaris/helper_client.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int update_and_restart(const char* downloaded, const char* installed);
int restart(const char* installed);

static char work[4096], bundle[4096], version[64], report[4200];

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void append(const char* line) {
  FILE* out = fopen(report, "a");
  if (out == NULL) return;
  fprintf(out, "%s\n", line);
  fclose(out);
}

static void on_exit_line(void) {
  char line[128];
  snprintf(line, sizeof line, "exit %s %lld", version, now_ns());
  append(line);
}

static int read_line(const char* path, char* out, size_t size) {
  FILE* in = fopen(path, "r");
  if (in == NULL) return 0;
  int ok = fgets(out, (int)size, in) != NULL;
  fclose(in);
  if (ok) out[strcspn(out, "\n")] = '\0';
  return ok;
}

int main(void) {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return 2;
  exe[n] = '\0';
  char* macos = strstr(exe, "/Contents/MacOS/");
  if (macos == NULL) return 2;
  *macos = '\0';
  snprintf(bundle, sizeof bundle, "%s", exe);
  snprintf(work, sizeof work, "%s", bundle);
  char* slash = strrchr(work, '/');
  if (slash == NULL) return 2;
  *slash = '\0';
  snprintf(report, sizeof report, "%s/report", work);
  char path[4200];
  snprintf(path, sizeof path, "%s/Contents/Resources/version", bundle);
  if (!read_line(path, version, sizeof version)) return 2;

  int starts = 0;
  FILE* in = fopen(report, "r");
  if (in != NULL) {
    char line[256];
    while (fgets(line, sizeof line, in) != NULL) starts += strncmp(line, "start ", 6) == 0;
    fclose(in);
  }
  char line[256];
  snprintf(line, sizeof line, "start %s %u %lld", version, (unsigned)getuid(), now_ns());
  append(line);
  atexit(on_exit_line);

  if (starts == 0) {
    char download[4096];
    snprintf(path, sizeof path, "%s/download", work);
    if (!read_line(path, download, sizeof download)) return 2;
    snprintf(path, sizeof path, "%s/separate", work);
    if (access(path, F_OK) == 0) {
      int replaced = kolvaris_helper_replace_app_atomic(NULL, download, bundle, 60000, NULL);
      int relaunch = kolvaris_helper_relaunch_after_exit(NULL, bundle, 10000, NULL);
      snprintf(line, sizeof line, "separate %d %d", replaced, relaunch);
      append(line);
      return 0;
    }
    update_and_restart(download, bundle);
  } else if (starts == 1) {
    restart(bundle);
  } else {
    return 0;
  }
  append("failed");
  return 3;
}
