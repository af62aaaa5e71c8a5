#include "util/launchd/socket_activation.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <asio/io_context.hpp>
#include <cstdlib>
#include <functional>

#include "platform/linux/activation_linux.hpp"
#include "test_support.hpp"

namespace {

using util::launchd::unix_listener_for_socket_name;

// Answers with the scripted descriptors, which become the caller's.
struct ScriptedActivation : platform::Activation {
  std::expected<std::vector<int>, int> answer;
  std::expected<std::vector<common::util::UniqueFd>, int> activate_socket(const char*) override {
    if (!answer) return std::unexpected(answer.error());
    std::vector<common::util::UniqueFd> fds;
    for (int fd : *answer) fds.emplace_back(fd);
    return fds;
  }
};

std::string error_for(std::expected<std::vector<int>, int> answer) {
  asio::io_context io;
  ScriptedActivation activation;
  activation.answer = std::move(answer);
  auto r = unix_listener_for_socket_name(activation, io.get_executor(), "Primary");
  return r ? std::string("ok") : r.error().text();
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(SocketActivation, ManagerFailuresBecomeTheirTexts) {
  EXPECT_EQ(error_for(std::unexpected(ENOENT)),
            "There was no socket of the specified name owned by the caller");
  EXPECT_EQ(error_for(std::unexpected(ESRCH)), "The caller isn't a process managed by launchd");
  EXPECT_EQ(error_for(std::unexpected(EALREADY)),
            "The socket has already been activated by the caller");
  EXPECT_EQ(error_for(std::unexpected(22)), "Unknown socket error: 22");
  EXPECT_EQ(error_for(std::vector<int>{}), "Launchd socket \"Primary\" not found");
}

TEST(SocketActivation, TwoDescriptorsAreBothClosed) {
  test_support::TempDir dir;
  auto a = test_support::listen_unix((dir.path() / "a").string());
  auto b = test_support::listen_unix((dir.path() / "b").string());
  int fa = a.release(), fb = b.release();
  EXPECT_EQ(error_for(std::vector<int>{fa, fb}),
            "Launchd socket \"Primary\" must be unique, but found 2 sockets");
  EXPECT_FALSE(is_open(fa));
  EXPECT_FALSE(is_open(fb));
}

TEST(SocketActivation, OneDescriptorBecomesANonBlockingListenerThatAccepts) {
  test_support::TempDir dir;
  const std::string path = (dir.path() / "s.sock").string();
  auto fd = test_support::listen_unix(path);
  const int raw = fd.release();
  asio::io_context io;
  ScriptedActivation activation;
  activation.answer = std::vector<int>{raw};
  auto listener = unix_listener_for_socket_name(activation, io.get_executor(), "Primary");
  ASSERT_TRUE(listener);
  EXPECT_EQ(listener->native_handle(), raw);
  EXPECT_TRUE(::fcntl(raw, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(listener->local_endpoint().path(), path);
  auto client = test_support::connect_unix(path);
  asio::error_code ec;
  auto accepted = listener->accept(ec);
  EXPECT_FALSE(ec);
  auto none = listener->accept(ec);  // non-blocking: an empty backlog answers at once
  EXPECT_EQ(ec, asio::error::would_block);
}

// systemd's protocol is read once per process, so each case runs in a child of its own.
int in_child(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

TEST(SystemdActivation, NamesEnvironmentAndRepeatedActivation) {
  test_support::TempDir dir;
  // Not socket-activated at all.
  EXPECT_EQ(in_child([] {
              ::unsetenv("LISTEN_FDS");
              ::unsetenv("LISTEN_PID");
              platform::linux_impl::SystemdActivation a;
              return a.activate_socket("Primary").error() == ESRCH ? 0 : 1;
            }),
            0);
  // One socket named Primary: handed over once, then EALREADY; the environment is gone.
  EXPECT_EQ(in_child([&] {
              auto fd = test_support::listen_unix((dir.path() / "p").string());
              if (::dup2(fd.get(), 3) != 3) return 10;
              ::setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
              ::setenv("LISTEN_FDS", "1", 1);
              ::setenv("LISTEN_FDNAMES", "Primary", 1);
              platform::linux_impl::SystemdActivation a;
              auto first = a.activate_socket("Primary");
              if (!first || first->size() != 1 || first->front().get() != 3) return 11;
              if (a.activate_socket("Primary").error() != EALREADY) return 12;
              if (std::getenv("LISTEN_FDS") != nullptr) return 13;
              return 0;
            }),
            0);
  // Sockets under other names only.
  EXPECT_EQ(in_child([&] {
              auto fd = test_support::listen_unix((dir.path() / "q").string());
              if (::dup2(fd.get(), 3) != 3) return 10;
              ::setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
              ::setenv("LISTEN_FDS", "1", 1);
              ::setenv("LISTEN_FDNAMES", "Secondary", 1);
              platform::linux_impl::SystemdActivation a;
              return a.activate_socket("Primary").error() == ENOENT ? 0 : 1;
            }),
            0);
}

}  // namespace
