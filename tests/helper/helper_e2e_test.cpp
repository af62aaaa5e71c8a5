// The real helper binary, started the way the service manager starts it.

#include <gtest/gtest.h>

#include "activator.hpp"
#include "common/ipc/client.hpp"

namespace {

using namespace std::chrono_literals;
using test_support::ActivatedHelper;

TEST(HelperProcess, StartedByHandReportsTheMissingListenerAndExitsWithOne) {
  test_support::TempDir dir;
  ActivatedHelper helper(KOLVARIS_HELPER_BINARY, dir.path(), /*activate=*/false);
  auto status = helper.wait_exit(30s);
  ASSERT_TRUE(status);
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  EXPECT_EQ(helper.out(), "IPC: Helper is starting\n");
  EXPECT_EQ(helper.err(),
            "Error: IPC: Creating listener failed with error: The caller isn't a process managed "
            "by launchd\n"
            "Error: Custom { kind: Other, error: \"The caller isn't a process managed by launchd\" "
            "}\n");
}

TEST(HelperProcess, ClosedStandardOutputIsReopenedOnDevNull) {
  test_support::TempDir dir;
  // The shell closes standard output before exec; the helper must still start and fail cleanly.
  std::string cmd =
      std::string("exec 1>&- ") + KOLVARIS_HELPER_BINARY + " 2>" + (dir.path() / "err").string();
  int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(test_support::read_file((dir.path() / "err").string())
                .find("Error: IPC: Creating listener failed with error: "),
            std::string::npos);
}

// The one test that waits the real idle interval: an unsigned client is turned away without a
// frame, and the helper then shuts down by itself at its first check.
TEST(HelperProcess, UnsignedClientIsRejectedAndTheHelperIdlesOutAfterSixtySeconds) {
  test_support::TempDir dir;
  ActivatedHelper helper(KOLVARIS_HELPER_BINARY, dir.path());
  ASSERT_TRUE(helper.wait_out("IPC: Listener created for socket: ", 30s));
  {
    auto fd = common::ipc::client::connect_to_helper(helper.socket_path());
    ASSERT_TRUE(fd) << fd.error().text();
    auto reply = common::ipc::client::send_command(
        fd->get(), common::ipc::message::WaitForExitAndLaunch{1, "/x"}, 30s);
    ASSERT_FALSE(reply);
    EXPECT_TRUE(reply.error().kind() == common::ErrorKind::UnexpectedEof ||
                reply.error().os_code() == ECONNRESET || reply.error().os_code() == EPIPE)
        << reply.error().text();
  }
  auto status = helper.wait_exit(120s);
  ASSERT_TRUE(status);
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_EQ(helper.out(),
            "IPC: Helper is starting\n"
            "IPC: Listener created for socket: \"" +
                helper.socket_path() +
                "\"\n"
                "IPC: Client connected\n"
                "IPC: Idle timeout reached with no active connections\n"
                "IPC: Starting helper shutdown, waiting for tasks to complete\n"
                "IPC: Helper is shutting down\n");
  EXPECT_TRUE(helper.err().starts_with(
      "IPC: Client connection closed with error: Client code signing validation failed: "))
      << helper.err();
}

}  // namespace
