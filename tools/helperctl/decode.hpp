#pragma once
// `helperctl decode`: decodes command payloads given as hexadecimal lines on standard input and
// writes one result line per input line, in the format of the reference vectors:
//   ok<TAB>ReplaceAppAtomic<TAB><source_path hex><TAB><destination_path hex>
//   ok<TAB>WaitForExitAndLaunch<TAB><pid><TAB><app_path hex>
//   err<TAB><error text>
//   errhex<TAB><hex of the error text>   (when the text holds a control character)

#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace helperctl {

// Usage lines of the sub-command, for `helperctl --help` and `helperctl decode --help`.
extern const std::string_view DECODE_USAGE;

// The result line for one payload, without its line feed.
std::string decode_result_line(std::string_view payload);

// Runs the sub-command over `in`. Exit status: 0 when every line was answered (whatever the
// verdicts), 2 for a usage error or a line that is not hexadecimal (the lines before it have
// been answered; the reason goes to `err`), 1 when the output could not be written.
int run_decode(std::span<const std::string_view> args, std::istream& in, std::ostream& out,
               std::ostream& err);

}  // namespace helperctl
