// The check of the peer before each command and the refusal of bytes it did not write, as the
// connection handler runs them.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>

#include "main/connection.hpp"
#include "served_connection.hpp"
#include "test_support.hpp"

namespace {

using test_support::CapturedLog;
using test_support::err;
using test_support::out;
using test_support::ServedConnection;
namespace msg = common::ipc::message;

const std::string REPLACE =
    R"({"type":"ReplaceAppAtomic","source_path":"/new","destination_path":"/old"})";

TEST(PeerRecheck, RunsBeforeEveryCommandAndARefusalClosesWithoutRunningIt) {
  CapturedLog log;
  std::vector<std::string> events;
  main_service::ConnectionServices s;
  s.verify_peer = [&](int) {
    events.push_back("verify");
    return common::Status{};
  };
  s.recheck_peer = [&](int) -> common::Status {
    events.push_back("recheck");
    if (events.size() > 3) {
      return common::fail_other(
          "SecCodeCheckValidity failed with code: -67063 and error: held by process 7");
    }
    return {};
  };
  s.identify_requester = [](int) { return common::Result<platform::Requester>(); };
  s.replace_app = [&](const msg::ReplaceAppAtomic&) {
    events.push_back("replace");
    return common::Status{};
  };
  ServedConnection c(s);
  c.send(REPLACE);
  auto first = c.reply();
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, R"({"type":"Ok"})");
  (void)common::ipc::client::write_frame(c.client(), REPLACE, ServedConnection::deadline());
  EXPECT_TRUE(c.closed_by_helper());
  c.finish();
  EXPECT_EQ(events, (std::vector<std::string>{"verify", "recheck", "replace", "recheck"}));
  EXPECT_EQ(log.lines(),
            (std::vector<CapturedLog::Line>{
                out("IPC: Client connected"), out("IPC: Command received: ReplaceAppAtomic"),
                out("IPC: Command successful: ReplaceAppAtomic"),
                err("IPC: Client connection closed with error: Client code signing validation "
                    "failed before a command: SecCodeCheckValidity failed with code: -67063 and "
                    "error: held by process 7")}));
}

// Bytes refused by the peer session end the connection at once: no reply, the command they
// belong to is not run, and the closing line names what was refused.
TEST(PeerRecheck, RefusedBytesCloseTheConnectionWithoutReplyOrCommand) {
  CapturedLog log;
  std::vector<std::string> events;
  main_service::ConnectionServices s;
  std::size_t taken = 0;
  s.bind_peer = [&](int) -> common::Result<main_service::PeerSession> {
    events.push_back("bind");
    main_service::PeerSession session;
    // The second frame's bytes, after the first frame's 4 + payload, come from someone else.
    session.receive = [&](int fd, std::span<char> into) -> common::Result<main_service::PeerRead> {
      if (taken >= 4 + REPLACE.size()) {
        return common::fail_other(
            "process 8 wrote bytes on the connection of the verified "
            "process 7");
      }
      const ssize_t n = ::recv(fd, into.data(), into.size(), MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN) return main_service::PeerRead{0, true};
        return common::fail_last_os();
      }
      taken += static_cast<std::size_t>(n);
      return main_service::PeerRead{static_cast<std::size_t>(n), false};
    };
    session.recheck = [&](int) {
      events.push_back("recheck");
      return common::Status{};
    };
    return session;
  };
  s.identify_requester = [](int) { return common::Result<platform::Requester>(); };
  s.replace_app = [&](const msg::ReplaceAppAtomic&) {
    events.push_back("replace");
    return common::Status{};
  };
  ServedConnection c(s);
  c.send(REPLACE);
  auto first = c.reply();
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, R"({"type":"Ok"})");
  (void)common::ipc::client::write_frame(c.client(), REPLACE, ServedConnection::deadline());
  EXPECT_TRUE(c.closed_by_helper());
  c.finish();
  EXPECT_EQ(events, (std::vector<std::string>{"bind", "recheck", "replace"}));
  EXPECT_EQ(log.lines(),
            (std::vector<CapturedLog::Line>{
                out("IPC: Client connected"), out("IPC: Command received: ReplaceAppAtomic"),
                out("IPC: Command successful: ReplaceAppAtomic"),
                err("IPC: Client connection closed with error: Client bytes refused: process 8 "
                    "wrote bytes on the connection of the verified process 7")}));
}

}  // namespace
