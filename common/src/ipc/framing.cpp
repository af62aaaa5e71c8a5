#include "common/ipc/framing.hpp"

#include <cerrno>
#include <system_error>

namespace common::ipc::message {

std::array<unsigned char, 4> frame_prefix(std::uint32_t length) {
  return {static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
          static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
}

std::uint32_t parse_frame_prefix(const std::array<unsigned char, 4>& p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

Error error_from_asio(const asio::error_code& ec) {
  if (ec.category() == asio::system_category() || ec.category() == std::generic_category()) {
    return Error::os(ec.value());
  }
  if (ec == asio::error::eof) return unexpected_eof();
  return Error::other(ec.message());
}

Error early_eof() { return Error::general(ErrorKind::UnexpectedEof, "early eof"); }
Error unexpected_eof() {
  return Error::general(ErrorKind::UnexpectedEof, "unexpected end of file");
}
Error write_zero() { return Error::general(ErrorKind::WriteZero, "failed to write whole buffer"); }
Error frame_too_long(std::size_t length) {
  return Error::general(ErrorKind::InvalidData, "frame of " + std::to_string(length) +
                                                    " bytes exceeds the limit of " +
                                                    std::to_string(MAX_FRAME_LENGTH) + " bytes");
}

Status grow_payload(std::string& payload, std::size_t want) {
  try {
    payload.resize(payload.size() + want);
  } catch (const std::bad_alloc&) {
    return fail_os(ENOMEM);
  } catch (const std::length_error&) {
    return fail_os(ENOMEM);
  }
  return {};
}

}  // namespace common::ipc::message
