// A stand-in for the desktop application in tests of peer verification: it connects to a Unix
// socket and then, by mode,
//   wait                  blocks until the other end closes the connection (or it is killed)
//   exit                  exits at once, leaving the connection behind
//   exec PROGRAM ARGS...  replaces itself with PROGRAM, keeping the connection open
// It writes one byte ('c') to the connection once connected, so the test knows when to look.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SOCKET wait|exit|exec PROGRAM...\n", argv[0]);
    return 2;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);  // inherited across exec on purpose
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("connect");
    return 1;
  }
  std::string mode = argv[2];
  if (mode == "exit") _exit(0);
  if (mode == "exec" && argc >= 4) {
    ::execv(argv[3], argv + 3);
    std::perror("execv");
    return 1;
  }
  char byte = 'c';
  if (::write(fd, &byte, 1) != 1) return 1;
  char buffer[64];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
  return 0;
}
