#include "common/ipc/framing.hpp"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/write.hpp>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "common/ipc/client.hpp"
#include "common/util/unique_fd.hpp"

namespace {

using asio::local::stream_protocol;
using common::ErrorKind;
using common::Result;
using common::Status;
using namespace common::ipc::message;

std::string frame(std::string_view payload) {
  auto p = frame_prefix(static_cast<std::uint32_t>(payload.size()));
  return std::string(reinterpret_cast<const char*>(p.data()), 4) + std::string(payload);
}

// Runs one coroutine to completion on a fresh io_context and returns its result.
template <typename T>
T run(asio::io_context& io, asio::awaitable<T> task) {
  std::optional<T> out;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T value) {
    if (e) std::rethrow_exception(e);
    out = std::move(value);
  });
  io.restart();
  io.run();
  return std::move(*out);
}

struct SocketPair {
  asio::io_context io;
  stream_protocol::socket helper{io};
  stream_protocol::socket peer{io};
  SocketPair() { asio::local::connect_pair(helper, peer); }

  void peer_sends(std::string_view bytes) { asio::write(peer, asio::buffer(bytes)); }
  std::string peer_receives_all() {
    helper.close();
    std::string out;
    asio::error_code ec;
    char buf[256];
    for (;;) {
      size_t n = peer.read_some(asio::buffer(buf), ec);
      if (ec) break;
      out.append(buf, n);
    }
    return out;
  }
  Result<IPCCommandMessage> read_command() {
    return run(io, ipc_read_message<IPCCommandMessage>(helper));
  }
};

TEST(FramingWrite, RepliesAreExactBytesOnTheWire) {
  SocketPair s;
  ASSERT_TRUE(run(s.io, ipc_write_message(s.helper, IPCResponseMessage::Ok)));
  ASSERT_TRUE(run(s.io, ipc_write_message(s.helper, IPCResponseMessage::Err)));
  EXPECT_EQ(s.peer_receives_all(), std::string("\x00\x00\x00\x0d{\"type\":\"Ok\"}", 17) +
                                       std::string("\x00\x00\x00\x0e{\"type\":\"Err\"}", 18));
}

// A stream that accepts one byte per write, records every write, then reports 0 or an error.
struct TrickleStream {
  using executor_type = asio::any_io_executor;
  explicit TrickleStream(asio::any_io_executor e) : ex(std::move(e)) {}
  asio::any_io_executor ex;
  std::string written;
  std::size_t writes = 0;
  std::size_t fail_after = SIZE_MAX;
  asio::error_code failure;
  executor_type get_executor() { return ex; }

  template <typename Buffers, typename Token>
  auto async_write_some(const Buffers& buffers, Token&& token) {
    return asio::async_initiate<Token, void(asio::error_code, std::size_t)>(
        [this, buffers](auto handler) {
          asio::error_code ec;
          std::size_t n = 0;
          if (writes++ >= fail_after) {
            ec = failure;
          } else {
            auto b = asio::buffer(buffers);
            if (b.size() > 0) {
              written.push_back(*static_cast<const char*>(b.data()));
              n = 1;
            }
          }
          asio::post(ex, [h = std::move(handler), ec, n]() mutable { h(ec, n); });
        },
        token);
  }
};

TEST(FramingWrite, StreamAcceptingOneBytePerWriteStillGetsWholeFrame) {
  asio::io_context io;
  TrickleStream stream{io.get_executor()};
  ASSERT_TRUE(run(io, ipc_write_message(stream, IPCResponseMessage::Err)));
  EXPECT_EQ(stream.written, std::string("\x00\x00\x00\x0e{\"type\":\"Err\"}", 18));
  EXPECT_EQ(stream.writes, 18u);
}

