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
constexpr std::array<std::string_view, 1> COMMAND_EXTRAS = {PROTOCOL_MEMBER};
constexpr tagged::EnumSchema COMMAND_SCHEMA{"IPCCommandMessage", COMMAND_VARIANTS, COMMAND_EXTRAS};

constexpr std::array<VariantSchema, 2> RESPONSE_VARIANTS = {{
    {"Ok", {}},
    {"Err", {}},
}};
constexpr tagged::EnumSchema RESPONSE_SCHEMA{"IPCResponseMessage", RESPONSE_VARIANTS};

// Variant order is the order of ResponseType.
constexpr std::array<VariantSchema, 3> REPLY_VARIANTS = {{
    {"Ok", {}},
    {"Err", {}},
    {"Accepted", {}},
}};
constexpr std::array<std::string_view, 2> REPLY_EXTRAS = {"reason", "message"};
constexpr tagged::EnumSchema REPLY_SCHEMA{"IPCResponseMessage", REPLY_VARIANTS, REPLY_EXTRAS};

struct ReasonCode {
  Reason reason;
  std::string_view code;
};
constexpr std::array<ReasonCode, 10> REASON_CODES = {{
    {Reason::BadRequest, "bad_request"},
    {Reason::NotSigned, "not_signed"},
    {Reason::Downgrade, "downgrade"},
    {Reason::NotTheApplication, "not_the_application"},
    {Reason::NotFound, "not_found"},
    {Reason::NotPermitted, "not_permitted"},
    {Reason::ReadOnlyVolume, "read_only_volume"},
    {Reason::NoSpace, "no_space"},
    {Reason::ExitWaitTimedOut, "exit_wait_timed_out"},
    {Reason::IoError, "io_error"},
}};

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

Result<ReceivedCommand> decode_received_command(std::string_view payload) {
  auto decoded = tagged::decode(payload, COMMAND_SCHEMA);
  if (!decoded) return fail(invalid_data(std::move(decoded.error())));
  auto& fields = decoded->fields;
  ReceivedCommand received;
  if (decoded->variant == 0) {
    received.command = ReplaceAppAtomic{std::move(fields[0].path), std::move(fields[1].path)};
  } else {
    received.command = WaitForExitAndLaunch{fields[0].number, std::move(fields[1].path)};
  }
  // A newer client is answered in the newest protocol this side speaks.
  const tagged::ExtraValue& protocol = decoded->extras[0];
  if (protocol.kind == tagged::ExtraValue::Kind::Unsigned && protocol.number >= PROTOCOL_REASONS) {
    received.protocol = PROTOCOL_REASONS;
  }
  return received;
}

Result<IPCCommandMessage> decode_command(std::string_view payload) {
  auto received = decode_received_command(payload);
  if (!received) return fail(std::move(received.error()));
  return std::move(received->command);
}

Result<std::string> encode_command(const IPCCommandMessage& command, std::uint32_t protocol) {
  auto out = encode_command(command);
  if (!out || protocol == PROTOCOL_ORIGINAL) return out;
  out->pop_back();
  *out += ",\"";
  *out += PROTOCOL_MEMBER;
  *out += "\":";
  *out += std::to_string(protocol);
  out->push_back('}');
  return out;
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

Response Response::failure(std::uint32_t protocol, const Error& error) {
  Response r = of(ResponseType::Err, protocol);
  r.reason = error.reason();
  r.message = error.text();
  return r;
}

std::string encode_response(const Response& response) {
  if (response.protocol < PROTOCOL_REASONS) {
    return encode_response(response.type == ResponseType::Ok ? IPCResponseMessage::Ok
                                                             : IPCResponseMessage::Err);
  }
  switch (response.type) {
    case ResponseType::Ok:
      return R"({"type":"Ok"})";
    case ResponseType::Accepted:
      return R"({"type":"Accepted"})";
    case ResponseType::Err:
      break;
  }
  std::string out = R"({"type":"Err","reason":")";
  out += reason_code(response.reason);
  out += R"(","message":)";
  append_json_string(out, util::is_valid_utf8(response.message)
                              ? response.message
                              : util::lossy_utf8(response.message));
  out.push_back('}');
  return out;
}

Result<Response> decode_reply(std::string_view payload) {
  auto decoded = tagged::decode(payload, REPLY_SCHEMA);
  if (!decoded) return fail(invalid_data(std::move(decoded.error())));
  Response response;
  response.type = static_cast<ResponseType>(decoded->variant);
  response.protocol = PROTOCOL_REASONS;
  if (response.type != ResponseType::Err) return response;
  auto& reason = decoded->extras[0];
  auto& message = decoded->extras[1];
  if (reason.kind == tagged::ExtraValue::Kind::String) {
    response.reason = reason_from_code(reason.text).value_or(Reason::Unspecified);
  }
  if (message.kind == tagged::ExtraValue::Kind::String) response.message = std::move(message.text);
  return response;
}

std::string_view reason_code(Reason reason) {
  for (const ReasonCode& known : REASON_CODES) {
    if (known.reason == reason) return known.code;
  }
  return "io_error";
}

std::optional<Reason> reason_from_code(std::string_view code) {
  for (const ReasonCode& known : REASON_CODES) {
    if (known.code == code) return known.reason;
  }
  return std::nullopt;
}

std::string_view command_name(const IPCCommandMessage& command) {
  return std::holds_alternative<ReplaceAppAtomic>(command) ? REPLACE_APP_ATOMIC
                                                           : WAIT_FOR_EXIT_AND_LAUNCH;
}

}  // namespace common::ipc::message
