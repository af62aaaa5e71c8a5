// Quarantine removal through a command-line tool, with stand-in "xattr" programs named by their
// absolute path, and through the platform's attribute calls.

#include "util/security/quarantine.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/fake/fake_files.hpp"
#include "test_support.hpp"
#include "util/security/child_process.hpp"

namespace {

using platform::fake::FakeFiles;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A directory holding the stand-in tool, which is named by its absolute path; PATH holds a decoy
// "xattr" for the test's lifetime, which must never run (the scripts name every other program by
// its full path).
class QuarantineToolTest : public ::testing::Test {
 protected:
  QuarantineToolTest() {
    const char* path = std::getenv("PATH");
    saved_path_ = path ? path : "";
    std::string decoy = (decoy_.path() / "xattr").string();
    std::ofstream(decoy) << "#!/bin/sh\necho decoy > \"$TOOL_OUTPUT.decoy\"\n";
    ::chmod(decoy.c_str(), 0755);
    ::setenv("PATH", decoy_.path().c_str(), 1);
    ::setenv("TOOL_OUTPUT", output().c_str(), 1);
    files_.quarantine_mechanism = platform::QuarantineRemoval::ExternalTool;
  }
  ~QuarantineToolTest() override {
    ::setenv("PATH", saved_path_.c_str(), 1);
    ::unsetenv("TOOL_OUTPUT");
  }

  void install_tool(const std::string& body) {
    std::string tool = (bin_.path() / "xattr").string();
    std::ofstream(tool) << "#!/bin/sh\n" << body << "\n";
    ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
  }

  std::filesystem::path output() const { return work_.path() / "output"; }

  common::Status remove(const std::string& path) {
    return util::security::remove_quarantine_attribute(files_, platform::FileUrl{path, true}, path,
                                                       (bin_.path() / "xattr").string());
  }

  test_support::TempDir bin_;
  test_support::TempDir decoy_;
  test_support::TempDir work_;
  std::string saved_path_;
  FakeFiles files_;
};

TEST_F(QuarantineToolTest, ArgumentsReachTheToolOneByOneWithoutAShell) {
  install_tool("printf '%s\\n' \"$#\" \"$@\" > \"$TOOL_OUTPUT\"");
  const std::string path = "/tmp/My App's \"new\" $HOME `id`.app";
  ASSERT_TRUE(remove(path));
  // -s before -d: the tool must act on links themselves, never on what they point to.
  EXPECT_EQ(read_file(output()), "5\n-r\n-s\n-d\ncom.apple.quarantine\n" + path + "\n");
  // The platform's own attribute calls are not used when the tool is, and PATH is not searched.
  EXPECT_TRUE(files_.calls.empty());
  EXPECT_FALSE(std::filesystem::exists(output().string() + ".decoy"));
}

TEST_F(QuarantineToolTest, MegabytesOnBothStreamsDoNotStallIt) {
  install_tool(
      "/usr/bin/head -c 8000000 /dev/zero >&2\n"
      "/usr/bin/head -c 3000000 /dev/zero\n"
      "/usr/bin/head -c 4000000 /dev/zero >&2\n"
      "echo done > \"$TOOL_OUTPUT\"");
  ASSERT_TRUE(remove("/x"));
  EXPECT_EQ(read_file(output()), "done\n");
}

TEST_F(QuarantineToolTest, AToolThatDoesNotExitCleanlyIsAFailure) {
  // With -r the tool passes over items without the attribute; any other complaint may mean an
  // item still carries it.
  install_tool("echo complaint >&2\nexit 3");
  auto exited = remove("/x");
  ASSERT_FALSE(exited);
  EXPECT_EQ(exited.error().text(), "xattr exited with status 3");
  install_tool("kill -9 $$");
  auto killed = remove("/x");
  ASSERT_FALSE(killed);
  EXPECT_EQ(killed.error().text(), "xattr was ended by signal 9");
  install_tool("echo chatter; echo more chatter >&2; exit 0");
  EXPECT_TRUE(remove("/x"));
}

TEST_F(QuarantineToolTest, MissingToolIsTheOsErrorOfAMissingFile) {
  auto result = remove("/x");
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().is_os());
  EXPECT_EQ(result.error().text(), "No such file or directory (os error 2)");
}

