#include "main/connection.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>

#include "common/ipc/client.hpp"
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
  EXPECT_EQ(texts[texts.size() - 2], "IPC: Connection was closed by the client");
}

}  // namespace
