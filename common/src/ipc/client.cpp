#include "common/ipc/client.hpp"

#include <fcntl.h>
#include <poll.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/ipc/framing.hpp"

namespace common::ipc::client {
namespace {

// A stream socket that does not survive exec. Where the flag exists the socket is born that way;
// macOS has no SOCK_CLOEXEC, so there it is set right after, before any frame is written.
int close_on_exec_stream_socket() {
#ifdef SOCK_CLOEXEC
  return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd >= 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
#endif
}

// Waits until fd is ready for `events` or the deadline passes.
Status wait_ready(int fd, short events, Deadline deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return fail_os(ETIMEDOUT);
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
    if (r > 0) return {};
    if (r < 0 && errno != EINTR) return fail_last_os();
  }
}

Status write_all(int fd, std::string_view bytes, Deadline deadline) {
  while (!bytes.empty()) {
    if (auto ready = wait_ready(fd, POLLOUT, deadline); !ready) return ready;
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return fail_last_os();
    }
    if (n == 0) return fail(message::write_zero());
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

// Reads exactly `size` bytes into `out`; returns the count read before an end of stream.
Result<std::size_t> read_exact(int fd, char* out, std::size_t size, Deadline deadline) {
  std::size_t have = 0;
  while (have < size) {
    if (auto ready = wait_ready(fd, POLLIN, deadline); !ready) return fail(ready.error());
    ssize_t n = ::recv(fd, out + have, size - have, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return fail_last_os();
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  return have;
}

}  // namespace

Result<util::UniqueFd> connect_to_helper(std::string_view socket_path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) return fail_os(ENAMETOOLONG);
  std::memcpy(addr.sun_path, socket_path.data(), socket_path.size());
#if defined(__linux__)
  // The helper serves a process that others of its user cannot trace or take the connection
  // from; Linux has no per-connection guard for that, so the whole process gives up being
  // dumpable (no core dumps, no debugger attach without CAP_SYS_PTRACE) from now on.
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return fail_last_os();
#endif
  // Close-on-exec is part of the protocol: the helper refuses a connection held in a descriptor
  // that survives exec, since frames may have been queued before the exec.
  util::UniqueFd fd(close_on_exec_stream_socket());
  if (!fd) return fail_last_os();
  int r;
  do {
    r = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return fail_last_os();
  return fd;
}

Status write_frame(int fd, std::string_view payload, Deadline deadline) {
  if (payload.size() > UINT32_MAX) return fail_other("payload does not fit in a frame");
  auto prefix = message::frame_prefix(static_cast<std::uint32_t>(payload.size()));
  auto wrote = write_all(
      fd, std::string_view(reinterpret_cast<const char*>(prefix.data()), prefix.size()), deadline);
  if (!wrote) return wrote;
  return write_all(fd, payload, deadline);
}

Result<std::string> read_frame(int fd, Deadline deadline) {
  std::array<unsigned char, 4> prefix{};
  auto got = read_exact(fd, reinterpret_cast<char*>(prefix.data()), prefix.size(), deadline);
  if (!got) return fail(got.error());
  if (*got < prefix.size()) return fail(message::unexpected_eof());
  const std::size_t length = message::parse_frame_prefix(prefix);
  if (length > message::MAX_FRAME_LENGTH) return fail(message::frame_too_long(length));
  std::string payload;
  while (payload.size() < length) {
    const std::size_t before = payload.size();
    const std::size_t want = std::min(length - before, message::FRAME_READ_CHUNK);
    if (auto grown = message::grow_payload(payload, want); !grown) return fail(grown.error());
    auto n = read_exact(fd, payload.data() + before, want, deadline);
    if (!n) return fail(n.error());
    payload.resize(before + *n);
    if (*n < want) return fail(message::early_eof());
  }
  return payload;
}

Result<message::IPCResponseMessage> send_command(int fd, const message::IPCCommandMessage& command,
                                                 std::chrono::milliseconds timeout) {
  const Deadline deadline = std::chrono::steady_clock::now() + timeout;
  auto payload = message::encode_command(command);
  if (!payload) return fail(std::move(payload.error()));
  if (auto wrote = write_frame(fd, *payload, deadline); !wrote) return fail(wrote.error());
  auto reply = read_frame(fd, deadline);
  if (!reply) return fail(std::move(reply.error()));
  return message::decode_response(*reply);
}

Result<message::Response> request(int fd, const message::IPCCommandMessage& command,
                                  std::chrono::milliseconds timeout, bool until_accepted) {
  const Deadline deadline = std::chrono::steady_clock::now() + timeout;
  auto payload = message::encode_command(command, message::PROTOCOL_REASONS);
  if (!payload) return fail(std::move(payload.error()));
  if (auto wrote = write_frame(fd, *payload, deadline); !wrote) return fail(wrote.error());
  for (;;) {
    auto frame = read_frame(fd, deadline);
    if (!frame) return fail(std::move(frame.error()));
    auto reply = message::decode_reply(*frame);
    if (!reply || reply->type != message::ResponseType::Accepted || until_accepted) return reply;
  }
}

}  // namespace common::ipc::client
