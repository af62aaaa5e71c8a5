#pragma once
// `helperctl [--socket PATH] [--timeout SECONDS] replace SRC DST | relaunch PID APP`:
// sends one command to the helper and reports its reply.

#include <string>
#include <vector>

namespace helperctl {

// Exit status: 0 the helper answered Ok, 1 it answered Err, 2 no reply (reason on stderr).
int run_send(const std::string& socket_path, int timeout_seconds, const std::string& command,
             const std::vector<std::string>& args);

}  // namespace helperctl
