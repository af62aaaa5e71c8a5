// The real helper binary, started the way the service manager starts it.

#include <gtest/gtest.h>

#include "activator.hpp"
#include "codesign_support.hpp"
#include "common/ipc/client.hpp"
#include "common/util/hex.hpp"

namespace {

using namespace std::chrono_literals;
using common::util::to_hex;
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

// helperctl, copied into a bundle as its main executable and signed with the build's test PKI:
// the genuine application as far as the helper can tell.
class SignedClient {
 public:
  SignedClient() {
    bundle_ = codesign_test::make_bundle(dir_.path());
    std::filesystem::copy_file(KOLVARIS_HELPERCTL_BINARY, bundle_ / codesign_test::MAIN_EXECUTABLE,
                               std::filesystem::copy_options::overwrite_existing);
    signed_ = codesign_test::sign(bundle_, codesign_test::test_pki()).has_value();
  }
  bool ok() const { return signed_; }
  // Runs the signed helperctl with `args`; returns its exit status and standard output.
  std::pair<int, std::string> run(const std::string& socket, const std::string& args) const {
    std::string out_file = (dir_.path() / "client.out").string();
    std::string cmd =
        test_support::shell_quoted((bundle_ / codesign_test::MAIN_EXECUTABLE).string()) +
        " --socket " + test_support::shell_quoted(socket) + " --timeout 60 " + args + " >" +
        test_support::shell_quoted(out_file) + " 2>&1";
    int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test_support::read_file(out_file)};
  }

 private:
  codesign_test::ScratchDir dir_;
  std::filesystem::path bundle_;
  bool signed_ = false;
};

TEST(HelperProcess, SignedClientIsServedCommandByCommandUntilABadFrame) {
  SignedClient client;
  ASSERT_TRUE(client.ok());
  test_support::TempDir dir;
  ActivatedHelper helper(KOLVARIS_HELPER_BINARY, dir.path());
  ASSERT_TRUE(helper.wait_out("IPC: Listener created for socket: ", 30s));

  // A replacement whose source is no bundle fails; the connection stays open for the next one.
  const std::string failing = to_hex(
      R"({"type":"ReplaceAppAtomic","source_path":"/nonexistent/New.app","destination_path":"/nonexistent/Old.app"})");
  auto [status, out] = client.run(helper.socket_path(), "frames " + failing + " " + failing + " " +
                                                            to_hex("{}") + " " + failing);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(out, "Err\nErr\nErr\nclosed\n");

  auto [replace_status, replace_out] =
      client.run(helper.socket_path(), "replace /nonexistent/New.app /nonexistent/Old.app");
  EXPECT_EQ(replace_status, 1) << replace_out;

  ASSERT_TRUE(
      helper.wait_out("IPC: Client connection closed successfully\n"
                      "IPC: Client connected\n",
                      30s));
  ::kill(helper.pid(), SIGTERM);
  helper.wait_exit(30s);
  const std::string log = helper.out();
  EXPECT_EQ(log.find("IPC: Client connection closed with error"), std::string::npos);
  EXPECT_NE(log.find("Source path: /nonexistent/New.app\n"
                     "Destination path: /nonexistent/Old.app\n"
                     "Validating signature of source app package\n"),
            std::string::npos);
  const std::string err = helper.err();
  EXPECT_NE(err.find("Error: IPC: Failed to read or deserialize message: missing field `type` at "
                     "line 1 column 2\n"),
            std::string::npos)
      << err;
}

}  // namespace
