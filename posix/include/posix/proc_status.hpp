#pragma once
// Numeric fields of /proc/<pid>/status ("Tgid", "TracerPid", ...).

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace posix {

// The decimal number of the field `name` in the text of a status file: the first line that
// begins with `name` and a colon, after the first line; blanks before the digits are skipped.
// None when no such line follows the first or it holds no number that fits. The first line is
// the process's name, which the process chooses itself, so it is never read as a field.
std::optional<std::uint64_t> status_number(std::string_view status, std::string_view name);

// The text of /proc/<pid>/status and the status file's own attributes, both from one open (the
// open looks the process up again, so its owner is the current one: root for a process that is
// not dumpable). Errors (errno): the open's or the read's (ENOENT or ESRCH for a process that is
// gone).
struct ProcStatus {
  std::string text;
  struct stat st {};
};
std::expected<ProcStatus, int> read_proc_status(pid_t pid);

// Reads /proc/<pid>/status and answers status_number of it. Errors (errno): the open's or the
// read's (ENOENT or ESRCH for a process that is gone), EINVAL when the field has no number.
std::expected<std::uint64_t, int> proc_status_number(pid_t pid, std::string_view name);

}  // namespace posix
