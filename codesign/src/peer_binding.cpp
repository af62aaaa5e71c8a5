#include "codesign/peer_binding.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "common/error.hpp"
#include "posix/process_sockets.hpp"

namespace codesign {

namespace {

std::unexpected<SignatureProblem> invalid(std::string detail) {
  return std::unexpected(SignatureProblem{GUEST_INVALID, std::move(detail)});
}

std::unexpected<SignatureProblem> gone() {
  return std::unexpected(SignatureProblem{NO_SUCH_CODE, "the process has exited"});
}

}  // namespace

std::expected<void, SignatureProblem> check_holds_connection(pid_t pid, ino_t client_inode) {
  auto held = posix::descriptors_of_socket(pid, client_inode);
  if (!held) {
    if (held.error() == ENOENT || held.error() == ESRCH) return gone();
    return invalid("cannot list the descriptors of the process: " +
                   common::os_error_description(held.error()));
  }
  if (held->empty()) return invalid("the process does not hold the client end of the connection");
  for (const posix::SocketDescriptor& descriptor : *held) {
    if (!descriptor.close_on_exec) {
      return invalid("the process holds the client end of the connection in descriptor " +
                     std::to_string(descriptor.fd) +
                     ", which is kept across exec: it may have been inherited with frames "
                     "queued by the program that ran before");
    }
  }
  return {};
}

std::expected<void, SignatureProblem> check_not_dumpable(pid_t pid) {
  struct stat st;
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  if (::stat(path.c_str(), &st) != 0) return gone();
  return check_not_dumpable(st);
}

std::expected<void, SignatureProblem> check_not_dumpable(const struct stat& status_file) {
  if (status_file.st_uid != 0) {
    return invalid(
        "the process is dumpable, so processes of its user can trace it or take its "
        "connection");
  }
  return {};
}

std::expected<void, SignatureProblem> check_own_pid_namespace(pid_t pid) {
  struct stat own, theirs;
  if (::stat("/proc/self/ns/pid", &own) != 0) {
    return invalid("cannot read the helper's PID namespace: " +
                   common::os_error_description(errno));
  }
  std::string path = "/proc/" + std::to_string(pid) + "/ns/pid";
  if (::stat(path.c_str(), &theirs) != 0) return gone();
  if (own.st_dev != theirs.st_dev || own.st_ino != theirs.st_ino) {
    return invalid(
        "the process runs in another PID namespace, whose owner can name it as the writer of "
        "bytes it did not write");
  }
  return {};
}

}  // namespace codesign
