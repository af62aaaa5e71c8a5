#include "main/connection.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>
#include <thread>

#include "common/ipc/client.hpp"
#include "common/ipc/framing.hpp"
#include "common/util/log.hpp"
#include "served_connection.hpp"
#include "test_support.hpp"

namespace {

using asio::local::stream_protocol;
using test_support::CapturedLog;
using test_support::err;
using test_support::out;
namespace msg = common::ipc::message;
using namespace std::chrono_literals;

using test_support::ServedConnection;

main_service::ConnectionServices accepting(std::vector<std::string>* ran = nullptr) {
  main_service::ConnectionServices s;
  s.verify_peer = [](int) { return common::Status{}; };
  s.replace_app = [ran](const msg::ReplaceAppAtomic& c) -> common::Status {
    if (ran) ran->push_back("replace " + c.source_path);
    if (c.source_path == "/fail") return common::fail_other("copy went wrong");
    return {};
  };
  s.identify_requester = [](int) { return common::Result<platform::Requester>(); };
  s.wait_and_launch = [ran](const msg::WaitForExitAndLaunch& c,
                            const platform::Requester&) -> asio::awaitable<common::Status> {
    if (ran) ran->push_back("launch " + std::to_string(c.pid));
    co_return common::Status{};
  };
  return s;
}

const std::string REPLACE_OK =
    R"({"type":"ReplaceAppAtomic","source_path":"/new","destination_path":"/old"})";
const std::string REPLACE_FAILS =
    R"({"type":"ReplaceAppAtomic","source_path":"/fail","destination_path":"/old"})";
const std::string OK_FRAME = R"({"type":"Ok"})";
const std::string ERR_FRAME = R"({"type":"Err"})";

TEST(Connection, VerifiedClientThatSendsNothingLogsConnectAndCleanClose) {
  CapturedLog log;
  ServedConnection c(accepting());
  c.finish();
  EXPECT_EQ(log.lines(),
            (std::vector<CapturedLog::Line>{out("IPC: Client connected"),
                                            out("IPC: Connection was closed by the client"),
                                            out("IPC: Client connection closed successfully")}));
}

TEST(Connection, RejectedPeerGetsNoFrameAndTheReasonIsLogged) {
  CapturedLog log;
  auto services = accepting();
  services.verify_peer = [](int) {
    return common::Status(common::fail_other("SecCodeCheckValidity failed with code: -67050"));
  };
  ServedConnection c(services);
  // The helper may already have closed: the write can fail, the reply must never come.
  (void)common::ipc::client::write_frame(c.client(), REPLACE_OK, ServedConnection::deadline());
  EXPECT_TRUE(c.closed_by_helper());
  c.finish();
  EXPECT_EQ(log.lines(),
            (std::vector<CapturedLog::Line>{
                out("IPC: Client connected"),
                err("IPC: Client connection closed with error: Client code signing validation "
                    "failed: SecCodeCheckValidity failed with code: -67050")}));
}

TEST(Connection, CommandsOnOneConnectionAreAnsweredInOrderAndAFailureKeepsItOpen) {
  CapturedLog log;
  std::vector<std::string> ran;
  ServedConnection c(accepting(&ran));
  c.send(REPLACE_FAILS);
  c.send(REPLACE_OK);
  c.send(R"(["WaitForExitAndLaunch",42,"/Applications/X.app"])");
  EXPECT_EQ(c.reply().value(), ERR_FRAME);
  EXPECT_EQ(c.reply().value(), OK_FRAME);
  EXPECT_EQ(c.reply().value(), OK_FRAME);
  c.finish();
  EXPECT_EQ(ran, (std::vector<std::string>{"replace /fail", "replace /new", "launch 42"}));
  EXPECT_EQ(log.lines(),
            (std::vector<CapturedLog::Line>{
                out("IPC: Client connected"), out("IPC: Command received: ReplaceAppAtomic"),
                err("Error: IPC: Failed to execute command: copy went wrong"),
                out("IPC: Command received: ReplaceAppAtomic"),
                out("IPC: Command successful: ReplaceAppAtomic"),
                out("IPC: Command received: WaitForExitAndLaunch"),
                out("IPC: Command successful: WaitForExitAndLaunch"),
                out("IPC: Connection was closed by the client"),
                out("IPC: Client connection closed successfully")}));
}

TEST(Connection, UndecodableFrameGetsErrThenTheHelperCloses) {
  for (std::string payload : {std::string(), std::string(R"({"source_path":"/a"})")}) {
    CapturedLog log;
    std::vector<std::string> ran;
    ServedConnection c(accepting(&ran));
    c.send(payload);
    // Never read: the connection ends at the bad frame (the write may even fail).
    (void)common::ipc::client::write_frame(c.client(), REPLACE_OK, ServedConnection::deadline());
    EXPECT_EQ(c.reply().value(), ERR_FRAME);
    EXPECT_TRUE(c.closed_by_helper());
    c.finish();
    EXPECT_TRUE(ran.empty());
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].stream, common::util::LogStream::Stderr);
    EXPECT_TRUE(lines[1].text.starts_with("Error: IPC: Failed to read or deserialize message: "))
        << lines[1].text;
    EXPECT_EQ(lines[2], out("IPC: Client connection closed successfully"));
  }
  CapturedLog log;
  ServedConnection c(accepting());
  c.send("");
  ASSERT_TRUE(c.reply());
  c.finish();
  EXPECT_EQ(
      log.texts()[1],
      "Error: IPC: Failed to read or deserialize message: EOF while parsing a value at line 1 "
      "column 0");
}

