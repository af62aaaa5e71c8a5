#pragma once
// A scripted process table and a launcher that keeps its requests, for tests of the exit wait and
// the launch: how often the table was read, what was asked to be opened, and each outcome of the
// completion handler (the test calls the kept completion itself, from any thread).
// Thread-safe.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/processes.hpp"

namespace platform::fake {

class FakeProcesses final : public Processes {
 public:
  struct OpenRequest {
    std::string path;
    OpenConfiguration configuration;
    LaunchCompletion completion;
  };
  struct Check {
    std::uint32_t pid = 0;
    std::chrono::steady_clock::time_point at;
  };

  // A listed pid is present at that many checks, then absent; an unlisted pid is absent.
  // FOREVER for a process that never exits.
  static constexpr std::uint32_t FOREVER = UINT32_MAX;
  void set_present_for_checks(std::uint32_t pid, std::uint32_t checks);

  std::vector<Check> checks() const;
  std::vector<OpenRequest> open_requests() const;

  bool process_exists(std::uint32_t pid) override;
  void open_application(std::string_view utf8_path, const OpenConfiguration& configuration,
                        LaunchCompletion completion) override;

 private:
  mutable std::mutex mutex_;
  std::map<std::uint32_t, std::uint32_t> remaining_;
  std::vector<Check> checks_;
  std::vector<OpenRequest> open_requests_;
};

}  // namespace platform::fake
