#include "main/service.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>

#include "common/util/log.hpp"
#include "common/util/quoted.hpp"
#include "main/supervisor.hpp"
#include "util/launchd/socket_activation.hpp"

namespace main_service {

using common::util::log_err;
using common::util::log_out;

void reopen_standard_descriptors() {
  int null_fd = -1;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is the closed one, so dup/open land exactly on it.
    int reopened = null_fd >= 0 ? ::dup(null_fd) : -1;
    if (reopened < 0) reopened = ::open("/dev/null", O_RDWR);
    if (reopened < 0) std::abort();
    null_fd = reopened;
  }
}

asio::awaitable<common::Status> service_body(platform::Platform& platform,
                                             asio::any_io_executor workers,
                                             ConnectionServices services) {
  log_out("IPC: Helper is starting");
  auto listener = util::launchd::unix_listener_for_socket_name(*platform.activation,
                                                               co_await asio::this_coro::executor,
                                                               util::launchd::LISTENER_SOCKET_NAME);
  if (!listener) {
    log_err("Error: IPC: Creating listener failed with error: " + listener.error().text());
    co_return common::fail(std::move(listener.error()));
  }
  asio::error_code ec;
  auto endpoint = listener->local_endpoint(ec);
  if (ec) common::util::fatal_fault("failed to read the listener's address: " + ec.message());
  if (endpoint.path().empty()) common::util::fatal_fault("the listener has no path");
  log_out("IPC: Listener created for socket: " + common::util::quoted(endpoint.path()));

  SupervisorConfig config;
  config.workers = workers;
  config.serve_connection = [services =
                                 std::move(services)](asio::local::stream_protocol::socket stream) {
    return serve_connection(services, std::move(stream));
  };
  co_await supervise_connections(*listener, std::move(config));

  log_out("IPC: Helper is shutting down");
  listener->close(ec);
  co_return common::Status{};
}

namespace {

std::size_t worker_count() {
  long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

}  // namespace

int run_helper(platform::Platform& platform) {
  reopen_standard_descriptors();
  ::signal(SIGPIPE, SIG_IGN);
  try {
    std::optional<asio::io_context> main_io;
    std::optional<asio::thread_pool> workers;
    try {
      main_io.emplace(1);
      workers.emplace(worker_count());
    } catch (const std::exception& e) {
      common::util::fatal_fault(std::string("Failed building the Runtime: ") +
                                common::Error::other(e.what()).diagnostic());
    }
    std::optional<common::Status> outcome;
    std::exception_ptr fault;
    asio::co_spawn(*main_io,
                   service_body(platform, workers->get_executor(), real_services(platform)),
                   [&](std::exception_ptr e, common::Status status) {
                     fault = e;
                     outcome = std::move(status);
                   });
    main_io->run();
    workers->stop();
    workers->join();
    if (fault) std::rethrow_exception(fault);
    if (!*outcome) {
      log_err("Error: " + outcome->error().diagnostic());
      return 1;
    }
    return 0;
  } catch (const common::util::FatalFault&) {
    return 101;  // its diagnostic was written when it was raised
  } catch (const std::exception& e) {
    std::string line = std::string("fatal internal fault: ") + e.what() + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
    return 101;
  }
}

}  // namespace main_service
