#pragma once
// Shared helpers of the helper's tests: captured log lines, temporary directories, listeners.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/util/log.hpp"
#include "common/util/unique_fd.hpp"

namespace test_support {

// Routes every log line to memory for the lifetime of the object.
class CapturedLog {
 public:
  struct Line {
    common::util::LogStream stream;
    std::string text;
    bool operator==(const Line&) const = default;
  };
  CapturedLog() {
    common::util::set_log_sink([this](common::util::LogStream s, std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.push_back({s, std::string(line)});
      changed_.notify_all();
    });
  }
  ~CapturedLog() { common::util::set_log_sink(nullptr); }

  std::vector<Line> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (auto& l : lines()) out.push_back(l.text);
    return out;
  }
  // Waits until a line equal to `text` has been logged.
  bool wait_for(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      for (auto& l : lines_)
        if (l.text == text) return true;
      return false;
    });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;
};

inline CapturedLog::Line out(std::string text) {
  return {common::util::LogStream::Stdout, std::move(text)};
}
inline CapturedLog::Line err(std::string text) {
  return {common::util::LogStream::Stderr, std::move(text)};
}

// A fresh private directory, removed with everything in it at the end of the scope. The one
// scratch directory of the tests: it throws when it cannot be made, since a test that went on
// with an empty path would work in the current directory, or in "/" as root.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kolvaris-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + tmpl);
    }
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// `text` in single quotes for a shell command line (the tests' paths hold none). Appended piece by
// piece: g++ 12 at -O3 takes "'" + text + "'" for an overlapping copy (a false -Wrestrict).
inline std::string shell_quoted(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  out += text;
  out += '\'';
  return out;
}

// A bound, listening Unix socket at `path` (mode 0666 so unprivileged clients can connect).
inline common::util::UniqueFd listen_unix(const std::string& path) {
  common::util::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ::unlink(path.c_str());
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
  ::chmod(path.c_str(), 0666);
  if (::listen(fd.get(), SOMAXCONN) != 0) return {};
  return fd;
}

inline common::util::UniqueFd connect_unix(const std::string& path) {
  common::util::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
  return fd;
}

}  // namespace test_support
