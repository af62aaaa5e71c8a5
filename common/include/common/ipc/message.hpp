#pragma once
// The command and reply messages exchanged with the desktop application, and their JSON forms.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/error.hpp"

namespace common::ipc::message {

// A file-system path: an owned byte string, not necessarily UTF-8.
using Path = std::string;

struct ReplaceAppAtomic {
  Path source_path;
  Path destination_path;
  friend bool operator==(const ReplaceAppAtomic&, const ReplaceAppAtomic&) = default;
};

struct WaitForExitAndLaunch {
  std::uint32_t pid = 0;
  Path app_path;
  friend bool operator==(const WaitForExitAndLaunch&, const WaitForExitAndLaunch&) = default;
};

using IPCCommandMessage = std::variant<ReplaceAppAtomic, WaitForExitAndLaunch>;

enum class IPCResponseMessage { Ok, Err };

// Decodes one frame's payload. Failure: a general error of kind InvalidData whose message is the
// decoder's text (with " at line L column C" where the failure has a position).
Result<IPCCommandMessage> decode_command(std::string_view payload);

// Canonical compact JSON of a command ("type" first, fields in declaration order). Paths that are
// not valid UTF-8 cannot be expressed in JSON and fail with InvalidData.
Result<std::string> encode_command(const IPCCommandMessage& command);

// {"type":"Ok"} or {"type":"Err"}.
std::string encode_response(IPCResponseMessage response);

// Client side: accepts the two replies in any JSON spelling the helper's decoder rules allow
// ({"type":"Ok"} with whitespace or extra members); anything else is InvalidData.
Result<IPCResponseMessage> decode_response(std::string_view payload);

std::string_view command_name(const IPCCommandMessage& command);

// The protocol grows only by opt-in. A command may carry the member "protocol" with an integer: a
// client that sends 2 or more is answered in protocol 2, every other client (no member, another
// value, or the array form) exactly as in protocol 1. A helper that predates the member ignores
// it, as it ignores every member it does not know.
//   1  {"type":"Ok"} or {"type":"Err"}, after the command has finished.
//   2  a failure is {"type":"Err","reason":"<code>","message":"<text>"} (codes: reason_code), and
//      WaitForExitAndLaunch is first answered {"type":"Accepted"} once the helper has taken it,
//      before it waits for the exit; the final reply follows when the command ends.
inline constexpr std::uint32_t PROTOCOL_ORIGINAL = 1;
inline constexpr std::uint32_t PROTOCOL_REASONS = 2;
inline constexpr std::string_view PROTOCOL_MEMBER = "protocol";

// A command as the helper received it, with the protocol to answer it in.
struct ReceivedCommand {
  IPCCommandMessage command;
  std::uint32_t protocol = PROTOCOL_ORIGINAL;
};

// decode_command, and the protocol asked for. Accepts and refuses exactly what decode_command
// does, with the same texts.
Result<ReceivedCommand> decode_received_command(std::string_view payload);

// The canonical form with "protocol":N after the fields; PROTOCOL_ORIGINAL gives the canonical
// form itself.
Result<std::string> encode_command(const IPCCommandMessage& command, std::uint32_t protocol);

enum class ResponseType { Ok, Err, Accepted };

// A reply in either protocol. Protocol 1 writes the type alone; Accepted exists only in
// protocol 2.
struct Response {
  ResponseType type = ResponseType::Ok;
  std::uint32_t protocol = PROTOCOL_ORIGINAL;
  Reason reason = Reason::Unspecified;  // of an Err in protocol 2
  std::string message;                  // of an Err in protocol 2: the failure's text

  static Response ok(std::uint32_t protocol) { return of(ResponseType::Ok, protocol); }
  static Response accepted() { return of(ResponseType::Accepted, PROTOCOL_REASONS); }
  // A bare Err: the answer to a frame that could not be decoded, when nobody asked for more.
  static Response err() { return of(ResponseType::Err, PROTOCOL_ORIGINAL); }
  // The reply to a command that failed with `error`, in `protocol`.
  static Response failure(std::uint32_t protocol, const Error& error);

 private:
  static Response of(ResponseType type, std::uint32_t protocol) {
    Response r;
    r.type = type;
    r.protocol = protocol;
    return r;
  }
};

// Protocol 1: exactly encode_response(Ok / Err). Protocol 2: compact, "type" first, then for an
// Err "reason" and "message"; a message that is not UTF-8 has each invalid sequence replaced by
// U+FFFD, so the reply is always valid JSON.
std::string encode_response(const Response& response);

// Client side, for a client that asked for protocol 2: Ok, Err (with "reason" and "message" when
// present, as strings; an unknown code is Unspecified) or Accepted, in any spelling the rules
// allow. A protocol-1 reply decodes too, as an Err without reason.
Result<Response> decode_reply(std::string_view payload);

// The reason codes of protocol 2. Unspecified is written as "io_error": a failure that carries no
// reason of its own is one of the machine, not of the request.
std::string_view reason_code(Reason reason);
std::optional<Reason> reason_from_code(std::string_view code);

// How ipc_read_message / ipc_write_message find the codec of a message type.
template <typename M>
struct Codec;

template <>
struct Codec<IPCCommandMessage> {
  static Result<IPCCommandMessage> decode(std::string_view p) { return decode_command(p); }
  static Result<std::string> encode(const IPCCommandMessage& m) { return encode_command(m); }
};

template <>
struct Codec<IPCResponseMessage> {
  static Result<IPCResponseMessage> decode(std::string_view p) { return decode_response(p); }
  static Result<std::string> encode(const IPCResponseMessage& m) { return encode_response(m); }
};

template <>
struct Codec<ReceivedCommand> {
  static Result<ReceivedCommand> decode(std::string_view p) { return decode_received_command(p); }
};

template <>
struct Codec<Response> {
  static Result<Response> decode(std::string_view p) { return decode_reply(p); }
  static Result<std::string> encode(const Response& m) { return encode_response(m); }
};

}  // namespace common::ipc::message
