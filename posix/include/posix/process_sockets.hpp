#pragma once
// Sockets as one process holds them: the kernel's peer of a connected Unix socket (sock_diag),
// and the descriptors of one process that refer to a socket (its own /proc tables, as root).
// Nothing here reads another process's tables. Errors are errno numbers.

#include <sys/types.h>

#include <expected>
#include <vector>

namespace posix {

// The inode of the socket at the other end of the connected Unix socket whose own inode is
// `socket_inode` (sock_diag, UNIX_DIAG_PEER). Error: errno (ENOENT when the kernel does not know
// the socket in this network namespace, or it has no peer).
std::expected<ino_t, int> peer_socket_inode(ino_t socket_inode);

struct SocketDescriptor {
  int fd = -1;
  bool close_on_exec = false;
};

// The descriptors of process `pid` that refer to the socket with inode `inode`, in every
// descriptor table of the process (a thread made without CLONE_FILES has a table of its own).
// Error: errno (ENOENT, ESRCH: the process has gone).
std::expected<std::vector<SocketDescriptor>, int> descriptors_of_socket(pid_t pid, ino_t inode);

}  // namespace posix
