// Attacks on the binding between a connection and the verified application, tried against the
// real helper binary with the test client signed as the application.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
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
const std::string BYTES_REFUSED =
    "IPC: Client connection closed with error: Client bytes refused: ";
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
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  // Waits for the process to exit and reaps it.
  void reap() {
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
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

  // How many commands the helper has begun to run.
  std::size_t commands_received() const {
    const std::string log = helper_.out();
    std::size_t count = 0;
    for (auto at = log.find("IPC: Command received"); at != std::string::npos;
         at = log.find("IPC: Command received", at + 1)) {
      ++count;
    }
    return count;
  }

  codesign_test::ScratchDir scratch_;
  test_support::TempDir helper_dir_;
  ActivatedHelper helper_{KOLVARIS_HELPER_BINARY, helper_dir_.path()};
  fs::path bundle_;
};

TEST_F(PeerBindingEndToEnd, SignedClientIsServedAndForkAfterConnectIsRefused) {
  Program genuine({application(), helper_.socket_path(), "serve"}, out_file("genuine"));
  ASSERT_TRUE(genuine.wait_out("reply\n", 30s)) << helper_.err();

  // Connects, forks; the parent execs the signed application, the child sends the command. The
  // application holds the connection in the descriptor it inherited.
  std::optional<Program> attacker;
  while_helper_is_stopped([&] {
    attacker.emplace(std::vector<std::string>{KOLVARIS_CODESIGN_TEST_CLIENT, helper_.socket_path(),
                                              "fork-exec", application(), "-", "idle"},
                     out_file("attacker"));
    ASSERT_TRUE(wait_for_exe(attacker->pid(), application()));
  });
  EXPECT_TRUE(attacker->wait_out("closed\n", 30s)) << attacker->out();
  ASSERT_TRUE(wait_err(REFUSED + "the process holds the client end of the connection in "
                                 "descriptor "))
      << helper_.err();
  // One command ran: the genuine client's.
  EXPECT_EQ(commands_received(), 1u) << helper_.out();
}

// The signed application forks after it was verified and served: the child's bytes are refused
// whether it writes a whole frame or finishes one the application began.
TEST_F(PeerBindingEndToEnd, BytesOfAChildForkedAfterConnectAreRefused) {
  for (std::string mode : {"child-writes", "child-finishes"}) {
    SCOPED_TRACE(mode);
    const std::size_t before = commands_received();
    Program client({application(), helper_.socket_path(), "serve", mode}, out_file(mode));
    EXPECT_TRUE(client.wait_out("reply\nclosed\n", 30s)) << client.out();
    ASSERT_TRUE(wait_err(BYTES_REFUSED + "process ")) << helper_.err();
    const std::string err = helper_.err();
    const std::string suffix = " wrote bytes on the connection of the verified process " +
                               std::to_string(client.pid()) + "\n";
    EXPECT_NE(err.find(suffix), std::string::npos) << err;
    EXPECT_EQ(commands_received(), before + 1) << helper_.out();
  }
}

namespace {

// A listening socket of the test's own, for a client to hand its connection to.
class Receiver {
 public:
  explicit Receiver(const std::string& path) : path_(path) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 1);
  }
  ~Receiver() {
    if (channel_ >= 0) ::close(channel_);
    ::close(listener_);
  }
  const std::string& path() const { return path_; }

  // The connection the client sends, or -1.
  int take() {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 30000) != 1) return -1;
    channel_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    char byte;
    iovec io{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(channel_, &message, MSG_CMSG_CLOEXEC) != 1) return -1;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    if (c == nullptr || c->cmsg_type != SCM_RIGHTS) return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
  }
  // Hands `fd` back to the client.
  bool give_back(int fd) {
    char byte = 'f';
    iovec io{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    return ::sendmsg(channel_, &message, MSG_NOSIGNAL) == 1;
  }

 private:
  std::string path_;
  int listener_ = -1;
  int channel_ = -1;
};

const char FRAME[] =
    "\0\0\0\x6a{\"type\":\"ReplaceAppAtomic\",\"source_path\":\"/nonexistent/New.app\","
    "\"destination_path\":\"/nonexistent/Old.app\"}";

bool write_frame(int fd) {
  return ::send(fd, FRAME, sizeof FRAME - 1, MSG_NOSIGNAL) ==
         static_cast<ssize_t>(sizeof FRAME - 1);
}

}  // namespace

