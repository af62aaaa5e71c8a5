// A stand-in for the desktop application in tests of peer verification: it connects to a Unix
// socket and then, by mode,
//   wait [LIBRARY...]     loads the libraries, then blocks until the other end closes the
//                         connection (or it is killed)
//   exit                  exits at once, leaving the connection behind
//   exec PROGRAM ARGS...  replaces itself with PROGRAM, keeping the connection open
//   serve [fork|dlopen LIBRARY]
//                         sends a command frame and prints "reply" or "closed"; then, after the
//                         fork of a child that keeps the connection, or after loading LIBRARY,
//                         sends another and prints the outcome again
//   fork-exec PROGRAM ARGS...
//                         forks; the parent replaces itself with PROGRAM, the child waits until
//                         it has, then sends a command frame on the shared connection and prints
//                         the outcome
//   queue-exec PROGRAM ARGS...
//                         sends a command frame, then replaces itself with PROGRAM
// and without connecting (SOCKET "-"):
//   idle                  sleeps until it is killed
// Like the client library, it opens its connection close-on-exec and makes itself non-dumpable,
// except where a mode needs the connection to survive exec, or KOLVARIS_TEST_CLIENT_DUMPABLE is
// set in its environment. In wait mode it writes one byte ('c') once connected, so the test
// knows when to look.

#include <dlfcn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char COMMAND[] =
    R"({"type":"ReplaceAppAtomic","source_path":"/nonexistent/New.app","destination_path":"/nonexistent/Old.app"})";

bool send_command(int fd) {
  const unsigned length = sizeof COMMAND - 1;
  unsigned char frame[4 + sizeof COMMAND];
  frame[0] = static_cast<unsigned char>(length >> 24);
  frame[1] = static_cast<unsigned char>(length >> 16);
  frame[2] = static_cast<unsigned char>(length >> 8);
  frame[3] = static_cast<unsigned char>(length);
  std::memcpy(frame + 4, COMMAND, length);
  return ::send(fd, frame, 4 + length, MSG_NOSIGNAL) == static_cast<ssize_t>(4 + length);
}

// "reply" when a whole reply frame arrives, "closed" otherwise.
const char* outcome(int fd) {
  unsigned char prefix[4];
  std::size_t have = 0;
  while (have < 4) {
    ssize_t n = ::read(fd, prefix + have, 4 - have);
    if (n <= 0) return "closed";
    have += static_cast<std::size_t>(n);
  }
  std::size_t length = (std::size_t{prefix[0]} << 24) | (std::size_t{prefix[1]} << 16) |
                       (std::size_t{prefix[2]} << 8) | prefix[3];
  char buffer[256];
  while (length > 0) {
    ssize_t n = ::read(fd, buffer, length < sizeof buffer ? length : sizeof buffer);
    if (n <= 0) return "closed";
    length -= static_cast<std::size_t>(n);
  }
  return "reply";
}

void command_and_report(int fd) {
  const char* result = send_command(fd) ? outcome(fd) : "closed";
  std::printf("%s\n", result);
  std::fflush(stdout);
}

std::string exe_of(pid_t pid) {
  char target[4096];
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SOCKET wait|exit|exec|serve|fork-exec|queue-exec|idle ...\n",
                 argv[0]);
    return 2;
  }
  std::string mode = argv[2];
  if (mode == "idle") {
    for (;;) ::pause();
  }
  if (mode == "wait") {
    for (int i = 3; i < argc; ++i) {
      if (::dlopen(argv[i], RTLD_NOW) == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return 1;
      }
    }
  }
  const bool inherit = mode == "exec" || mode == "fork-exec" || mode == "queue-exec";
  if (!inherit && std::getenv("KOLVARIS_TEST_CLIENT_DUMPABLE") == nullptr) {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | (inherit ? 0 : SOCK_CLOEXEC), 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("connect");
    return 1;
  }
  if (mode == "exit") _exit(0);
  if (mode == "exec" && argc >= 4) {
    ::execv(argv[3], argv + 3);
    std::perror("execv");
    return 1;
  }
  if (mode == "queue-exec" && argc >= 4) {
    if (!send_command(fd)) return 1;
    ::execv(argv[3], argv + 3);
    std::perror("execv");
    return 1;
  }
  if (mode == "fork-exec" && argc >= 4) {
    const std::string own = exe_of(::getpid());
    pid_t parent = ::getpid();
    pid_t child = ::fork();
    if (child < 0) return 1;
    if (child > 0) {
      ::execv(argv[3], argv + 3);
      std::perror("execv");
      return 1;
    }
    while (exe_of(parent) == own) ::usleep(1000);
    command_and_report(fd);
    return 0;
  }
  if (mode == "serve") {
    command_and_report(fd);
    if (argc < 4) return 0;
    std::string action = argv[3];
    pid_t child = -1;
    if (action == "fork") {
      child = ::fork();
      if (child == 0) {
        // Gone with its parent, however the parent ends: a stray copy would keep the test's
        // output pipe open.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() == 1) ::_exit(0);
        for (;;) ::pause();
      }
    } else if (action == "dlopen" && argc >= 5) {
      if (::dlopen(argv[4], RTLD_NOW) == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return 1;
      }
    }
    command_and_report(fd);
    if (child > 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
    return 0;
  }
  char byte = 'c';
  if (::write(fd, &byte, 1) != 1) return 1;
  char buffer[64];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
  return 0;
}
