#include "posix/proc_status.hpp"

#include <fcntl.h>

#include <charconv>
#include <string>

#include "common/util/unique_fd.hpp"
#include "posix/read_file.hpp"

namespace posix {
namespace {

// A status file is a few kilobytes; this much of it holds every field there is.
constexpr std::size_t MAX_STATUS_SIZE = 64 * 1024;

}  // namespace

std::optional<std::uint64_t> status_number(std::string_view status, std::string_view name) {
  std::string key;
  key.reserve(name.size() + 2);
  key.push_back('\n');
  key.append(name);
  key.push_back(':');
  auto at = status.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t begin = at + key.size();
  while (begin < status.size() && (status[begin] == ' ' || status[begin] == '\t')) ++begin;
  std::uint64_t number = 0;
  const char* end = status.data() + status.size();
  auto [ptr, ec] = std::from_chars(status.data() + begin, end, number);
  if (ec != std::errc()) return std::nullopt;
  return number;
}

std::expected<ProcStatus, int> read_proc_status(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  common::util::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(errno);
  ProcStatus status;
  if (::fstat(fd.get(), &status.st) != 0) return std::unexpected(errno);
  auto read = read_chunks(fd.get(), [&](std::string_view chunk) {
    status.text.append(chunk.substr(0, MAX_STATUS_SIZE - status.text.size()));
    return status.text.size() < MAX_STATUS_SIZE;
  });
  if (!read) return std::unexpected(read.error());
  return status;
}

std::expected<std::uint64_t, int> proc_status_number(pid_t pid, std::string_view name) {
  auto status = read_proc_status(pid);
  if (!status) return std::unexpected(status.error());
  auto number = status_number(status->text, name);
  if (!number) return std::unexpected(EINVAL);
  return *number;
}

}  // namespace posix