TEST_F(QuarantineToolTest, ToolThatCannotBeExecutedIsPermissionDenied) {
  std::string tool = (bin_.path() / "xattr").string();
  std::ofstream(tool) << "#!/bin/sh\n";
  ASSERT_EQ(::chmod(tool.c_str(), 0644), 0);
  // Root too: a file without any execute bit is not run by anyone.
  auto result = remove("/x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "Permission denied (os error 13)");
}

TEST_F(QuarantineToolTest, ChildReadsNullDeviceAndInheritsNoOtherDescriptor) {
  // A descriptor without close-on-exec, as the runtime's sockets are.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::dup2(fds[0], 57), 57);
  install_tool(
      "/bin/cat > \"$TOOL_OUTPUT.stdin\"\n"
      "/bin/ls /proc/$$/fd > \"$TOOL_OUTPUT\"");
  auto result = remove("/x");
  ::close(57);
  ::close(fds[0]);
  ::close(fds[1]);
  ASSERT_TRUE(result);
  EXPECT_EQ(read_file(output().string() + ".stdin"), "");
  std::istringstream listed(read_file(output()));
  std::string fd;
  std::vector<std::string> descriptors;
  while (listed >> fd) descriptors.push_back(fd);
  EXPECT_EQ(std::count(descriptors.begin(), descriptors.end(), "57"), 0);
  EXPECT_EQ(std::count(descriptors.begin(), descriptors.end(), std::to_string(fds[0])), 0);
  EXPECT_EQ(std::count(descriptors.begin(), descriptors.end(), std::to_string(fds[1])), 0);
}

TEST_F(QuarantineToolTest, ChildGetsTheDefaultSigpipeEvenWhenTheHelperIgnoresIt) {
  auto previous = ::signal(SIGPIPE, SIG_IGN);
  install_tool("/bin/grep SigIgn /proc/$$/status > \"$TOOL_OUTPUT\"");
  auto result = remove("/x");
  ::signal(SIGPIPE, previous);
  ASSERT_TRUE(result);
  std::string line = read_file(output());
  ASSERT_TRUE(line.starts_with("SigIgn:")) << line;
  unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << line;
}

TEST_F(QuarantineToolTest, EnvironmentAndWorkingDirectoryAreInherited) {
  ::setenv("QUARANTINE_TEST_MARK", "inherited", 1);
  install_tool("echo \"$QUARANTINE_TEST_MARK $(pwd)\" > \"$TOOL_OUTPUT\"");
  ASSERT_TRUE(remove("/x"));
  ::unsetenv("QUARANTINE_TEST_MARK");
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(read_file(output()), std::string("inherited ") + cwd + "\n");
}

TEST(QuarantineAttributeCalls, PlatformRemovalReportsOnlyAFailureOfTheWhole) {
  FakeFiles files;
  files.add_directory("/b", 0, 0);
  files.add_file("/b/f", "", 0, 0);
  files.items["/b/f"].attributes.insert("com.apple.quarantine");
  files.items["/b/f"].attributes.insert("com.example.other");
  ASSERT_TRUE(
      util::security::remove_quarantine_attribute(files, platform::FileUrl{"/b", true}, "/b"));
  EXPECT_EQ(files.items["/b/f"].attributes, std::set<std::string>{"com.example.other"});

  files.quarantine_error = ENOENT;
  auto result =
      util::security::remove_quarantine_attribute(files, platform::FileUrl{"/b", true}, "/b");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "No such file or directory (os error 2)");
}

}  // namespace