TEST(Connection, CommandFromAClientThatClosedAtOnceStillRuns) {
  CapturedLog log;
  std::vector<std::string> ran;
  {
    ServedConnection c(accepting(&ran));
    c.send(REPLACE_OK);
    c.finish();
  }
  EXPECT_EQ(ran, (std::vector<std::string>{"replace /new"}));
  auto texts = log.texts();
  EXPECT_EQ(texts.back(), "IPC: Client connection closed successfully");
  // How the end shows depends on when the close overtakes the reply: end of file before the
  // reply, the reply refused, or (the reply left unread in the closed socket) a reset on the
  // next read. None of them may cost the command or leave the connection open.
  for (const auto& text : texts)
    EXPECT_EQ(text.find("Failed to execute command"), std::string::npos);
}

// Deadlines short enough for a test; the helper's are 30 s and 10 min.
main_service::ConnectionServices with_deadlines(std::chrono::milliseconds frame,
                                                std::chrono::milliseconds idle) {
  auto services = accepting();
  services.deadlines.frame = frame;
  services.deadlines.idle = idle;
  return services;
}

// Blocking: raw bytes, not necessarily a whole frame.
bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

TEST(ConnectionDeadlines, QuietTimeBetweenFramesIsAllowedButAStartedFrameMustFinishInTime) {
  CapturedLog log;
  ServedConnection c(with_deadlines(300ms, 60s));
  c.send(REPLACE_OK);
  EXPECT_EQ(c.reply().value(), OK_FRAME);
  std::this_thread::sleep_for(900ms);  // three frame deadlines without a frame: still served
  c.send(REPLACE_OK);
  EXPECT_EQ(c.reply().value(), OK_FRAME);

  // Two bytes of a prefix, then nothing: a client that dribbles cannot hold the helper.
  ASSERT_TRUE(write_all(c.client(), std::string("\0\0", 2)));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(c.reply().value(), ERR_FRAME);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 250ms);
  EXPECT_TRUE(c.closed_by_helper());
  c.finish();
  auto texts = log.texts();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2],
            "Error: IPC: Failed to read or deserialize message: frame not completed within 300ms");
  EXPECT_EQ(texts.back(), "IPC: Client connection closed successfully");
}

TEST(ConnectionDeadlines, FrameSentOneByteAtATimeFailsAtTheDeadlineNotAtItsLastByte) {
  CapturedLog log;
  ServedConnection c(with_deadlines(400ms, 60s));
  std::string whole =
      std::string(reinterpret_cast<const char*>(
                      msg::frame_prefix(static_cast<std::uint32_t>(REPLACE_OK.size())).data()),
                  4) +
      REPLACE_OK;
  // Each byte well inside the deadline, the frame as a whole far beyond it.
  std::thread dribble([&] {
    for (char b : whole) {
      if (!write_all(c.client(), std::string_view(&b, 1))) return;
      std::this_thread::sleep_for(50ms);
    }
  });
  EXPECT_EQ(c.reply().value(), ERR_FRAME);
  dribble.join();
  c.finish();
  auto texts = log.texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "IPC: Command received: ReplaceAppAtomic"), 0);
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Error: IPC: Failed to read or deserialize message: frame not completed "
                      "within 400ms"),
            texts.end());
}

TEST(ConnectionDeadlines, ClientThatStartsNoFrameIsDisconnectedAfterTheIdleDeadline) {
  CapturedLog log;
  ServedConnection c(with_deadlines(30s, 300ms));
  EXPECT_TRUE(c.closed_by_helper());
  c.finish();
  EXPECT_EQ(log.lines(),
            (std::vector<CapturedLog::Line>{out("IPC: Client connected"),
                                            out("IPC: Closing connection: no command within 300ms"),
                                            out("IPC: Client connection closed successfully")}));
}

