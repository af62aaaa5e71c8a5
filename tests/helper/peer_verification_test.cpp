// Verification of real peers over Unix sockets: a test client copied into a bundle and signed at
// test time, started in the ways an attacker would start it.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codesign/mapped_code.hpp"
#include "codesign_support.hpp"
#include "common/util/unique_fd.hpp"
#include "main/client_verification.hpp"
#include "platform/linux/code_signing_linux.hpp"

namespace {

using namespace codesign_test;
using common::util::UniqueFd;
using platform::linux_impl::LinuxCodeSigning;

constexpr std::string_view CHECK_PREFIX = "SecCodeCheckValidity failed with code: ";

// A child process that is killed and reaped when the object goes away.
class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  Child& operator=(Child&& other) noexcept {
    reap();
    pid_ = std::exchange(other.pid_, -1);
    return *this;
  }
  ~Child() { reap(); }
  pid_t pid() const { return pid_; }
  // Waits for the child to exit by itself and reaps it.
  void wait_exit() {
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  void reap() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
};

struct SpawnOptions {
  std::vector<std::string> environment;
  bool traced = false;          // started under ptrace, this process being the tracer
  std::optional<uid_t> run_as;  // user and group id to drop to before exec
};

Child spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& e : options.environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid == 0) {
    // The loader complains about some of the injected variables; keep the test output clean.
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 2);
    if (options.traced && ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(126);
    if (options.run_as) {
      gid_t gid = *options.run_as;
      if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(*options.run_as) != 0) {
        _exit(126);
      }
    }
    ::execve(args[0], args.data(), env.data());
    _exit(127);
  }
  if (pid > 0 && options.traced) {
    // The tracee stops at its exec; let it run on.
    int status;
    ::waitpid(pid, &status, 0);
    ::ptrace(PTRACE_CONT, pid, nullptr, nullptr);
  }
  return Child(pid);
}

class PeerVerificationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    others_ = new ScratchDir;
    ASSERT_TRUE(make_pki(others_->path() / "other-team",
                         "--team OTHERTEAM1 --issuer '" + test_pki() + "'"));
  }
  static void TearDownTestSuite() {
    delete others_;
    others_ = nullptr;
  }

  void SetUp() override {
    code_signing_ = std::make_unique<LinuxCodeSigning>(read_file(test_pki() + "/root.pem"));
    platform_.code_signing = code_signing_.get();
    // Reachable by an unprivileged client too.
    ::chmod(scratch_.path().c_str(), 0755);
    socket_path_ = (scratch_.path() / "helper.sock").string();
    listener_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::chmod(socket_path_.c_str(), 0666);
    ASSERT_EQ(::listen(listener_.get(), 8), 0);
    // As the socket unit asks for (and the helper sets on a listener without it).
    int on = 1;
    ASSERT_EQ(::setsockopt(listener_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on), 0);
  }

  // The test client as the main executable of a bundle, signed with PKI/LEAF unless `pki` is
  // empty.
  fs::path client_bundle(const std::string& name, const std::string& pki,
                         const std::string& leaf = "leaf") {
    fs::path bundle = scratch_.path() / name / "Kolvaris.app";
    write_file(bundle / "Contents/Info.plist",
               info_plist(std::string(common::CLIENT_BUNDLE_IDENTIFIER), "Kolvaris"));
    fs::create_directories(bundle / "Contents/MacOS");
    fs::copy_file(KOLVARIS_CODESIGN_TEST_CLIENT, bundle / MAIN_EXECUTABLE);
    ::chmod((bundle / MAIN_EXECUTABLE).c_str(), 0755);
    for (fs::path p = bundle / "Contents/MacOS"; p != scratch_.path(); p = p.parent_path()) {
      ::chmod(p.c_str(), 0755);
    }
    if (!pki.empty()) {
      EXPECT_TRUE(sign(bundle, pki, leaf).has_value());
    }
    return bundle;
  }

  Child start(const fs::path& executable, const SpawnOptions& options = {},
              const std::string& mode = "wait") {
    return spawn({executable.string(), socket_path_, mode}, options);
  }

  UniqueFd accept_peer() {
    pollfd p{listener_.get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return UniqueFd();
    return UniqueFd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

  std::string verify(int fd) {
    auto result = main_service::validate_client_code_signing(platform_, fd);
    return result ? std::string("accepted") : result.error().text();
  }

  // Connects the started client and verifies it.
  std::string verify_started(const Child& child) {
    EXPECT_GT(child.pid(), 0);
    UniqueFd connection = accept_peer();
    if (!connection) return "no connection";
    return verify(connection.get());
  }

  std::string recheck(const platform::PeerProcess& peer, int fd) {
    auto result = main_service::recheck_client_code_signing(platform_, peer, fd);
    return result ? std::string("accepted") : result.error().text();
  }

  // Takes what has arrived (waiting up to 10 s for the first byte) as the connection handler
  // does: "N bytes", why the bytes were refused, or "N bytes, then: " and why.
  std::string receive(const platform::PeerProcess& peer, int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return "nothing arrived";
    std::size_t total = 0;
    for (;;) {
      char buffer[512];
      auto got = main_service::receive_client_bytes(platform_, peer, fd, buffer);
      if (!got) {
        return total == 0 ? got.error().text()
                          : std::to_string(total) + " bytes, then: " + got.error().text();
      }
      if (got->would_block || got->size == 0) break;
      total += got->size;
    }
    return std::to_string(total) + " bytes";
  }

  // Waits until process `pid` runs `executable` (after an exec).
  static bool wait_for_exe(pid_t pid, const fs::path& executable) {
    auto exe = "/proc/" + std::to_string(pid) + "/exe";
    for (int i = 0; i < 1000; ++i) {
      std::error_code ignored;
      if (fs::read_symlink(exe, ignored) == executable) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  static std::string invalidated(std::string_view detail) {
    return check_failure(
        "-67063", "the identity of the running code has been invalidated: " + std::string(detail));
  }

  // The preload library copied where an ordinary user would keep it.
  fs::path user_library(const std::string& name) {
    fs::path library = scratch_.path() / name;
    fs::copy_file(KOLVARIS_ERASE_PRELOAD, library);
    EXPECT_EQ(::chown(library.c_str(), 65534, 65534), 0);
    return library;
  }

  static std::string check_failure(std::string_view code, std::string_view description) {
    return std::string(CHECK_PREFIX) + std::string(code) +
           " and error: " + std::string(description);
  }

  inline static ScratchDir* others_ = nullptr;
  ScratchDir scratch_;
  std::unique_ptr<LinuxCodeSigning> code_signing_;
  platform::Platform platform_;
  std::string socket_path_;
  UniqueFd listener_;
};

TEST_F(PeerVerificationTest, SignedClientIsAcceptedAsRootAndAsAnOrdinaryUser) {
  fs::path bundle = client_bundle("signed", test_pki());
  Child as_root = start(bundle / MAIN_EXECUTABLE);
  EXPECT_EQ(verify_started(as_root), "accepted");

  SpawnOptions nobody;
  nobody.run_as = 65534;
  Child as_user = start(bundle / MAIN_EXECUTABLE, nobody);
  EXPECT_EQ(verify_started(as_user), "accepted");
}

TEST_F(PeerVerificationTest, UnsignedAndUnbundledClientsAreRejected) {
  fs::path bundle = client_bundle("unsigned", "");
  Child unsigned_client = start(bundle / MAIN_EXECUTABLE);
  EXPECT_EQ(verify_started(unsigned_client),
            check_failure("-67062", "code object is not signed at all"));

  Child bare = start(KOLVARIS_CODESIGN_TEST_CLIENT);
  EXPECT_EQ(verify_started(bare),
            check_failure("-67062", "code object is not signed at all: the executable " +
                                        std::string(KOLVARIS_CODESIGN_TEST_CLIENT) +
                                        " is not inside a bundle"));
}

TEST_F(PeerVerificationTest, ClientOfAnotherTeamIsRejected) {
  fs::path bundle = client_bundle("other-team", (others_->path() / "other-team").string());
  Child client = start(bundle / MAIN_EXECUTABLE);
  EXPECT_EQ(verify_started(client),
            check_failure("-67050", "code failed to satisfy specified code requirement(s)"));
}

TEST_F(PeerVerificationTest, ClientsStartedWithLoaderInjectionAreRejected) {
  fs::path bundle = client_bundle("signed", test_pki());
  for (std::string variable : {"LD_PRELOAD", "LD_AUDIT", "LD_LIBRARY_PATH"}) {
    SpawnOptions options;
    options.environment = {"HOME=/",
                           variable + "=" +
                               (variable == "LD_LIBRARY_PATH" ? std::string("/nonexistent")
                                                              : std::string("libc.so.6"))};
    Child client = start(bundle / MAIN_EXECUTABLE, options);
    EXPECT_EQ(verify_started(client),
              check_failure("-67063",
                            "the identity of the running code has been invalidated: "
                            "the process was started with " +
                                variable + " set, which loads code its signature does not cover"))
        << variable;
  }
}

TEST_F(PeerVerificationTest, TracedClientIsRejected) {
  fs::path bundle = client_bundle("signed", test_pki());
  SpawnOptions options;
  options.traced = true;
  Child client = start(bundle / MAIN_EXECUTABLE, options);
  EXPECT_EQ(verify_started(client),
            check_failure("-67063",
                          "the identity of the running code has been invalidated: the "
                          "process is being traced by process " +
                              std::to_string(::getpid())));
}

TEST_F(PeerVerificationTest, PeerThatHasExitedHasNoCode) {
  fs::path bundle = client_bundle("signed", test_pki());
  Child client = start(bundle / MAIN_EXECUTABLE, {}, "exit");
  client.wait_exit();  // exited and reaped: its pid may already name another process
  UniqueFd connection = accept_peer();
  ASSERT_TRUE(connection);
  EXPECT_EQ(verify(connection.get()), "SecCodeCopyGuestWithAttributes failed with code: -67065");
}

TEST_F(PeerVerificationTest, ClientThatExecsAnotherProgramIsJudgedByTheNewProgram) {
  fs::path bundle = client_bundle("signed", test_pki());
  // The signed client connects, then replaces itself with a program outside any bundle.
  Child client =
      spawn({(bundle / MAIN_EXECUTABLE).string(), socket_path_, "exec", "/bin/sleep", "30"}, {});
  UniqueFd connection = accept_peer();
  ASSERT_TRUE(connection);
  auto exe = "/proc/" + std::to_string(client.pid()) + "/exe";
  std::error_code ignored;
  for (int i = 0; i < 500 && fs::read_symlink(exe, ignored).string() != "/usr/bin/sleep"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(verify(connection.get()),
            check_failure("-67062",
                          "code object is not signed at all: the executable /usr/bin/sleep is "
                          "not inside a bundle"));
}

TEST_F(PeerVerificationTest, RunningExecutableMustBeTheSealedOne) {
  fs::path bundle = client_bundle("signed", test_pki());
  Child client = start(bundle / MAIN_EXECUTABLE);
  UniqueFd connection = accept_peer();
  ASSERT_TRUE(connection);

  // The bundle is updated under the running process and signed again: the signature is valid,
  // but what runs is no longer what it seals.
  fs::path replacement = bundle / "Contents/MacOS/Kolvaris.new";
  fs::copy_file("/bin/sleep", replacement);
  fs::rename(replacement, bundle / MAIN_EXECUTABLE);
  ASSERT_TRUE(sign(bundle, test_pki()).has_value());
  EXPECT_EQ(verify(connection.get()),
            check_failure("-67034",
                          "the code on disk does not match what is running: the "
                          "running executable differs from the sealed "
                          "Contents/MacOS/Kolvaris"));
}

TEST_F(PeerVerificationTest, ConcurrentVerificationsShareNothing) {
  fs::path good = client_bundle("signed", test_pki());
  fs::path bad = client_bundle("unsigned", "");
  std::vector<Child> children;
  std::vector<UniqueFd> connections;
  std::vector<pid_t> pids;
  for (int i = 0; i < 6; ++i) {
    children.push_back(start((i % 2 ? bad : good) / MAIN_EXECUTABLE));
    connections.push_back(accept_peer());
    ASSERT_TRUE(connections.back());
  }
  std::vector<std::string> results(connections.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < connections.size(); ++i) {
    threads.emplace_back([&, i] { results[i] = verify(connections[i].get()); });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < connections.size(); ++i) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    ::getsockopt(connections[i].get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length);
    std::size_t which = 0;
    while (which < children.size() && children[which].pid() != credentials.pid) ++which;
    ASSERT_LT(which, children.size());
    EXPECT_EQ(results[i], which % 2 ? check_failure("-67062", "code object is not signed at all")
                                    : std::string("accepted"));
  }
}

// The attack of a process that connects, forks, and execs the signed application: the helper
// sees the signed code at the pid that connected, while the child holds the same connection.
// The descriptor the application inherited gives it away before any byte is read; had the
// application closed it, it would not hold its connection at all.
TEST_F(PeerVerificationTest, ConnectionInheritedByTheApplicationFromAForkingAttackerIsRefused) {
  fs::path bundle = client_bundle("signed", test_pki());
  Child attacker = spawn({KOLVARIS_CODESIGN_TEST_CLIENT, socket_path_, "fork-exec",
                          (bundle / MAIN_EXECUTABLE).string(), "-", "idle"},
                         {});
  UniqueFd connection = accept_peer();
  ASSERT_TRUE(connection);
  ASSERT_TRUE(wait_for_exe(attacker.pid(), bundle / MAIN_EXECUTABLE));
  std::string verdict = verify(connection.get());
  EXPECT_TRUE(verdict.starts_with(
      invalidated("the process holds the client end of the connection in descriptor ")))
      << verdict;
}

// A frame queued on a close-on-exec connection, kept open by a child, before the exec of the
// application: the application does not hold the connection its pid made.
TEST_F(PeerVerificationTest, ConnectionLeftToAChildBeforeTheExecIsRefused) {
  fs::path bundle = client_bundle("signed", test_pki());
  Child attacker = spawn({KOLVARIS_CODESIGN_TEST_CLIENT, socket_path_, "queue-fork-exec",
                          (bundle / MAIN_EXECUTABLE).string(), "-", "idle"},
                         {});
  UniqueFd connection = accept_peer();
  ASSERT_TRUE(connection);
  ASSERT_TRUE(wait_for_exe(attacker.pid(), bundle / MAIN_EXECUTABLE));
  EXPECT_EQ(verify(connection.get()),
            invalidated("the process does not hold the client end of the connection"));
}

// Bytes are taken only from the verified process, whichever process holds the connection: a
// child's bytes are refused with both pids named, however the frame is split.
TEST_F(PeerVerificationTest, BytesWrittenByAChildAreRefusedNamingBothProcesses) {
  fs::path bundle = client_bundle("signed", test_pki());
  for (std::string mode : {"child-writes", "child-finishes"}) {
    SCOPED_TRACE(mode);
    Child client = spawn({(bundle / MAIN_EXECUTABLE).string(), socket_path_, "serve", mode}, {});
    UniqueFd connection = accept_peer();
    ASSERT_TRUE(connection);
    auto peer = main_service::verify_client_code_signing(platform_, connection.get());
    ASSERT_TRUE(peer) << peer.error().text();
    EXPECT_EQ(receive(**peer, connection.get()), "110 bytes");
    const char reply[] = "\0\0\0\x0d{\"type\":\"Err\"}";
    ASSERT_EQ(::write(connection.get(), reply, sizeof reply - 1),
              static_cast<ssize_t>(sizeof reply - 1));
    std::string verdict = receive(**peer, connection.get());
    // The client's own half is taken, in a read of its own; the child's is not.
    if (mode == "child-finishes") {
      if (verdict == "55 bytes") verdict = receive(**peer, connection.get());
      const std::string own_half = "55 bytes, then: ";
      if (verdict.starts_with(own_half)) verdict = verdict.substr(own_half.size());
    }
    const std::string prefix = "process ";
    const std::string suffix =
        " wrote bytes on the connection of the verified process " + std::to_string(client.pid());
    ASSERT_TRUE(verdict.starts_with(prefix) && verdict.ends_with(suffix)) << verdict;
    pid_t writer = std::stoi(verdict.substr(prefix.size()));
    EXPECT_NE(writer, client.pid());
  }
}

// Frames queued before an exec arrive from a process that, by the time it is looked at, runs the
// signed code; the descriptor it inherited is what gives it away.
TEST_F(PeerVerificationTest, ConnectionInheritedAcrossExecIsRefused) {
  fs::path bundle = client_bundle("signed", test_pki());
  Child attacker = spawn({KOLVARIS_CODESIGN_TEST_CLIENT, socket_path_, "queue-exec",
                          (bundle / MAIN_EXECUTABLE).string(), "-", "idle"},
                         {});
  UniqueFd connection = accept_peer();
  ASSERT_TRUE(connection);
  ASSERT_TRUE(wait_for_exe(attacker.pid(), bundle / MAIN_EXECUTABLE));
  std::string verdict = verify(connection.get());
  EXPECT_TRUE(verdict.starts_with(
      invalidated("the process holds the client end of the connection in descriptor ")))
      << verdict;
  EXPECT_TRUE(verdict.ends_with(
      ", which is kept across exec: it may have been inherited with frames queued by the program "
      "that ran before"))
      << verdict;
}

TEST_F(PeerVerificationTest, DumpableClientOfAnOrdinaryUserIsRefused) {
  fs::path bundle = client_bundle("signed", test_pki());
  SpawnOptions options;
  options.run_as = 65534;
  options.environment = {"KOLVARIS_TEST_CLIENT_DUMPABLE=1"};
  Child client = start(bundle / MAIN_EXECUTABLE, options);
  EXPECT_EQ(verify_started(client),
            invalidated("the process is dumpable, so processes of its user can trace it or take "
                        "its connection"));
}

// A preloaded library that renames LD_PRELOAD in the process's own environment passes an
// environment check; what the process has mapped still shows it.
TEST_F(PeerVerificationTest, PreloadThatErasesItselfFromTheEnvironmentIsRefused) {
  fs::path bundle = client_bundle("signed", test_pki());
  fs::path library = user_library("libhelpful.so");
  SpawnOptions options;
  options.environment = {"LD_PRELOAD=" + library.string()};
  Child client = start(bundle / MAIN_EXECUTABLE, options);
  UniqueFd connection = accept_peer();
  ASSERT_TRUE(connection);
  std::string environ = read_file("/proc/" + std::to_string(client.pid()) + "/environ");
  EXPECT_EQ(environ.find("LD_PRELOAD="), std::string::npos) << "the library did not hide itself";
  EXPECT_NE(environ.find("XD_PRELOAD="), std::string::npos);
  EXPECT_EQ(verify(connection.get()),
            invalidated("the process maps " + library.string() +
                        ", which is neither sealed in its bundle nor a protected system file"));
}

TEST_F(PeerVerificationTest, LibrarySealedInTheBundleIsAcceptedUntilItIsChanged) {
  fs::path bundle = client_bundle("signed", "");
  fs::path library = bundle / "Contents/Frameworks/libsealed.so";
  fs::create_directories(library.parent_path());
  fs::copy_file(KOLVARIS_ERASE_PRELOAD, library);
  ASSERT_TRUE(sign(bundle, test_pki()).has_value());
  SpawnOptions options;
  options.environment = {"LD_PRELOAD=" + library.string()};
  Child sealed_client = start(bundle / MAIN_EXECUTABLE, options);
  EXPECT_EQ(verify_started(sealed_client), "accepted");

  // Changed after signing (an appended byte keeps it loadable): no longer the sealed library.
  std::ofstream(library, std::ios::app) << '\0';
  Child changed_client = start(bundle / MAIN_EXECUTABLE, options);
  EXPECT_EQ(verify_started(changed_client),
            invalidated("the process maps " + library.string() +
                        ", which is neither sealed in its bundle nor a protected system file"));
}

// Before each command the connection is checked again, without reading the bundle: code loaded
// since the verification is caught, a child that merely holds the connection is not (it writes
// nothing that would be taken), a bundle replaced on disk is not held against the process that
// still runs the verified code.
TEST_F(PeerVerificationTest, RecheckCatchesWhatChangedSinceTheVerification) {
  fs::path bundle = client_bundle("signed", test_pki());
  fs::path library = user_library("libplugin.so");
  Child loader = spawn(
      {(bundle / MAIN_EXECUTABLE).string(), socket_path_, "serve", "dlopen", library.string()}, {});
  Child forker = spawn({(bundle / MAIN_EXECUTABLE).string(), socket_path_, "serve", "fork"}, {});
  for (int i = 0; i < 2; ++i) {
    UniqueFd connection = accept_peer();
    ASSERT_TRUE(connection);
    ucred credentials{};
    socklen_t length = sizeof credentials;
    ::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length);
    auto peer = main_service::verify_client_code_signing(platform_, connection.get());
    ASSERT_TRUE(peer) << peer.error().text();
    // First command: nothing has changed yet.
    ASSERT_EQ(receive(**peer, connection.get()), "110 bytes");
    ASSERT_EQ(recheck(**peer, connection.get()), "accepted");
    const char reply[] = "\0\0\0\x0d{\"type\":\"Err\"}";
    ASSERT_EQ(::write(connection.get(), reply, sizeof reply - 1),
              static_cast<ssize_t>(sizeof reply - 1));
    // Second command, sent after the client loaded a library or forked.
    ASSERT_EQ(receive(**peer, connection.get()), "110 bytes");
    std::string verdict = recheck(**peer, connection.get());
    if (credentials.pid == loader.pid()) {
      EXPECT_EQ(verdict, invalidated("the process maps " + library.string() +
                                     ", which is neither sealed in its bundle nor a protected "
                                     "system file"));
    } else {
      EXPECT_EQ(verdict, "accepted");
    }
  }
}

// The check before a command judges again only what changed, but a mapped library changed in
// place (same file, same size) is a change. Only a file another than root could write can
// change so: the library here is one, as its user's own or as one its group may write.
TEST_F(PeerVerificationTest, RecheckCatchesASealedLibraryChangedInPlace) {
  const std::pair<uid_t, fs::perms> writable_by_another[] = {
      {65534, fs::perms(0644)},
      {0, fs::perms(0664)},
  };
  for (const auto& [owner, mode] : writable_by_another) {
    SCOPED_TRACE("owner " + std::to_string(owner) + ", mode " +
                 std::to_string(static_cast<unsigned>(mode)));
    fs::path bundle = client_bundle("signed" + std::to_string(owner), "");
    fs::path library = bundle / "Contents/Frameworks/libsealed.so";
    fs::create_directories(library.parent_path());
    fs::copy_file(KOLVARIS_ERASE_PRELOAD, library);
    ASSERT_EQ(::chown(library.c_str(), owner, 0), 0);
    fs::permissions(library, mode);
    ASSERT_TRUE(sign(bundle, test_pki()).has_value());
    SpawnOptions options;
    options.environment = {"LD_PRELOAD=" + library.string()};
    Child client = start(bundle / MAIN_EXECUTABLE, options);
    UniqueFd connection = accept_peer();
    ASSERT_TRUE(connection);
    auto peer = main_service::verify_client_code_signing(platform_, connection.get());
    ASSERT_TRUE(peer) << peer.error().text();
    EXPECT_EQ(recheck(**peer, connection.get()), "accepted");
    EXPECT_EQ(recheck(**peer, connection.get()), "accepted");

    std::string bytes = read_file(library);
    bytes[bytes.size() - 1] ^= 1;  // one byte changed, the size kept
    {
      std::ofstream out(library, std::ios::binary | std::ios::in | std::ios::out);
      out.seekp(static_cast<std::streamoff>(bytes.size() - 1));
      out.put(bytes.back());
    }
    EXPECT_EQ(recheck(**peer, connection.get()),
              invalidated("the process maps " + library.string() +
                          ", which is neither sealed in its bundle nor a protected system file"));
  }
}

// The library's owner moves it away and puts a link in its place, then races renames and links
// over the name while it changes the library through a descriptor opened before: the check
// follows what is mapped, never the name. The move alone changes no verdict; the change is
// caught every time, wherever the name points.
TEST_F(PeerVerificationTest, RecheckFollowsTheMappingWhileItsOwnerRacesRenamesAndLinks) {
  fs::path bundle = client_bundle("raced", "");
  fs::path frameworks = bundle / "Contents/Frameworks";
  fs::path library = frameworks / "libsealed.so";
  fs::create_directories(frameworks);
  fs::copy_file(KOLVARIS_ERASE_PRELOAD, library);
  ASSERT_EQ(::chown(library.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown(frameworks.c_str(), 65534, 65534), 0);
  ASSERT_TRUE(sign(bundle, test_pki()).has_value());
  SpawnOptions options;
  options.environment = {"LD_PRELOAD=" + library.string()};
  Child client = start(bundle / MAIN_EXECUTABLE, options);
  UniqueFd connection = accept_peer();
  ASSERT_TRUE(connection);
  auto peer = main_service::verify_client_code_signing(platform_, connection.get());
  ASSERT_TRUE(peer) << peer.error().text();

  // 0: move the library and link its name; 1: moved; 2: change it; 3: changed, racing; 4: stop.
  auto* phase = static_cast<std::atomic<int>*>(::mmap(nullptr, sizeof(std::atomic<int>),
                                                      PROT_READ | PROT_WRITE,
                                                      MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(phase, MAP_FAILED);
  new (phase) std::atomic<int>(0);
  auto wait_for = [phase](int at_least) {
    while (phase->load() < at_least) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  const std::string name = library.string();
  const std::string moved = name + ".moved";
  pid_t attacker = ::fork();
  ASSERT_GE(attacker, 0);
  if (attacker == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    int held = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (held < 0) ::_exit(3);
    const char* decoys[] = {"/etc/shadow", "/usr/bin/true", "."};
    auto link_name = [&](unsigned i) {
      return ::rename(name.c_str(), moved.c_str()) == 0 &&
             ::symlink(decoys[i % 3], name.c_str()) == 0;
    };
    if (!link_name(0)) ::_exit(4);
    phase->store(1);
    while (phase->load() < 2) {
    }
    unsigned char last = 0;
    const off_t end = ::lseek(held, 0, SEEK_END) - 1;
    if (::pread(held, &last, 1, end) != 1) ::_exit(5);
    last ^= 1;
    if (::pwrite(held, &last, 1, end) != 1) ::_exit(6);
    phase->store(3);
    for (unsigned i = 1; phase->load() != 4; ++i) {
      (void)::unlink(name.c_str());
      (void)::rename(moved.c_str(), name.c_str());
      (void)link_name(i);
    }
    ::_exit(0);
  }
  wait_for(1);
  EXPECT_EQ(recheck(**peer, connection.get()), "accepted");
  EXPECT_EQ(recheck(**peer, connection.get()), "accepted");
  phase->store(2);
  wait_for(3);
  const std::string refused = invalidated("the process maps ");
  for (int i = 0; i < 50; ++i) {
    const std::string verdict = recheck(**peer, connection.get());
    EXPECT_TRUE(verdict.starts_with(refused) &&
                verdict.ends_with(", which is neither sealed in its bundle nor a protected "
                                  "system file"))
        << "check " << i << ": " << verdict;
  }
  phase->store(4);
  int status = -1;
  ASSERT_EQ(::waitpid(attacker, &status, 0), attacker);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ::munmap(phase, sizeof(std::atomic<int>));
}

TEST_F(PeerVerificationTest, RecheckAcceptsTheVerifiedProcessAfterItsBundleWasReplaced) {
  fs::path bundle = client_bundle("signed", test_pki());
  Child client = start(bundle / MAIN_EXECUTABLE);
  UniqueFd connection = accept_peer();
  ASSERT_TRUE(connection);
  auto peer = main_service::verify_client_code_signing(platform_, connection.get());
  ASSERT_TRUE(peer) << peer.error().text();

  // An update swaps a new version into place and removes the old one, executable included.
  fs::path update = client_bundle("update", "");
  fs::copy_file("/bin/sleep", update / MAIN_EXECUTABLE, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(sign(update, test_pki()).has_value());
  fs::remove_all(bundle);
  fs::rename(update, bundle);
  EXPECT_EQ(recheck(**peer, connection.get()), "accepted");

  // A fresh verification judges the process against what is on disk now.
  EXPECT_EQ(verify(connection.get()),
            check_failure("-67034",
                          "the code on disk does not match what is running: the running "
                          "executable differs from the sealed Contents/MacOS/Kolvaris"));
}

// The version a minimum is judged by is the sealed one the verification read: an information
// list written over the bundle's path afterwards, unsealed and claiming a newer build, is not it.
TEST_F(PeerVerificationTest, VersionIsTheSealedOneReadAtVerificationNotWhatThePathHoldsLater) {
  fs::path bundle = client_bundle("signed", test_pki());
  Child client = start(bundle / MAIN_EXECUTABLE);
  UniqueFd connection = accept_peer();
  ASSERT_TRUE(connection);
  auto peer = code_signing_->copy_peer_process(connection.get());
  ASSERT_TRUE(peer);
  auto guest = code_signing_->copy_guest_code(**peer);
  auto requirement =
      code_signing_->create_requirement(std::string(common::CLIENT_CODE_REQUIREMENT));
  ASSERT_TRUE(guest && requirement);
  ASSERT_TRUE(code_signing_->check_guest_validity(**guest, **requirement).has_value());

  write_file(bundle / "Contents/Info.plist",
             info_plist(std::string(common::CLIENT_BUNDLE_IDENTIFIER), "Kolvaris", "99.0"));
  auto facts = code_signing_->copy_guest_signing_facts(**guest);
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts->bundle_version, std::optional<std::string>("1.0"));
}

TEST(CodeInjectingVariables, GlibcsUnsafeListIsRefusedAndOnlyByExactName) {
  using platform::linux_impl::is_code_injecting_variable;
  for (const char* name : {"GCONV_PATH",       "GETCONF_DIR",   "HOSTALIASES",
                           "LD_AUDIT",         "LD_DEBUG",      "LD_DEBUG_OUTPUT",
                           "LD_DYNAMIC_WEAK",  "LD_HWCAP_MASK", "LD_LIBRARY_PATH",
                           "LD_ORIGIN_PATH",   "LD_PRELOAD",    "LD_PROFILE",
                           "LD_SHOW_AUXV",     "LOCALDOMAIN",   "LOCPATH",
                           "MALLOC_TRACE",     "NIS_PATH",      "NLSPATH",
                           "RESOLV_HOST_CONF", "RES_OPTIONS",   "TZDIR"}) {
    EXPECT_TRUE(is_code_injecting_variable(std::string(name) + "=")) << name;
    EXPECT_FALSE(is_code_injecting_variable(std::string(name) + "X=1")) << name;
    EXPECT_FALSE(is_code_injecting_variable(std::string("X") + name + "=1")) << name;
  }
  EXPECT_FALSE(is_code_injecting_variable("LD_PRELOAD"));  // no value: not a variable
  EXPECT_FALSE(is_code_injecting_variable("HOME=/"));
  EXPECT_FALSE(is_code_injecting_variable("TMPDIR=/tmp/user-1000"));
}

}  // namespace
