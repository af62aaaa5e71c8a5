// Attacks on the binding between a connection and the verified application, tried against the
// real helper binary with the test client signed as the application.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "activator.hpp"
#include "codesign_support.hpp"

namespace {

using namespace std::chrono_literals;
using test_support::ActivatedHelper;
namespace fs = std::filesystem;

const std::string REFUSED =
    "IPC: Client connection closed with error: Client code signing validation failed: "
    "SecCodeCheckValidity failed with code: -67063 and error: the identity of the running code "
    "has been invalidated: ";
const std::string REFUSED_AT_COMMAND =
    "IPC: Client connection closed with error: Client code signing validation failed before a "
    "command: SecCodeCheckValidity failed with code: -67063 and error: the identity of the "
    "running code has been invalidated: ";

// A process with its standard output in a file; killed and reaped when the object goes away.
class Program {
 public:
  Program(const std::vector<std::string>& argv, const fs::path& out,
          std::vector<std::string> environment = {})
      : out_(out) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (auto& e : environment) env.push_back(e.data());
    env.push_back(nullptr);
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fd, 1);
      ::execve(args[0], args.data(), env.data());
      ::_exit(127);
    }
    ::close(fd);
  }
  ~Program() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  std::string out() const { return test_support::read_file(out_.string()); }
  bool wait_out(const std::string& text, std::chrono::milliseconds timeout) const {
    for (auto until = std::chrono::steady_clock::now() + timeout; out() != text;) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

 private:
  fs::path out_;
  pid_t pid_ = -1;
};

class PeerBindingEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle_ = codesign_test::make_bundle(scratch_.path());
    fs::copy_file(KOLVARIS_CODESIGN_TEST_CLIENT, application(),
                  fs::copy_options::overwrite_existing);
    ASSERT_TRUE(codesign_test::sign(bundle_, codesign_test::test_pki()).has_value());
    ASSERT_TRUE(helper_.wait_out("IPC: Listener created for socket: ", 30s));
  }

  std::string application() const { return (bundle_ / codesign_test::MAIN_EXECUTABLE).string(); }
  fs::path out_file(const std::string& name) const { return scratch_.path() / name; }

  static bool wait_for_exe(pid_t pid, const std::string& executable) {
    auto exe = "/proc/" + std::to_string(pid) + "/exe";
    for (int i = 0; i < 1000; ++i) {
      std::error_code ignored;
      if (fs::read_symlink(exe, ignored) == executable) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  bool wait_err(const std::string& text) const {
    for (auto until = std::chrono::steady_clock::now() + 30s;
         helper_.err().find(text) == std::string::npos;) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  // The attacker's program runs while the helper is stopped, the way a helper that is still
  // starting (socket activation) lets the connection wait in the backlog; it continues once the
  // attacker's process runs the signed application.
  template <typename Attack>
  void while_helper_is_stopped(Attack attack) {
    ASSERT_EQ(::kill(helper_.pid(), SIGSTOP), 0);
    attack();
    ASSERT_EQ(::kill(helper_.pid(), SIGCONT), 0);
  }

  codesign_test::ScratchDir scratch_;
  test_support::TempDir helper_dir_;
  ActivatedHelper helper_{KOLVARIS_HELPER_BINARY, helper_dir_.path()};
  fs::path bundle_;
};

TEST_F(PeerBindingEndToEnd, SignedClientIsServedAndForkAfterConnectIsRefused) {
  Program genuine({application(), helper_.socket_path(), "serve"}, out_file("genuine"));
  ASSERT_TRUE(genuine.wait_out("reply\n", 30s)) << helper_.err();

  // Connects, forks; the parent execs the signed application, the child sends the command.
  std::optional<Program> attacker;
  while_helper_is_stopped([&] {
    attacker.emplace(std::vector<std::string>{KOLVARIS_CODESIGN_TEST_CLIENT, helper_.socket_path(),
                                              "fork-exec", application(), "-", "idle"},
                     out_file("attacker"));
    ASSERT_TRUE(wait_for_exe(attacker->pid(), application()));
  });
  EXPECT_TRUE(attacker->wait_out("closed\n", 30s)) << attacker->out();
  ASSERT_TRUE(wait_err(REFUSED + "the client end of the connection is also held by process "))
      << helper_.err();
  // One command ran: the genuine client's.
  std::string log = helper_.out();
  EXPECT_EQ(log.find("IPC: Command received"), log.rfind("IPC: Command received")) << log;
}

// Documented as possible once, for any user who can run the installed application: frames
// queued before the exec of the signed application were served. The inherited descriptor now
// refuses the connection before anything is read.
TEST_F(PeerBindingEndToEnd, FramesQueuedBeforeExecOfTheApplicationAreNotServed) {
  std::optional<Program> attacker;
  while_helper_is_stopped([&] {
    attacker.emplace(std::vector<std::string>{KOLVARIS_CODESIGN_TEST_CLIENT, helper_.socket_path(),
                                              "queue-exec", application(), "-", "idle"},
                     out_file("attacker"));
    ASSERT_TRUE(wait_for_exe(attacker->pid(), application()));
  });
  ASSERT_TRUE(wait_err(REFUSED + "the process holds the client end of the connection in "
                                 "descriptor "))
      << helper_.err();
  EXPECT_EQ(helper_.out().find("IPC: Command received"), std::string::npos) << helper_.out();
}

TEST_F(PeerBindingEndToEnd, PreloadThatErasesItselfFromTheEnvironmentIsRefused) {
  fs::path library = scratch_.path() / "libhelpful.so";
  fs::copy_file(KOLVARIS_ERASE_PRELOAD, library);
  ASSERT_EQ(::chown(library.c_str(), 65534, 65534), 0);
  Program client({application(), helper_.socket_path(), "serve"}, out_file("client"),
                 {"LD_PRELOAD=" + library.string()});
  EXPECT_TRUE(client.wait_out("closed\n", 30s)) << client.out();
  EXPECT_TRUE(wait_err(REFUSED + "the process maps " + library.string() +
                       ", which is neither sealed in its bundle nor a protected system file\n"))
      << helper_.err();
  EXPECT_EQ(helper_.out().find("IPC: Command received"), std::string::npos);
}

// What changes after the verification is caught before the next command.
TEST_F(PeerBindingEndToEnd, ChildForkedAfterVerificationStopsTheNextCommand) {
  Program client({application(), helper_.socket_path(), "serve", "fork"}, out_file("client"));
  EXPECT_TRUE(client.wait_out("reply\nclosed\n", 30s)) << client.out();
  EXPECT_TRUE(wait_err(REFUSED_AT_COMMAND +
                       "the client end of the connection is also held by process "))
      << helper_.err();
}

}  // namespace
