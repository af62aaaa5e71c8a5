// The replies a connection writes, in the protocol the client asked for: the original bytes
// unless a command carries "protocol":2, then reasons, and the relaunch's Accepted before its
// wait.

#include <gtest/gtest.h>

#include <algorithm>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "common/ipc/message.hpp"
#include "common/util/log.hpp"
#include "main/connection.hpp"
#include "served_connection.hpp"
#include "test_support.hpp"

namespace {

using test_support::CapturedLog;
using test_support::out;
using test_support::ServedConnection;
namespace msg = common::ipc::message;
using namespace std::chrono_literals;

// Commands fail with the error their source path names; the relaunch waits until released.
struct Scripted {
  std::atomic<bool> released{false};
  std::atomic<bool> launched{false};
  std::atomic<int> rechecks{0};

  main_service::ConnectionServices services() {
    main_service::ConnectionServices s;
    s.verify_peer = [](int) { return common::Status{}; };
    s.recheck_peer = [this](int) {
      ++rechecks;
      return common::Status{};
    };
    s.identify_requester = [](int) { return common::Result<platform::Requester>(); };
    s.replace_app = [](const msg::ReplaceAppAtomic& c) -> common::Status {
      if (c.source_path == "/older") {
        return common::fail_because(common::Reason::Downgrade,
                                    "Refusing to replace version 2 with older version 1");
      }
      if (c.source_path == "/read-only") {
        return common::fail_wrapped("Could not copy: ", common::Error::os(EROFS));
      }
      if (c.source_path == "/plain") return common::fail_other("something else");
      // Quotes, a backslash, controls, a character beyond ASCII and a byte that is no UTF-8.
      if (c.source_path == "/odd") return common::fail_other("\"a\"\\b\n\t\x01 \xc3\xa9 \xff.");
      return {};
    };
    s.wait_and_launch = [this](const msg::WaitForExitAndLaunch& c,
                               const platform::Requester&) -> asio::awaitable<common::Status> {
      asio::steady_timer timer(co_await asio::this_coro::executor);
      while (!released) {
        timer.expires_after(2ms);
        co_await timer.async_wait(asio::use_awaitable);
      }
      if (c.pid == 0) {
        co_return common::fail_because(common::Reason::ExitWaitTimedOut,
                                       "Failed waiting for process exit after 5 attempts");
      }
      launched = true;
      co_return common::Status{};
    };
    return s;
  }
};

std::string replace_command(const std::string& source, const std::string& extra = {}) {
  return R"({"type":"ReplaceAppAtomic","source_path":")" + source +
         R"(","destination_path":"/Applications/Kolvaris.app")" + extra + "}";
}

const std::string OK = R"({"type":"Ok"})";
const std::string ERR = R"({"type":"Err"})";

TEST(ConnectionProtocol, WithoutAskingAClientGetsTheOriginalBytes) {
  Scripted scripted;
  scripted.released = true;
  ServedConnection c(scripted.services());
  // No member, protocol 1, a protocol that is no integer, and the array form, which has no room
  // for one: each is answered exactly as before, and the relaunch has no Accepted.
  for (const std::string& extra :
       {std::string(), std::string(R"(,"protocol":1)"), std::string(R"(,"protocol":"2")"),
        std::string(R"(,"protocol":2.0)")}) {
    SCOPED_TRACE(extra);
    c.send(replace_command("/older", extra));
    EXPECT_EQ(c.reply().value(), ERR);
    c.send(replace_command("/new", extra));
    EXPECT_EQ(c.reply().value(), OK);
    c.send(R"({"type":"WaitForExitAndLaunch","pid":7,"app_path":"/A.app")" + extra + "}");
    EXPECT_EQ(c.reply().value(), OK);
  }
  c.send(R"(["ReplaceAppAtomic","/older","/Applications/Kolvaris.app"])");
  EXPECT_EQ(c.reply().value(), ERR);
  EXPECT_EQ(ERR.size(), 14u);
  EXPECT_EQ(OK.size(), 13u);
}

