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
#include "posix/socket_holders.hpp"

namespace codesign {

// Judges the holders of the client end: only `pid` (any of its threads) holds it, and in
// descriptors that are closed on exec. The client library opens its socket close-on-exec, so a
// descriptor that is not was either made by other code or inherited across an exec, after frames
// may have been queued on it. Problems: GUEST_INVALID.
std::expected<void, SignatureProblem> check_sole_holder(ino_t socket_inode, pid_t pid);

// The process is not dumpable, or runs as root: processes of its user can neither trace it nor
// take its descriptors. Judged by the owner of /proc/<pid>/status, which the kernel sets to root
// for a non-dumpable process. Problems: GUEST_INVALID, NO_SUCH_CODE when it has gone.
std::expected<void, SignatureProblem> check_not_dumpable(pid_t pid);

}  // namespace codesign
