#pragma once
// Who holds a connected Unix socket: the kernel's peer of a socket (sock_diag) and every
// descriptor of every process that refers to a socket (/proc, as root). Errors are errno numbers.

#include <sys/types.h>

#include <expected>
#include <vector>

namespace posix {

// The inode of the socket at the other end of the connected Unix socket whose own inode is
// `socket_inode` (sock_diag, UNIX_DIAG_PEER). Error: errno (ENOENT when the kernel does not know
// the socket in this network namespace, or it has no peer).
std::expected<ino_t, int> peer_socket_inode(ino_t socket_inode);

struct SocketHolder {
  pid_t process = 0;  // the thread group
  int fd = -1;
  bool close_on_exec = false;
};

// Every descriptor of every process that refers to the socket with inode `inode`, including
// descriptor tables that a thread does not share with its thread group's leader. Error: errno
// when /proc cannot be read at all.
std::expected<std::vector<SocketHolder>, int> socket_holders(ino_t inode);

}  // namespace posix
