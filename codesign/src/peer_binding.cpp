#include "codesign/peer_binding.hpp"

#include <sys/stat.h>

#include <string>

#include "common/error.hpp"

namespace codesign {

namespace {

std::unexpected<SignatureProblem> invalid(std::string detail) {
  return std::unexpected(SignatureProblem{GUEST_INVALID, std::move(detail)});
}

}  // namespace

std::expected<void, SignatureProblem> check_sole_holder(ino_t socket_inode, pid_t pid) {
  auto peer = posix::peer_socket_inode(socket_inode);
  if (!peer) {
    return invalid("cannot find the client end of the connection: " +
                   common::os_error_description(peer.error()));
  }
  auto holders = posix::socket_holders(*peer);
  if (!holders) {
    return invalid("cannot list the processes that hold the connection: " +
                   common::os_error_description(holders.error()));
  }
  bool held = false;
  for (const posix::SocketHolder& holder : *holders) {
    if (holder.process != pid) {
      return invalid("the client end of the connection is also held by process " +
                     std::to_string(holder.process));
    }
    held = true;
  }
  if (!held) return invalid("the process does not hold the client end of the connection");
  for (const posix::SocketHolder& holder : *holders) {
    if (!holder.close_on_exec) {
      return invalid("the process holds the client end of the connection in descriptor " +
                     std::to_string(holder.fd) +
                     ", which is kept across exec: it may have been inherited with frames "
                     "queued by the program that ran before");
    }
  }
  return {};
}

std::expected<void, SignatureProblem> check_not_dumpable(pid_t pid) {
  struct stat st;
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  if (::stat(path.c_str(), &st) != 0) {
    return std::unexpected(SignatureProblem{NO_SUCH_CODE, "the process has exited"});
  }
  if (st.st_uid != 0) {
    return invalid(
        "the process is dumpable, so processes of its user can trace it or take its "
        "connection");
  }
  return {};
}

}  // namespace codesign
