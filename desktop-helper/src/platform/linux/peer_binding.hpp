#pragma once
// Binds a connection to the process that was verified: the kernel remembers who connected, not
// who holds the client end now. A process that connects and forks, or hands the descriptor on,
// or execs the signed application with the descriptor inherited, leaves a connection that the
// verified code does not own alone. These checks find every holder of the client end through
// /proc/<pid>/fd (as root) and judge them.

#include <sys/types.h>

#include <expected>
#include <vector>

#include "codesign/signature_status.hpp"
#include "platform/linux/linux_layer.hpp"

namespace platform::linux_impl {

using codesign::SignatureProblem;

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

// Judges the holders of the client end: only `pid` (any of its threads) holds it, and in
// descriptors that are closed on exec. The client library opens its socket close-on-exec, so a
// descriptor that is not was either made by other code or inherited across an exec, after frames
// may have been queued on it. Problems: GUEST_INVALID.
std::expected<void, SignatureProblem> check_sole_holder(ino_t socket_inode, pid_t pid);

// The process is not dumpable, or runs as root: processes of its user can neither trace it nor
// take its descriptors. Judged by the owner of /proc/<pid>/status, which the kernel sets to root
// for a non-dumpable process. Problems: GUEST_INVALID, NO_SUCH_CODE when it has gone.
std::expected<void, SignatureProblem> check_not_dumpable(pid_t pid);

}  // namespace platform::linux_impl
