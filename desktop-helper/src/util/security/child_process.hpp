#pragma once
// Running a command-line tool to its end.

#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace util::security {

// Runs `program` (found through the directories of this process's PATH) with `arguments`, each
// passed as one argument (no shell), and waits for it. The child inherits the environment and
// working directory, reads the null device, inherits no other descriptor of this process and gets
// the default disposition of SIGPIPE. Whatever it writes to standard output and standard error is
// read (both pipes are drained together, so a talkative child never stalls) and discarded.
// Result: the child's wait status (as waitpid gives it), once it was started and its end was
// collected. Errors: the OS error of creating the pipes, of starting the program (ENOENT when
// PATH has no such program) or of waiting for it. A `program` with a slash is run from that path,
// without a search. Blocks the calling thread until the child has exited.
common::Result<int> run_discarding_output(std::string_view program,
                                          const std::vector<std::string>& arguments);

}  // namespace util::security
