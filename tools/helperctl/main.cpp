// helperctl: a command-line client and toolbox for the update helper. Each sub-command lives in
// its own file; main only picks one and hands it the remaining arguments.

#include <iostream>
#include <string_view>
#include <vector>

#include "decode.hpp"

namespace {

void print_usage(std::ostream& out) {
  out << "usage: helperctl COMMAND [ARGUMENTS]\n"
         "\n"
         "commands:\n"
      << helperctl::DECODE_USAGE
      << "  helperctl --help\n"
         "      Prints this text.\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string_view> args(argv + 1, argv + argc);
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
  std::cerr << "helperctl: unknown command \"" << command << "\"\n";
  print_usage(std::cerr);
  return 2;
}
