// A stand-in for the desktop application in tests of peer verification: it connects to a Unix
// socket and then, by mode,
//   wait [LIBRARY...]     loads the libraries, then blocks until the other end closes the
//                         connection (or it is killed)
//   exit                  exits at once, leaving the connection behind
//   exec PROGRAM ARGS...  replaces itself with PROGRAM, keeping the connection open
//   serve [fork|dlopen LIBRARY|child-writes|child-finishes|pass SOCKET|hand-off SOCKET]
//                         sends a command frame and prints "reply" or "closed"; then, after the
//                         fork of a child that keeps the connection, or after loading LIBRARY,
//                         sends another and prints the outcome again. child-writes: a forked
//                         child sends the second frame; child-finishes: the client writes the
//                         first half of the second frame and a forked child the rest; pass: the
//                         connection goes to the process listening at SOCKET (SCM_RIGHTS),
//                         which may write on it and sends it back, then the client sends the
//                         second frame; hand-off: the connection goes to SOCKET and the client
//                         exits at once
//   fork-exec PROGRAM ARGS...
//                         forks; the parent replaces itself with PROGRAM, the child waits until
//                         it has, then sends a command frame on the shared connection and prints
//                         the outcome
//   queue-exec PROGRAM ARGS...
//                         sends a command frame, then replaces itself with PROGRAM
//   queue-fork-exec PROGRAM ARGS...
//                         connects close-on-exec, sends a command frame, forks a child that
//                         keeps the connection for 30 s, then replaces itself with PROGRAM
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

constexpr std::size_t FRAME_SIZE = 4 + sizeof COMMAND - 1;

void make_frame(unsigned char* frame) {
  const unsigned length = sizeof COMMAND - 1;
  frame[0] = static_cast<unsigned char>(length >> 24);
  frame[1] = static_cast<unsigned char>(length >> 16);
  frame[2] = static_cast<unsigned char>(length >> 8);
  frame[3] = static_cast<unsigned char>(length);
  std::memcpy(frame + 4, COMMAND, length);
}

bool send_bytes(int fd, const unsigned char* bytes, std::size_t size) {
  return ::send(fd, bytes, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

bool send_command(int fd) {
  unsigned char frame[FRAME_SIZE];
  make_frame(frame);
  return send_bytes(fd, frame, sizeof frame);
}

// Connects to the Unix socket at `path`, or -1.
int connect_to(const char* path, int flags) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | flags, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return -1;
  }
  return fd;
}

bool send_descriptor(int over, int fd) {
  char byte = 'f';
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return ::sendmsg(over, &message, MSG_NOSIGNAL) == 1;
}

// Waits for a descriptor sent back over `over`; -1 when none comes.
int receive_descriptor(int over) {
  char byte;
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (::recvmsg(over, &message, MSG_CMSG_CLOEXEC) != 1) return -1;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  if (c == nullptr || c->cmsg_type != SCM_RIGHTS) return -1;
  int fd;
  std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  return fd;
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
  int fd = connect_to(argv[1], inherit ? 0 : SOCK_CLOEXEC);
  if (fd < 0) {
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
  if (mode == "queue-fork-exec" && argc >= 4) {
    if (!send_command(fd)) return 1;
    pid_t keeper = ::fork();
    if (keeper < 0) return 1;
    if (keeper == 0) {
      ::sleep(30);
      ::_exit(0);
    }
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
    } else if (action == "child-writes" || action == "child-finishes") {
      unsigned char frame[FRAME_SIZE];
      make_frame(frame);
      const std::size_t half = action == "child-writes" ? 0 : FRAME_SIZE / 2;
      if (half > 0 && !send_bytes(fd, frame, half)) return 1;
      pid_t writer = ::fork();
      if (writer == 0) ::_exit(send_bytes(fd, frame + half, FRAME_SIZE - half) ? 0 : 1);
      ::waitpid(writer, nullptr, 0);
      std::printf("%s\n", outcome(fd));
      return 0;
    } else if ((action == "pass" || action == "hand-off") && argc >= 5) {
      int over = connect_to(argv[4], SOCK_CLOEXEC);
      if (over < 0 || !send_descriptor(over, fd)) return 1;
      if (action == "hand-off") ::_exit(0);
      int back = receive_descriptor(over);
      if (back < 0) return 1;
      ::close(back);
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
