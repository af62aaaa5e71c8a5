#include "util/launchd/socket_activation.hpp"

#include <sys/ioctl.h>

#include <cerrno>
#include <string>

#include "common/util/quoted.hpp"
#include "common/util/unique_fd.hpp"

namespace util::launchd {

using asio::local::stream_protocol;

common::Result<stream_protocol::acceptor> unix_listener_for_socket_name(
    platform::Activation& activation, const asio::any_io_executor& executor, const char* name) {
  auto handed_over = activation.activate_socket(name);
  if (!handed_over) {
    switch (handed_over.error()) {
      case ENOENT:
        return common::fail_other("There was no socket of the specified name owned by the caller");
      case ESRCH:
        return common::fail_other("The caller isn't a process managed by launchd");
      case EALREADY:
        return common::fail_other("The socket has already been activated by the caller");
      default:
        return common::fail_other("Unknown socket error: " + std::to_string(handed_over.error()));
    }
  }
  const std::string shown = common::util::is_valid_utf8(name) ? std::string(name) : "unknown";
  auto& fds = *handed_over;
  if (fds.empty()) return common::fail_other("Launchd socket \"" + shown + "\" not found");
  // None is kept: every descriptor handed over closes with `handed_over`.
  if (fds.size() > 1) {
    return common::fail_other("Launchd socket \"" + shown + "\" must be unique, but found " +
                              std::to_string(fds.size()) + " sockets");
  }
  common::util::UniqueFd fd = std::move(fds.front());
  int on = 1;
  if (::ioctl(fd.get(), FIONBIO, &on) < 0) return common::fail_last_os();
  stream_protocol::acceptor listener(executor);
  asio::error_code ec;
  listener.assign(stream_protocol(), fd.get(), ec);
  if (ec) return common::fail_os(ec.value());
  fd.release();
  // Tell asio too, so a synchronous accept on a drained backlog returns at once.
  listener.non_blocking(true, ec);
  return listener;
}

}  // namespace util::launchd