TEST(FramingWrite, ZeroByteWriteIsWriteZeroAndFailedWritePassesThrough) {
  asio::io_context io;
  TrickleStream zero{io.get_executor()};
  zero.fail_after = 2;  // third write accepts nothing
  auto r = run(io, ipc_write_message(zero, IPCResponseMessage::Ok));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::WriteZero);

  TrickleStream broken{io.get_executor()};
  broken.fail_after = 5;
  broken.failure = asio::error_code(EPIPE, asio::system_category());
  auto e = run(io, ipc_write_message(broken, IPCResponseMessage::Ok));
  ASSERT_FALSE(e);
  EXPECT_TRUE(e.error().is_os());
  EXPECT_EQ(e.error().text(), "Broken pipe (os error 32)");
  EXPECT_EQ(broken.written.size(), 5u);
}

TEST(FramingWrite, WritingToClosedPeerIsBrokenPipeNotASignal) {
  ::signal(SIGPIPE, SIG_IGN);
  SocketPair s;
  s.peer.close();
  auto r = run(s.io, ipc_write_message(s.helper, IPCResponseMessage::Ok));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().os_code(), EPIPE);
}

TEST(FramingRead, EndOfStreamAnywhereIsUnexpectedEof) {
  {
    SocketPair s;  // closed between frames
    s.peer.close();
    auto r = s.read_command();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::UnexpectedEof);
  }
  {
    SocketPair s;  // two bytes of the prefix
    s.peer_sends(std::string("\x00\x00", 2));
    s.peer.close();
    auto r = s.read_command();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::UnexpectedEof);
  }
  {
    SocketPair s;  // 50 of 100 announced bytes
    s.peer_sends(std::string("\x00\x00\x00\x64", 4) + std::string(50, ' '));
    s.peer.close();
    auto r = s.read_command();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::UnexpectedEof);
    EXPECT_EQ(r.error().text(), "early eof");
  }
}

TEST(FramingRead, DecodingFailuresAreInvalidDataAndKeepTheStreamPositioned) {
  SocketPair s;
  s.peer_sends(frame(""));
  s.peer_sends(frame("{\"type\":\"ReplaceAppAtomic\""));
  s.peer_sends(frame("[\"WaitForExitAndLaunch\",1,\"/a\"] []"));
  s.peer_sends(frame("{\"type\":\"WaitForExitAndLaunch\",\"pid\":7,\"app_path\":\"/a\"}\n"));
  auto empty = s.read_command();
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind(), ErrorKind::InvalidData);
  EXPECT_EQ(empty.error().text(), "EOF while parsing a value at line 1 column 0");
  auto unfinished = s.read_command();
  ASSERT_FALSE(unfinished);
  EXPECT_EQ(unfinished.error().kind(), ErrorKind::InvalidData);
  EXPECT_TRUE(unfinished.error().text().starts_with("EOF while parsing an object"));
  auto two = s.read_command();
  ASSERT_FALSE(two);
  EXPECT_EQ(two.error().kind(), ErrorKind::InvalidData);
  EXPECT_TRUE(two.error().text().starts_with("trailing characters"));
  auto ok = s.read_command();
  ASSERT_TRUE(ok) << ok.error().text();
  EXPECT_EQ(std::get<WaitForExitAndLaunch>(*ok), (WaitForExitAndLaunch{7, "/a"}));
}

TEST(FramingRead, BackToBackFramesInOneWriteAreTwoMessages) {
  SocketPair s;
  s.peer_sends(frame("[\"WaitForExitAndLaunch\",1,\"/x\"]") +
               frame("{\"type\":\"ReplaceAppAtomic\",\"source_path\":\"/s\","
                     "\"destination_path\":\"/d\"}"));
  auto first = s.read_command();
  auto second = s.read_command();
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_EQ(std::get<WaitForExitAndLaunch>(*first).pid, 1u);
  EXPECT_EQ(std::get<ReplaceAppAtomic>(*second), (ReplaceAppAtomic{"/s", "/d"}));
}

long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

