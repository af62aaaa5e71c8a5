// Reads frames from an arbitrary byte stream delivered in arbitrary chunk sizes, the way a hostile
// peer could send them: every frame must end as a message, InvalidData or UnexpectedEof, the
// reader must never read past the stream, and a huge announced length must not be allocated.

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/ipc/framing.hpp"

namespace {

namespace msg = common::ipc::message;

// A stream over fixed bytes that hands out at most `chunk` bytes per read.
struct ChunkedStream {
  using executor_type = asio::any_io_executor;
  ChunkedStream(asio::any_io_executor e, std::string_view d, std::size_t c)
      : ex(std::move(e)), data(d), chunk(c) {}
  asio::any_io_executor ex;
  std::string_view data;
  std::size_t chunk;
  executor_type get_executor() { return ex; }

  template <typename Buffers, typename Token>
  auto async_read_some(const Buffers& buffers, Token&& token) {
    return asio::async_initiate<Token, void(asio::error_code, std::size_t)>(
        [this, buffers](auto handler) {
          auto b = asio::buffer(buffers);
          std::size_t n = std::min({b.size(), data.size(), chunk});
          std::memcpy(b.data(), data.data(), n);
          data.remove_prefix(n);
          asio::error_code ec = (n == 0 && b.size() > 0) ? asio::error::eof : asio::error_code{};
          asio::post(ex, [h = std::move(handler), ec, n]() mutable { h(ec, n); });
        },
        token);
  }
};

asio::awaitable<void> read_all(ChunkedStream& stream) {
  for (;;) {
    auto m = co_await msg::ipc_read_message<msg::IPCCommandMessage>(stream);
    if (m) continue;
    const auto kind = m.error().kind();
    if (m.error().is_os() ||
        (kind != common::ErrorKind::InvalidData && kind != common::ErrorKind::UnexpectedEof)) {
      std::abort();
    }
    if (kind == common::ErrorKind::UnexpectedEof) co_return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 64;
  asio::io_context io(1);
  ChunkedStream stream(io.get_executor(),
                       std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), chunk);
  asio::co_spawn(io, read_all(stream), [](std::exception_ptr e) {
    if (e) std::abort();
  });
  io.run();
  if (!stream.data.empty()) std::abort();  // everything is consumed, nothing beyond
  return 0;
}
