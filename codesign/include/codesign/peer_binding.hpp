#pragma once
// Binds a connection to the process that was verified. The kernel names the writer of every byte
// read from the connection (checked where the bytes are read); what it cannot say is whether
// bytes were queued by the program the process ran before an exec, which keeps the pid. These
// checks read the verified process's own tables only, so they cost the same however many
// processes and descriptors the machine holds.

#include <sys/stat.h>
#include <sys/types.h>

#include <expected>

#include "codesign/signature_status.hpp"

namespace codesign {

// The process holds the client end of its connection (inode `client_inode`), and only in
// descriptors that are closed on exec. The client library opens its socket close-on-exec, so a
// descriptor that is not was either made by other code or inherited across an exec, after frames
// may have been queued on it; and a process that does not hold its connection at all may have
// left it, with frames queued before an exec, to another. Problems: GUEST_INVALID,
// NO_SUCH_CODE when it has gone.
std::expected<void, SignatureProblem> check_holds_connection(pid_t pid, ino_t client_inode);

// The process is not dumpable, or runs as root: processes of its user can neither trace it nor
// take its descriptors. Judged by the owner of /proc/<pid>/status, which the kernel sets to root
// for a non-dumpable process. Problems: GUEST_INVALID, NO_SUCH_CODE when it has gone.
std::expected<void, SignatureProblem> check_not_dumpable(pid_t pid);
// The same judgement of the attributes of a status file that was just opened.
std::expected<void, SignatureProblem> check_not_dumpable(const struct stat& status_file);

// The process runs in the helper's own PID namespace. Whoever owns a PID namespace may name any
// process in it as the sender of the bytes it writes, so the kernel's word on a writer holds
// only for a process that nobody but root can name that way. Problems: GUEST_INVALID,
// NO_SUCH_CODE when it has gone.
std::expected<void, SignatureProblem> check_own_pid_namespace(pid_t pid);

}  // namespace codesign
