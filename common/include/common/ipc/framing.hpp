#pragma once
// Frames on a connected stream: a 4-byte big-endian payload length, then the JSON payload.
//
// ipc_read_message / ipc_write_message are asio coroutines over any stream with async_read_some
// and async_write_some. The caller owns the stream and keeps it open; neither operation closes
// it, and they must not run concurrently on one stream. Errors:
//   UnexpectedEof  the stream ended inside or before a frame ("early eof" inside the payload)
//   InvalidData    the payload is not a valid message (the decoder's text)
//   WriteZero      a write accepted no bytes
//   OS error       the socket's own failure, passed through
//
// A frame announcing more than MAX_FRAME_LENGTH payload bytes is InvalidData, refused before any
// of its payload is read (the payload stays in the stream). Below the limit memory still follows
// the bytes that actually arrive: the payload buffer grows in bounded chunks, so a peer that
// announces a large frame and sends little costs little; an allocation that cannot be satisfied
// is an ENOMEM error value.

#include <array>
#include <asio/awaitable.hpp>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/ipc/message.hpp"

namespace common::ipc::message {

// Largest number of payload bytes requested from the stream in one read.
inline constexpr std::size_t FRAME_READ_CHUNK = 64 * 1024;

// Largest payload a frame may announce. A command is two paths or a pid: nothing legitimate
// comes near it, and without a bound a peer could make the reader hold up to 4 GiB.
inline constexpr std::size_t MAX_FRAME_LENGTH = 1024 * 1024;

// The four length bytes of a payload, most significant first.
std::array<unsigned char, 4> frame_prefix(std::uint32_t length);
std::uint32_t parse_frame_prefix(const std::array<unsigned char, 4>& prefix);

// Error value for a failed asio operation on a stream (eof is handled by the callers).
Error error_from_asio(const asio::error_code& ec);

Error early_eof();
Error unexpected_eof();
Error write_zero();
// InvalidData for a frame whose announced length exceeds MAX_FRAME_LENGTH.
Error frame_too_long(std::size_t length);

// Grows `payload` by up to `want` bytes for the next read; ENOMEM when that cannot be had.
Status grow_payload(std::string& payload, std::size_t want);

template <typename Stream>
asio::awaitable<Status> ipc_write_bytes(Stream& stream, std::string_view bytes) {
  while (!bytes.empty()) {
    auto [ec, n] =
        co_await stream.async_write_some(asio::buffer(bytes.data(), bytes.size()),
                                         asio::experimental::as_tuple(asio::use_awaitable));
    if (ec) co_return fail(error_from_asio(ec));
    if (n == 0) co_return fail(write_zero());
    bytes.remove_prefix(n);
  }
  co_return Status{};
}

template <typename Stream, typename M>
asio::awaitable<Status> ipc_write_message(Stream& stream, const M& message) {
  auto payload = Codec<M>::encode(message);
  if (!payload) co_return fail(std::move(payload.error()));
  if (payload->size() > UINT32_MAX) {
    co_return fail_other("message of " + std::to_string(payload->size()) +
                         " bytes does not fit in a frame");
  }
  auto prefix = frame_prefix(static_cast<std::uint32_t>(payload->size()));
  // Prefix and payload are two successive write sequences, never one gathered write.
  auto wrote = co_await ipc_write_bytes(
      stream, std::string_view(reinterpret_cast<const char*>(prefix.data()), prefix.size()));
  if (!wrote) co_return wrote;
  co_return co_await ipc_write_bytes(stream, *payload);
}

// Reads one frame's payload without decoding it.
template <typename Stream>
asio::awaitable<Result<std::string>> ipc_read_frame(Stream& stream) {
  std::array<unsigned char, 4> prefix{};
  std::size_t have = 0;
  while (have < prefix.size()) {
    auto [ec, n] =
        co_await stream.async_read_some(asio::buffer(prefix.data() + have, prefix.size() - have),
                                        asio::experimental::as_tuple(asio::use_awaitable));
    if (ec == asio::error::eof) co_return fail(unexpected_eof());
    if (ec) co_return fail(error_from_asio(ec));
    have += n;
  }
  const std::size_t length = parse_frame_prefix(prefix);
  if (length > MAX_FRAME_LENGTH) co_return fail(frame_too_long(length));
  std::string payload;
  while (payload.size() < length) {
    const std::size_t before = payload.size();
    // Never ask for more than this frame still needs: the next frame stays in the socket.
    const std::size_t want = std::min(length - before, FRAME_READ_CHUNK);
    if (auto grown = grow_payload(payload, want); !grown) co_return fail(grown.error());
    auto [ec, n] =
        co_await stream.async_read_some(asio::buffer(payload.data() + before, want),
                                        asio::experimental::as_tuple(asio::use_awaitable));
    payload.resize(before + n);
    if (ec == asio::error::eof) co_return fail(early_eof());
    if (ec) co_return fail(error_from_asio(ec));
  }
  co_return payload;
}

template <typename M, typename Stream>
asio::awaitable<Result<M>> ipc_read_message(Stream& stream) {
  auto payload = co_await ipc_read_frame(stream);
  if (!payload) co_return fail(std::move(payload.error()));
  co_return Codec<M>::decode(*payload);
}

}  // namespace common::ipc::message
