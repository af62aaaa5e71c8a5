// helperctl: a command-line client and toolbox for the update helper. Each sub-command lives in
// its own file; main only picks one and hands it the remaining arguments.

#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "common/constants.hpp"
#include "decode.hpp"
#include "send.hpp"

namespace {

void print_usage(std::ostream& out) {
  out << "usage: helperctl [--socket PATH] [--timeout SECONDS] COMMAND [ARGUMENTS]\n"
         "\n"
         "commands:\n"
         "  helperctl replace SRC DST\n"
         "      Asks the helper to replace the application bundle DST with the signed bundle SRC.\n"
         "  helperctl relaunch [--no-wait] PID APP\n"
         "      Asks the helper to wait until process PID has exited, then to launch APP.\n"
         "      With --no-wait, returns as soon as the helper has taken the request (prints\n"
         "      Accepted), so that PID may be this command's caller, which then exits.\n"
         "      Both exit 0 when the helper answers Ok, 1 when it answers Err (printed as\n"
         "      \"Err REASON: TEXT\"), 2 when no answer came. --socket defaults to "
      << common::HELPER_SOCKET_PATH
      << ";\n"
         "      --timeout (default 600) bounds the wait for the answer.\n"
         "  helperctl frames HEX...\n"
         "      Sends each hexadecimal payload as one frame on a single connection and prints\n"
         "      Ok, Err, or closed (then stops) for each; exit 0 when every frame got a reply.\n"
      << helperctl::DECODE_USAGE
      << "  helperctl --help\n"
         "      Prints this text.\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string_view> args(argv + 1, argv + argc);
  std::string socket_path(common::HELPER_SOCKET_PATH);
  int timeout_seconds = 600;
  while (args.size() >= 2 && (args[0] == "--socket" || args[0] == "--timeout")) {
    if (args[0] == "--socket") {
      socket_path = std::string(args[1]);
    } else {
      timeout_seconds = std::atoi(std::string(args[1]).c_str());
      if (timeout_seconds <= 0) {
        std::cerr << "helperctl: --timeout takes a positive number of seconds\n";
        return 2;
      }
    }
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    print_usage(std::cerr);
    return 2;
  }
  const std::string_view command = args[0];
  const std::span<const std::string_view> rest(args.begin() + 1, args.end());
  if (command == "--help" || command == "-h" || command == "help") {
    print_usage(std::cout);
    return 0;
  }
  if (command == "decode") return helperctl::run_decode(rest, std::cin, std::cout, std::cerr);
  if (command == "frames") {
    return helperctl::run_frames(socket_path, timeout_seconds,
                                 std::vector<std::string>(rest.begin(), rest.end()));
  }
  if (command == "replace" || command == "relaunch") {
    return helperctl::run_send(socket_path, timeout_seconds, std::string(command),
                               std::vector<std::string>(rest.begin(), rest.end()));
  }
  std::cerr << "helperctl: unknown command \"" << command << "\"\n";
  print_usage(std::cerr);
  return 2;
}
