#pragma once
// A scripted process table, a scripted requester and a launcher that keeps its requests, for tests
// of the exit wait and the launch: how often the table was read, who asked on which socket, what
// was asked to be opened for whom, and each outcome of the completion handler (the test calls the
// kept completion itself, from any thread).
// Thread-safe.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fake/fake_layer.hpp"
#include "platform/processes.hpp"

namespace platform::fake {

class FakeProcesses final : public Processes {
 public:
  struct OpenRequest {
    std::string path;
    OpenConfiguration configuration;
    Requester requester;
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

  // What requester_of answers for every socket: this requester, or the errno when set.
  void set_requester(Requester requester);
  void set_requester_errno(int error);

  std::vector<Check> checks() const;
  std::vector<OpenRequest> open_requests() const;
  // The sockets requester_of was asked about, in order.
  std::vector<int> requester_lookups() const;

  bool process_exists(std::uint32_t pid) override;
  std::expected<Requester, int> requester_of(int socket_fd) override;
  void open_application(std::string_view utf8_path, const OpenConfiguration& configuration,
                        const Requester& requester, LaunchCompletion completion) override;

 private:
  mutable std::mutex mutex_;
  std::map<std::uint32_t, std::uint32_t> remaining_;
  std::vector<Check> checks_;
  std::vector<OpenRequest> open_requests_;
  Requester requester_{501, 20, {}};
  int requester_errno_ = 0;
  std::vector<int> requester_lookups_;
};

}  // namespace platform::fake
