#include "platform/fake/fake_processes.hpp"

namespace platform::fake {

void FakeProcesses::set_present_for_checks(std::uint32_t pid, std::uint32_t checks) {
  std::lock_guard lock(mutex_);
  remaining_[pid] = checks;
}

std::vector<FakeProcesses::Check> FakeProcesses::checks() const {
  std::lock_guard lock(mutex_);
  return checks_;
}

std::vector<FakeProcesses::OpenRequest> FakeProcesses::open_requests() const {
  std::lock_guard lock(mutex_);
  return open_requests_;
}

bool FakeProcesses::process_exists(std::uint32_t pid) {
  std::lock_guard lock(mutex_);
  checks_.push_back({pid, std::chrono::steady_clock::now()});
  auto it = remaining_.find(pid);
  if (it == remaining_.end() || it->second == 0) return false;
  if (it->second != FOREVER) --it->second;
  return true;
}

void FakeProcesses::set_requester(Requester requester) {
  std::lock_guard lock(mutex_);
  requester_ = std::move(requester);
  requester_errno_ = 0;
}

void FakeProcesses::set_requester_errno(int error) {
  std::lock_guard lock(mutex_);
  requester_errno_ = error;
}

std::vector<int> FakeProcesses::requester_lookups() const {
  std::lock_guard lock(mutex_);
  return requester_lookups_;
}

std::expected<Requester, int> FakeProcesses::requester_of(int socket_fd) {
  std::lock_guard lock(mutex_);
  requester_lookups_.push_back(socket_fd);
  if (requester_errno_ != 0) return std::unexpected(requester_errno_);
  return requester_;
}

void FakeProcesses::open_application(std::string_view utf8_path,
                                     const OpenConfiguration& configuration,
                                     const Requester& requester, LaunchCompletion completion) {
  std::lock_guard lock(mutex_);
  open_requests_.push_back(
      {std::string(utf8_path), configuration, requester, std::move(completion)});
}

}  // namespace platform::fake
