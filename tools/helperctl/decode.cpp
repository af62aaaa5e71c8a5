#include "decode.hpp"

#include <istream>
#include <ostream>
#include <variant>

#include "common/ipc/message.hpp"
#include "common/util/hex.hpp"

namespace helperctl {

namespace msg = common::ipc::message;

const std::string_view DECODE_USAGE =
    "  helperctl decode < PAYLOADS\n"
    "      Decodes one command payload per input line, written as hexadecimal digits (an empty\n"
    "      line is an empty payload; anything after a TAB is ignored, so a vectors file can be\n"
    "      fed as it is), and prints one line per input line:\n"
    "        ok<TAB>ReplaceAppAtomic<TAB><source hex><TAB><destination hex>\n"
    "        ok<TAB>WaitForExitAndLaunch<TAB><pid><TAB><app path hex>\n"
    "        err<TAB><error text>\n"
    "        errhex<TAB><error text in hex>   (when the text holds a control character)\n"
    "      A line that is not an even number of hexadecimal digits stops the run with exit\n"
    "      status 2 and a message on standard error; the lines before it have been answered.\n";

namespace {

using common::util::append_hex;
using common::util::hex_value;

bool parse_hex(std::string_view text, std::string& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hex_value(text[i]);
    const int low = hex_value(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

// A text with a control character would break the one-line, tab-separated format.
bool needs_hex(std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

std::string decode_result_line(std::string_view payload) {
  std::string line;
  auto decoded = msg::decode_command(payload);
  if (!decoded) {
    const std::string& text = decoded.error().message();
    if (needs_hex(text)) {
      line = "errhex\t";
      append_hex(line, text);
    } else {
      line = "err\t" + text;
    }
    return line;
  }
  line = "ok\t";
  line += msg::command_name(*decoded);
  line += '\t';
  if (const auto* replace = std::get_if<msg::ReplaceAppAtomic>(&*decoded)) {
    append_hex(line, replace->source_path);
    line += '\t';
    append_hex(line, replace->destination_path);
  } else {
    const auto& wait = std::get<msg::WaitForExitAndLaunch>(*decoded);
    line += std::to_string(wait.pid);
    line += '\t';
    append_hex(line, wait.app_path);
  }
  return line;
}

int run_decode(std::span<const std::string_view> args, std::istream& in, std::ostream& out,
               std::ostream& err) {
  if (!args.empty()) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
      out << "usage:\n" << DECODE_USAGE;
      return out ? 0 : 1;
    }
    err << "helperctl: decode takes no arguments; it reads payloads from standard input\n"
        << "usage:\n"
        << DECODE_USAGE;
    return 2;
  }
  std::string line;
  std::string payload;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    std::string_view hex = line;
    hex = hex.substr(0, hex.find('\t'));
    if (!parse_hex(hex, payload)) {
      err << "helperctl: decode: input line " << number
          << " is not an even number of hexadecimal digits\n";
      out.flush();
      return 2;
    }
    out << decode_result_line(payload) << '\n';
    if (!out) break;
  }
  out.flush();
  if (!out) {
    err << "helperctl: decode: cannot write the results\n";
    return 1;
  }
  return 0;
}

}  // namespace helperctl
