#include "common/util/log.hpp"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <optional>

#include "common/error.hpp"
#include "common/util/quoted.hpp"

namespace common::util {
namespace {

struct StreamState {
  std::mutex mutex;
  int fd;
  const char* name;
};

StreamState& state(LogStream stream) {
  static StreamState out{{}, STDOUT_FILENO, "stdout"};
  static StreamState err{{}, STDERR_FILENO, "stderr"};
  return stream == LogStream::Stdout ? out : err;
}

std::mutex sink_mutex;
LogSink sink;

std::optional<Error> write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::last_os();
    }
    if (n == 0) return Error::general(ErrorKind::WriteZero, "failed to write whole buffer");
    data.remove_prefix(static_cast<size_t>(n));
  }
  return std::nullopt;
}

}  // namespace

void log_line(LogStream stream, std::string_view raw) {
  // The fixed texts hold no control character, so escaping the whole line escapes exactly the
  // values written into it: a path or a system's description cannot end the line and forge
  // the next one.
  const std::string line = escape_control_characters(raw);
  {
    std::lock_guard lock(sink_mutex);
    if (sink) {
      auto& s = state(stream);
      std::lock_guard stream_lock(s.mutex);
      sink(stream, line);
      return;
    }
  }
  std::string whole;
  whole.reserve(line.size() + 1);
  whole.append(line);
  whole.push_back('\n');
  auto& s = state(stream);
  std::optional<Error> failure;
  {
    std::lock_guard lock(s.mutex);
    failure = write_all(s.fd, whole);
  }
  if (failure) fatal_fault(std::string("failed printing to ") + s.name + ": " + failure->text());
}

void log_out(std::string_view line) { log_line(LogStream::Stdout, line); }
void log_err(std::string_view line) { log_line(LogStream::Stderr, line); }

void set_log_sink(LogSink new_sink) {
  std::lock_guard lock(sink_mutex);
  sink = std::move(new_sink);
}

void fatal_fault(const std::string& message) {
  std::string diagnostic = "fatal internal fault: " + escape_control_characters(message) + "\n";
  (void)write_all(STDERR_FILENO, diagnostic);
  throw FatalFault(message);
}

}  // namespace common::util
