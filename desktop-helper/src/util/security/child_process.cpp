#include "util/security/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "common/util/unique_fd.hpp"
#include "platform/spawn.hpp"

extern char** environ;

namespace util::security {
namespace {

using common::util::UniqueFd;

// posix_spawn's two attribute objects, destroyed on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  bool actions_ready = false;
  bool attributes_ready = false;

  ~SpawnSetup() {
    if (actions_ready) posix_spawn_file_actions_destroy(&actions);
    if (attributes_ready) posix_spawnattr_destroy(&attributes);
  }
};

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

common::Result<Pipe> make_pipe() {
  int fds[2];
  // pipe2 is Linux's; macOS has only pipe. The moment without close-on-exec is harmless: every
  // child this process starts inherits no descriptor above 2 (close_descriptors_above_stderr).
  if (::pipe(fds) != 0) return common::fail_last_os();
  Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (int fd : fds) {
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return common::fail_last_os();
  }
  return pipe;
}

// Reads both descriptors until each reports end of file; the bytes are thrown away. Returns 0 or
// the errno of a failed poll or read.
int drain(UniqueFd& first, UniqueFd& second) {
  std::array<char, 65536> buffer;
  std::array<UniqueFd*, 2> open{&first, &second};
  while (open[0]->valid() || open[1]->valid()) {
    std::array<pollfd, 2> polled{};
    nfds_t count = 0;
    std::array<UniqueFd*, 2> owners{};
    for (UniqueFd* fd : open) {
      if (!fd->valid()) continue;
      polled[count] = pollfd{fd->get(), POLLIN, 0};
      owners[count++] = fd;
    }
    if (poll(polled.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (polled[i].revents == 0) continue;
      ssize_t n = read(owners[i]->get(), buffer.data(), buffer.size());
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return errno;
      }
      // A hang-up without data is end of file as well: read answered 0.
      if (n == 0) owners[i]->reset();
    }
  }
  return 0;
}

int wait_for_exit(pid_t pid, int& status) {
  status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

common::Result<int> run_discarding_output(std::string_view program,
                                          const std::vector<std::string>& arguments) {
  auto out = make_pipe();
  if (!out) return common::fail(std::move(out.error()));
  auto err = make_pipe();
  if (!err) return common::fail(std::move(err.error()));

  SpawnSetup setup;
  if (int rc = posix_spawn_file_actions_init(&setup.actions); rc != 0) return common::fail_os(rc);
  setup.actions_ready = true;
  if (int rc = posix_spawnattr_init(&setup.attributes); rc != 0) return common::fail_os(rc);
  setup.attributes_ready = true;

  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  // The helper ignores SIGPIPE; a tool that writes to a closed pipe should die of it as usual.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t no_mask;
  sigemptyset(&no_mask);
  int rc = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, out->write_end.get(), 1);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, err->write_end.get(), 2);
  if (rc == 0) rc = platform::close_descriptors_above_stderr(setup.actions, flags);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attributes, &no_mask);
  if (rc == 0) rc = posix_spawnattr_setflags(&setup.attributes, flags);
  if (rc != 0) return common::fail_os(rc);

  std::string program_name(program);
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(program_name.data());
  std::vector<std::string> argument_storage(arguments);
  for (auto& argument : argument_storage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  rc = posix_spawnp(&pid, program_name.c_str(), &setup.actions, &setup.attributes, argv.data(),
                    environ);
  if (rc != 0) return common::fail_os(rc);

  // Only the child may hold the write ends now, or the reads below would never see end of file.
  out->write_end.reset();
  err->write_end.reset();
  int read_error = drain(out->read_end, err->read_end);
  // After a failed read the child may be blocked on a full pipe: closing the read ends lets it
  // finish (by SIGPIPE if need be) before it is waited for.
  out->read_end.reset();
  err->read_end.reset();
  int status = 0;
  if (int wait_error = wait_for_exit(pid, status); wait_error != 0) {
    return common::fail_os(wait_error);
  }
  if (read_error != 0) return common::fail_os(read_error);
  return status;
}

}  // namespace util::security
