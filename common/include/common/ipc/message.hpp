#pragma once
// The command and reply messages exchanged with the desktop application, and their JSON forms.

#include <cstdint>
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

}  // namespace common::ipc::message