// Replies are offered to the socket at once; one that finds it full waits for room and is then
// finished where it stopped: a slow reader still gets every reply whole and in order.
TEST(ConnectionDeadlines, RepliesThatFindTheSocketFullArriveWholeOnceTheClientReads) {
  CapturedLog log;
  std::vector<std::string> ran;
  ServedConnection c(accepting(&ran));
  int small = 4096;
  ASSERT_EQ(::setsockopt(c.client(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  constexpr int COMMANDS = 3000;  // many more replies than the two buffers hold
  std::thread sender([&] {
    for (int i = 0; i < COMMANDS; ++i) c.send(i % 2 ? REPLACE_OK : REPLACE_FAILS);
  });
  std::this_thread::sleep_for(300ms);  // the helper is now waiting for room
  for (int i = 0; i < COMMANDS; ++i) {
    ASSERT_EQ(c.reply().value(), i % 2 ? OK_FRAME : ERR_FRAME) << "reply " << i;
  }
  sender.join();
  c.finish();
  EXPECT_EQ(ran.size(), static_cast<std::size_t>(COMMANDS));
  EXPECT_EQ(log.texts().back(), "IPC: Client connection closed successfully");
}

// A client that sends commands and never reads the replies fills the socket; the helper must not
// wait on that write without end either.
TEST(ConnectionDeadlines, ClientThatTakesNoReplyIsDisconnected) {
  CapturedLog log;
  std::vector<std::string> ran;
  ServedConnection c(with_deadlines(300ms, 60s));
  int small = 4096;
  ASSERT_EQ(::setsockopt(c.client(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  std::thread flood([&] {
    auto frame =
        std::string(reinterpret_cast<const char*>(
                        msg::frame_prefix(static_cast<std::uint32_t>(REPLACE_OK.size())).data()),
                    4) +
        REPLACE_OK;
    for (int i = 0; i < 100000; ++i) {
      if (!write_all(c.client(), frame)) return;
    }
  });
  EXPECT_TRUE(
      log.wait_for("IPC: Closing connection: the client did not take a reply within 300ms", 20s));
  ::shutdown(c.client(), SHUT_RDWR);
  flood.join();
  c.finish();
  EXPECT_EQ(log.texts().back(), "IPC: Client connection closed successfully");
}

TEST(ConnectionBounds, FrameAnnouncingMoreThanOneMebibyteIsRefusedWithoutItsPayload) {
  CapturedLog log;
  std::vector<std::string> ran;
  ServedConnection c(accepting(&ran));
  // Only the prefix: a reader that waited for the payload would never answer.
  auto prefix = msg::frame_prefix(msg::MAX_FRAME_LENGTH + 1);
  ASSERT_TRUE(
      write_all(c.client(), std::string_view(reinterpret_cast<const char*>(prefix.data()), 4)));
  EXPECT_EQ(c.reply().value(), ERR_FRAME);
  EXPECT_TRUE(c.closed_by_helper());
  c.finish();
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(log.lines(), (std::vector<CapturedLog::Line>{
                             out("IPC: Client connected"),
                             err("Error: IPC: Failed to read or deserialize message: frame of "
                                 "1048577 bytes exceeds the limit of 1048576 bytes"),
                             out("IPC: Client connection closed successfully")}));
}

// A path that carries a line break and the text of another line: in the log it stays one line,
// with the break escaped, and the forged line never appears on its own.
TEST(ConnectionLog, LineBreakInAPathCannotForgeALine) {
  CapturedLog log;
  auto services = accepting();
  services.replace_app = [](const msg::ReplaceAppAtomic& c) -> common::Status {
    common::util::log_out("Source path: " + c.source_path);
    return common::fail_other("Could not open " + c.source_path + "\t\x7f\r");
  };
  ServedConnection c(services);
  msg::IPCCommandMessage command =
      msg::ReplaceAppAtomic{"/tmp/a\nIPC: Command successful: ReplaceAppAtomic", "/old"};
  auto reply = common::ipc::client::send_command(c.client(), command, 10s);
  ASSERT_TRUE(reply);
  c.finish();
  EXPECT_EQ(log.lines(),
            (std::vector<CapturedLog::Line>{
                out("IPC: Client connected"), out("IPC: Command received: ReplaceAppAtomic"),
                out("Source path: /tmp/a\\nIPC: Command successful: ReplaceAppAtomic"),
                err("Error: IPC: Failed to execute command: Could not open /tmp/a\\nIPC: Command "
                    "successful: ReplaceAppAtomic\\t\\u{7f}\\r"),
                out("IPC: Connection was closed by the client"),
                out("IPC: Client connection closed successfully")}));
}

}  // namespace