// Between two commands the application passes its connection to another process, which writes
// a frame on it and passes it back: those bytes are refused, naming both processes.
TEST_F(PeerBindingEndToEnd, FramePassedInFromAnotherProcessIsRefused) {
  Receiver receiver(out_file("receiver.sock").string());
  Program client({application(), helper_.socket_path(), "serve", "pass", receiver.path()},
                 out_file("client"));
  int connection = receiver.take();
  ASSERT_GE(connection, 0) << client.out();
  ASSERT_TRUE(write_frame(connection));
  ASSERT_TRUE(receiver.give_back(connection));
  ::close(connection);
  EXPECT_TRUE(client.wait_out("reply\nclosed\n", 30s)) << client.out();
  EXPECT_TRUE(wait_err(BYTES_REFUSED + "process " + std::to_string(::getpid()) +
                       " wrote bytes on the connection of the verified process " +
                       std::to_string(client.pid()) + "\n"))
      << helper_.err();
  EXPECT_EQ(commands_received(), 1u) << helper_.out();
}

// The verified application hands its connection on and exits; a process that then gets the same
// pid number writes on it. The kernel's pidfd of the writer tells the two apart.
TEST_F(PeerBindingEndToEnd, ProcessReusingTheVerifiedPidIsRefused) {
  Receiver receiver(out_file("receiver.sock").string());
  Program client({application(), helper_.socket_path(), "serve", "hand-off", receiver.path()},
                 out_file("client"));
  int connection = receiver.take();
  ASSERT_GE(connection, 0) << client.out();
  const pid_t verified = client.pid();
  client.reap();
  // The next pid handed out is `verified` again, unless another process takes it first.
  pid_t writer = -1;
  for (int attempt = 0; attempt < 20 && writer != verified; ++attempt) {
    std::ofstream("/proc/sys/kernel/ns_last_pid") << (verified - 1);
    writer = ::fork();
    if (writer == 0) ::_exit(0);
    ::waitpid(writer, nullptr, 0);
  }
  if (writer == verified) {
    std::ofstream("/proc/sys/kernel/ns_last_pid") << (verified - 1);
  } else {
    std::fprintf(stderr, "note: pid %d was not handed out again; judged as another writer\n",
                 static_cast<int>(verified));
  }
  writer = ::fork();
  if (writer == 0) ::_exit(write_frame(connection) ? 0 : 1);
  int status = 0;
  ::waitpid(writer, &status, 0);
  ::close(connection);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  if (writer == verified) {
    EXPECT_TRUE(wait_err(BYTES_REFUSED + "a process that reuses the pid of the verified process " +
                         std::to_string(verified) + " wrote bytes on its connection\n"))
        << helper_.err();
  } else {
    // Another process took the pid meanwhile: still a writer other than the verified process.
    EXPECT_TRUE(wait_err(BYTES_REFUSED + "process " + std::to_string(writer) +
                         " wrote bytes on the connection of the verified process " +
                         std::to_string(verified) + "\n"))
        << helper_.err();
  }
  EXPECT_EQ(commands_received(), 1u) << helper_.out();
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

// The same with the connection opened close-on-exec and kept open by a child: the application
// does not hold the connection its pid made, so the frame queued before the exec is not served.
TEST_F(PeerBindingEndToEnd, FramesQueuedBeforeExecOnAConnectionLeftToAChildAreNotServed) {
  std::optional<Program> attacker;
  while_helper_is_stopped([&] {
    attacker.emplace(std::vector<std::string>{KOLVARIS_CODESIGN_TEST_CLIENT, helper_.socket_path(),
                                              "queue-fork-exec", application(), "-", "idle"},
                     out_file("attacker"));
    ASSERT_TRUE(wait_for_exe(attacker->pid(), application()));
  });
  ASSERT_TRUE(wait_err(REFUSED + "the process does not hold the client end of the connection\n"))
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

// A child that only holds the connection changes nothing the helper takes: the application's
// next command is its own and is served.
TEST_F(PeerBindingEndToEnd, ChildThatOnlyHoldsTheConnectionDoesNotStopTheNextCommand) {
  Program client({application(), helper_.socket_path(), "serve", "fork"}, out_file("client"));
  EXPECT_TRUE(client.wait_out("reply\nreply\n", 30s)) << client.out() << helper_.err();
  EXPECT_EQ(commands_received(), 2u) << helper_.out();
}

}  // namespace
