#pragma once
// Starts the helper the way a socket-activating service manager does: the listening socket on
// descriptor 3, LISTEN_PID / LISTEN_FDS / LISTEN_FDNAMES=Primary, standard output and error
// captured to files.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace test_support {

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ActivatedHelper {
 public:
  // `activate` false starts the binary without any socket, as a person would from a shell.
  // `wrapper`, when given, is a command that ends by exec'ing its last argument (the binary) in
  // the same process, such as a sandboxing tool.
  ActivatedHelper(const std::string& binary, const std::filesystem::path& dir, bool activate = true,
                  std::vector<std::string> extra_env = {}, std::vector<std::string> wrapper = {})
      : socket_path_((dir / "helper.sock").string()),
        out_path_((dir / "helper.out").string()),
        err_path_((dir / "helper.err").string()) {
    UniqueFdPair files{::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644),
                       ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    common::util::UniqueFd listener;
    if (activate) listener = listen_unix(socket_path_);
    // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
    std::vector<std::string> env = extra_env;
    if (const char* path = std::getenv("PATH")) env.push_back(std::string("PATH=") + path);
    if (activate) {
      env.push_back("LISTEN_FDS=1");
      env.push_back("LISTEN_FDNAMES=Primary");
      env.push_back("LISTEN_PID=");  // completed in the child
    }
    std::vector<std::vector<char>> storage;
    for (auto& e : env) {
      storage.emplace_back(e.begin(), e.end());
      storage.back().resize(e.size() + 16, '\0');
    }
    std::vector<char*> envp;
    for (auto& s : storage) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> arguments = wrapper;
    arguments.push_back(binary);
    std::vector<std::vector<char>> argument_storage;
    for (auto& a : arguments) {
      argument_storage.emplace_back(a.begin(), a.end());
      argument_storage.back().push_back('\0');
    }
    std::vector<char*> argv;
    for (auto& a : argument_storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    char* pid_slot = activate ? storage.back().data() + std::strlen("LISTEN_PID=") : nullptr;
    const int listen_fd = listener.get();

    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(files.out, 1);
      ::dup2(files.err, 2);
      if (listen_fd >= 0) {
        if (listen_fd == 3) {
          ::fcntl(3, F_SETFD, 0);
        } else {
          ::dup2(listen_fd, 3);
        }
        // Decimal pid, written by hand: snprintf is not async-signal-safe.
        char digits[16];
        int n = 0;
        for (pid_t p = ::getpid(); p > 0; p /= 10) digits[n++] = static_cast<char>('0' + p % 10);
        for (int i = 0; i < n; ++i) pid_slot[i] = digits[n - 1 - i];
        pid_slot[n] = '\0';
      }
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(files.out);
    ::close(files.err);
  }
  ~ActivatedHelper() {
    if (pid_ > 0 && !exit_status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ActivatedHelper(const ActivatedHelper&) = delete;
  ActivatedHelper& operator=(const ActivatedHelper&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& socket_path() const { return socket_path_; }
  std::string out() const { return read_file(out_path_); }
  std::string err() const { return read_file(err_path_); }

  // The raw wait status once the helper has exited, or nothing after `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (!exit_status_) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exit_status_ = status;
        break;
      }
      if (std::chrono::steady_clock::now() > until) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exit_status_;
  }

  // Waits until standard output contains `text`.
  bool wait_out(const std::string& text, std::chrono::milliseconds timeout) const {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (out().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  struct UniqueFdPair {
    int out;
    int err;
  };
  std::string socket_path_, out_path_, err_path_;
  pid_t pid_ = -1;
  std::optional<int> exit_status_;
};

}  // namespace test_support
