#pragma once
// `helperctl [--socket PATH] [--timeout SECONDS] replace SRC DST | relaunch PID APP`:
// sends one command to the helper and reports its reply.

#include <string>
#include <vector>

namespace helperctl {

// Prints "Ok" ("Accepted" for relaunch --no-wait), or "Err <reason>: <the helper's text>".
// Exit status: 0 Ok or Accepted, 1 Err, 2 no reply (why on stderr).
int run_send(const std::string& socket_path, int timeout_seconds, const std::string& command,
             std::vector<std::string> args);

}  // namespace helperctl

namespace helperctl {

// `helperctl [--socket PATH] frames HEX...`: sends each hex payload as one frame on a single
// connection, waiting for each reply, and prints one line per frame: "Ok", "Err", or "closed"
// when the helper closed the connection instead (then it stops). For replaying captured frames.
// Exit status 0 when every frame got a reply, 2 otherwise.
int run_frames(const std::string& socket_path, int timeout_seconds,
               const std::vector<std::string>& hex_payloads);

}  // namespace helperctl
