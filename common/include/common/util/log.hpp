#pragma once
// Line-oriented activity log on standard output and standard error.
//
// Each call writes one whole line (a line feed is appended) under that stream's lock, directly to
// the descriptor, so every line is in the file once the call returns. A line that cannot be
// written is the writer's fatal fault: fatal_fault("failed printing to stdout: ...").
// Control characters in a line are escaped (escape_control_characters), so a value written into
// it can never start a line of its own. Thread-safe.

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace common::util {

enum class LogStream { Stdout, Stderr };

void log_out(std::string_view line);
void log_err(std::string_view line);
void log_line(LogStream stream, std::string_view line);

// Tests route lines to a sink instead of the descriptors; nullptr restores the descriptors.
// The sink is called under the stream's lock, with the line as it would be written.
using LogSink = std::function<void(LogStream, std::string_view)>;
void set_log_sink(LogSink sink);

// A broken invariant that valid input cannot reach. Thrown by fatal_fault(); caught at a task's
// boundary (the task ends alone and the drain reports it) or by the entry (exit status 101).
class FatalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes the fault's diagnostic to standard error (best effort, bypassing the log lock) and
// throws FatalFault carrying `message`.
[[noreturn]] void fatal_fault(const std::string& message);

}  // namespace common::util
