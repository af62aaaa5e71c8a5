// The command decoder on arbitrary bytes: it never crashes, every failure is InvalidData with a
// position inside the payload, and whatever decodes survives the canonical encoding unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/ipc/message.hpp"
#include "common/util/quoted.hpp"

namespace {

namespace msg = common::ipc::message;

void check(bool condition) {
  if (!condition) std::abort();
}

// Reads the decimal number that ends at `end` in `text`, moving `end` to its first digit.
bool number_before(std::string_view text, std::size_t& end, std::size_t& value) {
  std::size_t start = end;
  while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
  if (start == end || end - start > 18) return false;
  value = std::stoul(std::string(text.substr(start, end - start)));
  end = start;
  return true;
}

bool strip_suffix(std::string_view text, std::size_t& end, std::string_view word) {
  if (end < word.size() || text.substr(end - word.size(), word.size()) != word) return false;
  end -= word.size();
  return true;
}

// A text that ends in " at line L column C" must name a place in the payload.
void check_position(std::string_view payload, std::string_view text) {
  std::size_t end = text.size(), line = 0, column = 0;
  if (!number_before(text, end, column) || !strip_suffix(text, end, " column ") ||
      !number_before(text, end, line) || !strip_suffix(text, end, " at line ")) {
    return;
  }
  check(line >= 1);
  std::size_t start = 0;
  for (std::size_t l = 1; l < line; ++l) {
    const std::size_t feed = payload.find('\n', start);
    check(feed != std::string_view::npos);
    start = feed + 1;
  }
  check(start + column <= payload.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view payload(reinterpret_cast<const char*>(data), size);

  auto command = msg::decode_command(payload);
  if (command) {
    // Decoded paths are UTF-8, so the canonical form always exists and is a fixed point.
    auto encoded = msg::encode_command(*command);
    check(encoded.has_value());
    auto again = msg::decode_command(*encoded);
    check(again.has_value() && *again == *command);
    auto encoded_again = msg::encode_command(*again);
    check(encoded_again.has_value() && *encoded_again == *encoded);
  } else {
    check(command.error().kind() == common::ErrorKind::InvalidData);
    check(!command.error().message().empty());
    check_position(payload, command.error().message());
  }

  // The protocol the command asks for never changes what decodes: the same verdict, the same
  // command, and a protocol that is one of the two.
  auto received = msg::decode_received_command(payload);
  check(received.has_value() == command.has_value());
  if (received) {
    check(received->command == *command);
    check(received->protocol == msg::PROTOCOL_ORIGINAL ||
          received->protocol == msg::PROTOCOL_REASONS);
    auto asked = msg::encode_command(received->command, received->protocol);
    check(asked.has_value());
    auto back = msg::decode_received_command(*asked);
    check(back.has_value() && back->command == *command && back->protocol == received->protocol);
  } else {
    check(received.error().message() == command.error().message());
  }

  // A reply of protocol 2 that decodes is written back as valid JSON that decodes alike.
  auto reply = msg::decode_reply(payload);
  if (reply) {
    auto again = msg::decode_reply(msg::encode_response(*reply));
    check(again.has_value() && again->type == reply->type);
    if (reply->type == msg::ResponseType::Err) {
      check(again->reason == (reply->reason == common::Reason::Unspecified ? common::Reason::IoError
                                                                           : reply->reason));
      check(again->message == common::util::lossy_utf8(reply->message));
    }
  }

  auto response = msg::decode_response(payload);
  if (response) {
    check(msg::decode_response(msg::encode_response(*response)) == *response);
  } else {
    check(response.error().kind() == common::ErrorKind::InvalidData);
    check_position(payload, response.error().message());
  }
  return 0;
}
