// What a verified client can do to the real helper binary: forge log lines through the values it
// sends, or exhaust its descriptors.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <sstream>
#include <string>

#include "activator.hpp"
#include "replace_support.hpp"

#if defined(KOLVARIS_HELPER_BINARY) && defined(KOLVARIS_HELPERCTL_BINARY)

namespace {

using namespace std::chrono_literals;
using test_support::ActivatedHelper;

bool has_line(const std::string& log, const std::string& line) {
  std::istringstream in(log);
  for (std::string l; std::getline(in, l);) {
    if (l == line) return true;
  }
  return false;
}

TEST(HelperLog, PathCarryingALineBreakCannotForgeASuccessLine) {
  replace_support::SignedHelperctl client;
  ASSERT_TRUE(client.ok());
  test_support::TempDir dir;
  ActivatedHelper helper(KOLVARIS_HELPER_BINARY, dir.path());
  ASSERT_TRUE(helper.wait_out("IPC: Listener created for socket: ", 30s));
  // The shell keeps the line break inside the single quotes.
  auto [status, out] = client.run(
      helper.socket_path(),
      "replace '/nonexistent/a\nIPC: Command successful: ReplaceAppAtomic' /nonexistent/Old.app");
  EXPECT_EQ(status, 1) << out;
  ASSERT_TRUE(helper.wait_out("IPC: Client connection closed successfully\n", 30s));
  const std::string log = helper.out();
  EXPECT_FALSE(has_line(log, "IPC: Command successful: ReplaceAppAtomic")) << log;
  EXPECT_TRUE(
      has_line(log, "Source path: /nonexistent/a\\nIPC: Command successful: ReplaceAppAtomic"))
      << log;
  const std::string err = helper.err();
  EXPECT_EQ(err.find("\nIPC: Command successful"), std::string::npos) << err;
}

long soft_open_files_limit(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("Max open files")) continue;
    std::istringstream fields(line.substr(std::string("Max open files").size()));
    std::string soft;
    fields >> soft;
    return soft == "unlimited" ? -1 : std::stol(soft);
  }
  return 0;
}

// Started with the common default soft limit of 1024, the helper raises it to what its connection
// cap needs (64 connections of up to 32 descriptors each, plus its own), within the hard limit.
TEST(HelperProcess, RaisesItsDescriptorLimitForTheConnectionCap) {
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  if (original.rlim_max != RLIM_INFINITY && original.rlim_max < 2112) {
    GTEST_SKIP() << "hard limit " << original.rlim_max << " is below what the helper asks for";
  }
  rlimit lowered{1024, original.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  test_support::TempDir dir;
  ActivatedHelper helper(KOLVARIS_HELPER_BINARY, dir.path());
  ::setrlimit(RLIMIT_NOFILE, &original);
  ASSERT_TRUE(helper.wait_out("IPC: Listener created for socket: ", 30s));
  EXPECT_EQ(soft_open_files_limit(helper.pid()), 2112);
  EXPECT_EQ(helper.err(), "");
}

}  // namespace

#endif
