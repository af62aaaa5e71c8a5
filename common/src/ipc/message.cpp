#include "common/ipc/message.hpp"

#include <array>
#include <charconv>

#include "common/util/hex.hpp"
#include "common/util/quoted.hpp"
#include "tagged_enum.hpp"

namespace common::ipc::message {
namespace {

using tagged::FieldSchema;
using tagged::FieldType;
using tagged::VariantSchema;

constexpr std::string_view REPLACE_APP_ATOMIC = "ReplaceAppAtomic";
constexpr std::string_view WAIT_FOR_EXIT_AND_LAUNCH = "WaitForExitAndLaunch";

constexpr std::array<FieldSchema, 2> REPLACE_FIELDS = {{
    {"source_path", FieldType::Path},
    {"destination_path", FieldType::Path},
}};
constexpr std::array<FieldSchema, 2> WAIT_FIELDS = {{
    {"pid", FieldType::U32},
    {"app_path", FieldType::Path},
}};
// Variant order is the order of IPCCommandMessage's alternatives.
constexpr std::array<VariantSchema, 2> COMMAND_VARIANTS = {{
    {REPLACE_APP_ATOMIC, REPLACE_FIELDS},
    {WAIT_FOR_EXIT_AND_LAUNCH, WAIT_FIELDS},
}};
constexpr tagged::EnumSchema COMMAND_SCHEMA{"IPCCommandMessage", COMMAND_VARIANTS};

constexpr std::array<VariantSchema, 2> RESPONSE_VARIANTS = {{
    {"Ok", {}},
    {"Err", {}},
}};
constexpr tagged::EnumSchema RESPONSE_SCHEMA{"IPCResponseMessage", RESPONSE_VARIANTS};

Error invalid_data(std::string text) {
  return Error::general(ErrorKind::InvalidData, std::move(text));
}

// A JSON string as the writer spells it: the quotation mark and backslash escaped, short escapes
// for the five controls that have one, \u00xx for the other controls, everything else as is.
void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        util::append_hex_byte(out, c);
    }
  }
  out.append(text, run, text.size() - run);
  out.push_back('"');
}

// JSON text is UTF-8, so a path with other bytes has no spelling in a command; refusing it here
// keeps the client from sending something the helper would only reject.
Status check_path(const Path& path) {
  if (common::util::is_valid_utf8(path)) return {};
  return fail(invalid_data("path contains invalid UTF-8 characters"));
}

}  // namespace

Result<IPCCommandMessage> decode_command(std::string_view payload) {
  auto decoded = tagged::decode(payload, COMMAND_SCHEMA);
  if (!decoded) return fail(invalid_data(std::move(decoded.error())));
  auto& fields = decoded->fields;
  if (decoded->variant == 0) {
    return ReplaceAppAtomic{std::move(fields[0].path), std::move(fields[1].path)};
  }
  return WaitForExitAndLaunch{fields[0].number, std::move(fields[1].path)};
}

Result<std::string> encode_command(const IPCCommandMessage& command) {
  std::string out;
  if (const auto* replace = std::get_if<ReplaceAppAtomic>(&command)) {
    if (auto ok = check_path(replace->source_path); !ok) return fail(ok.error());
    if (auto ok = check_path(replace->destination_path); !ok) return fail(ok.error());
    out.reserve(64 + replace->source_path.size() + replace->destination_path.size());
    out += R"({"type":"ReplaceAppAtomic","source_path":)";
    append_json_string(out, replace->source_path);
    out += R"(,"destination_path":)";
    append_json_string(out, replace->destination_path);
  } else {
    const auto& wait = std::get<WaitForExitAndLaunch>(command);
    if (auto ok = check_path(wait.app_path); !ok) return fail(ok.error());
    out.reserve(64 + wait.app_path.size());
    out += R"({"type":"WaitForExitAndLaunch","pid":)";
    out += std::to_string(wait.pid);
    out += R"(,"app_path":)";
    append_json_string(out, wait.app_path);
  }
  out.push_back('}');
  return out;
}

std::string encode_response(IPCResponseMessage response) {
  return response == IPCResponseMessage::Ok ? R"({"type":"Ok"})" : R"({"type":"Err"})";
}

Result<IPCResponseMessage> decode_response(std::string_view payload) {
  auto decoded = tagged::decode(payload, RESPONSE_SCHEMA);
  if (!decoded) return fail(invalid_data(std::move(decoded.error())));
  return decoded->variant == 0 ? IPCResponseMessage::Ok : IPCResponseMessage::Err;
}

std::string_view command_name(const IPCCommandMessage& command) {
  return std::holds_alternative<ReplaceAppAtomic>(command) ? REPLACE_APP_ATOMIC
                                                           : WAIT_FOR_EXIT_AND_LAUNCH;
}

}  // namespace common::ipc::message