TEST(ConnectionProtocol, FailureSaysWhyInTheCodeAndTheLogsText) {
  Scripted scripted;
  CapturedLog log;
  ServedConnection c(scripted.services());
  const std::string v2 = R"(,"protocol":2)";
  c.send(replace_command("/older", v2));
  EXPECT_EQ(
      c.reply().value(),
      R"({"type":"Err","reason":"downgrade","message":"Refusing to replace version 2 with older version 1"})");
  // A reason found by the operating system survives the prefix of the step that failed.
  c.send(replace_command("/read-only", v2));
  EXPECT_EQ(
      c.reply().value(),
      R"j({"type":"Err","reason":"read_only_volume","message":"Could not copy: Read-only file system (os error 30)"})j");
  // A failure without a reason of its own is one of the machine.
  c.send(replace_command("/plain", v2));
  EXPECT_EQ(c.reply().value(), R"({"type":"Err","reason":"io_error","message":"something else"})");
  // A newer client is answered in the newest protocol there is.
  c.send(replace_command("/odd", R"(,"protocol":3)"));
  const std::string odd = c.reply().value();
  EXPECT_EQ(odd,
            "{\"type\":\"Err\",\"reason\":\"io_error\",\"message\":"
            "\"\\\"a\\\"\\\\b\\n\\t\\u0001 \xc3\xa9 \xef\xbf\xbd.\"}");
  auto decoded = msg::decode_reply(odd);
  ASSERT_TRUE(decoded) << decoded.error().text();
  EXPECT_EQ(decoded->message, "\"a\"\\b\n\t\x01 \xc3\xa9 \xef\xbf\xbd.");
  c.send(replace_command("/new", v2));
  EXPECT_EQ(c.reply().value(), OK);
  c.finish();
  // The message is the log's text.
  const auto texts = log.texts();
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Error: IPC: Failed to execute command: Refusing to replace version 2 with "
                      "older version 1"),
            texts.end());
}

TEST(ConnectionProtocol, RelaunchIsAcceptedBeforeItsWaitAndAnsweredAfterIt) {
  Scripted scripted;
  ServedConnection c(scripted.services());
  c.send(R"({"type":"WaitForExitAndLaunch","pid":7,"app_path":"/A.app","protocol":2})");
  EXPECT_EQ(c.reply().value(), R"({"type":"Accepted"})");
  EXPECT_FALSE(scripted.launched);
  scripted.released = true;
  EXPECT_EQ(c.reply().value(), OK);
  EXPECT_TRUE(scripted.launched);
  // A wait that fails is the final reply, after the Accepted.
  scripted.released = false;
  c.send(R"({"type":"WaitForExitAndLaunch","pid":0,"app_path":"/A.app","protocol":2})");
  EXPECT_EQ(c.reply().value(), R"({"type":"Accepted"})");
  scripted.released = true;
  EXPECT_EQ(
      c.reply().value(),
      R"({"type":"Err","reason":"exit_wait_timed_out","message":"Failed waiting for process exit after 5 attempts"})");
}

// The caller asks for its own relaunch, hears Accepted and exits, which is what the helper waits
// for: the launch goes ahead, the connection ends as any closed by its client, and the peer is
// not checked again once the command has been taken.
TEST(ConnectionProtocol, ClientThatLeavesAfterAcceptedStillGetsItsRelaunch) {
  Scripted scripted;
  CapturedLog log;
  ServedConnection c(scripted.services());
  c.send(R"({"type":"WaitForExitAndLaunch","pid":7,"app_path":"/A.app","protocol":2})");
  EXPECT_EQ(c.reply().value(), R"({"type":"Accepted"})");
  EXPECT_EQ(scripted.rechecks, 1);
  scripted.released = true;
  c.finish();
  EXPECT_TRUE(scripted.launched);
  EXPECT_EQ(scripted.rechecks, 1);
  EXPECT_EQ(log.lines(),
            (std::vector<CapturedLog::Line>{out("IPC: Client connected"),
                                            out("IPC: Command received: WaitForExitAndLaunch"),
                                            out("IPC: Command successful: WaitForExitAndLaunch"),
                                            out("IPC: Connection was closed by the client"),
                                            out("IPC: Client connection closed successfully")}));
}

}  // namespace