// A peer announcing 4 GiB must not make the reader allocate anything: the frame is refused on
// its prefix alone. Measured in a child process so the peak belongs to this read alone.
TEST(FramingRead, HugeAnnouncedLengthIsRefusedWithoutAllocating) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SocketPair s;
    const long before = peak_rss_kib();
    s.peer_sends(std::string("\xff\xff\xff\xff", 4) + std::string(10, 'x'));
    s.peer.close();
    auto r = s.read_command();
    const long grown = peak_rss_kib() - before;
    bool refused =
        !r && r.error().kind() == ErrorKind::InvalidData &&
        r.error().text() == "frame of 4294967295 bytes exceeds the limit of 1048576 bytes";
    _exit(refused && grown >= 0 && grown < 16 * 1024 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A command of exactly the limit (padded with the whitespace JSON allows after a value) is read;
// one byte more is refused before a single payload byte is taken from the socket, so a peer
// cannot make the reader wait for, or hold, what it announces.
TEST(FramingRead, LimitIsOneMebibyteAndALongerFrameIsRefusedOnItsPrefix) {
  const std::string command = R"({"type":"WaitForExitAndLaunch","pid":7,"app_path":"/A.app"})";
  const std::string at_limit = command + std::string(MAX_FRAME_LENGTH - command.size(), ' ');
  ASSERT_EQ(MAX_FRAME_LENGTH, 1048576u);
  {
    SocketPair s;
    std::thread peer([&] { s.peer_sends(frame(at_limit)); });
    auto r = s.read_command();
    peer.join();
    ASSERT_TRUE(r) << r.error().text();
    EXPECT_EQ(std::get<WaitForExitAndLaunch>(*r).pid, 7u);
  }
  SocketPair s;
  s.peer_sends(
      std::string(reinterpret_cast<const char*>(frame_prefix(MAX_FRAME_LENGTH + 1).data()), 4) +
      "{}");
  auto r = s.read_command();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
  EXPECT_EQ(r.error().text(), "frame of 1048577 bytes exceeds the limit of 1048576 bytes");
  int unread = -1;
  ASSERT_EQ(::ioctl(s.helper.native_handle(), FIONREAD, &unread), 0);
  EXPECT_EQ(unread, 2);  // the payload's first bytes are still in the socket

  // The blocking client applies the same limit to what it reads.
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  common::util::UniqueFd near(sv[0]), far(sv[1]);
  auto prefix = frame_prefix(MAX_FRAME_LENGTH + 1);
  ASSERT_EQ(::write(far.get(), prefix.data(), prefix.size()), 4);
  auto reply = common::ipc::client::read_frame(
      near.get(), std::chrono::steady_clock::now() + std::chrono::seconds(10));
  ASSERT_FALSE(reply);
  EXPECT_EQ(reply.error().kind(), ErrorKind::InvalidData);
}

TEST(BlockingClient, RoundTripAgainstFramedPeerAndEofHandling) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  common::util::UniqueFd client(sv[0]), server(sv[1]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  ASSERT_TRUE(common::ipc::client::write_frame(server.get(), "{\"type\":\"Err\"}", deadline));
  auto reply = common::ipc::client::send_command(client.get(), WaitForExitAndLaunch{9, "/x"},
                                                 std::chrono::seconds(5));
  ASSERT_TRUE(reply) << reply.error().text();
  EXPECT_EQ(*reply, IPCResponseMessage::Err);
  auto sent = common::ipc::client::read_frame(server.get(), deadline);
  ASSERT_TRUE(sent);
  EXPECT_EQ(*sent, "{\"type\":\"WaitForExitAndLaunch\",\"pid\":9,\"app_path\":\"/x\"}");

  auto timed_out = common::ipc::client::read_frame(
      client.get(), std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
  ASSERT_FALSE(timed_out);
  EXPECT_EQ(timed_out.error().os_code(), ETIMEDOUT);

  server.reset();
  auto eof = common::ipc::client::read_frame(client.get(), deadline);
  ASSERT_FALSE(eof);
  EXPECT_EQ(eof.error().kind(), ErrorKind::UnexpectedEof);
}

}  // namespace
