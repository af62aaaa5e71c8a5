#include "main/service.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

std::optional<rlim_t> raise_descriptor_limit(rlim_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::nullopt;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return limit.rlim_cur;
  const rlim_t raised = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  rlimit next{raised, limit.rlim_max};
  if (::setrlimit(RLIMIT_NOFILE, &next) != 0) return limit.rlim_cur;
  return raised;
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

// Threads for replacements: each occupies one for as long as it copies, and a few may run at
// once; further ones wait for a thread, never the connections' workers.
constexpr std::size_t FILE_WORK_THREADS = 4;

// Descriptors the process may need: the listener, standard streams, the runtime's, and for each
// connection its socket plus what verification and a replacement hold open at once (a pidfd, the
// executable, directories of a walk, files hashed in parallel, a child's pipes).
constexpr rlim_t DESCRIPTORS_BASE = 64;
constexpr rlim_t DESCRIPTORS_PER_CONNECTION = 32;

void ensure_descriptors_for_connections() {
  const rlim_t wanted = DESCRIPTORS_BASE + DESCRIPTORS_PER_CONNECTION * MAX_CONNECTIONS;
  const auto limit = raise_descriptor_limit(wanted);
  if (limit && *limit >= wanted) return;
  log_err("IPC: Descriptor limit " + (limit ? std::to_string(*limit) : std::string("unknown")) +
          " is below the " + std::to_string(wanted) + " that " + std::to_string(MAX_CONNECTIONS) +
          " connections may need");
}

}  // namespace

int run_helper(platform::Platform& platform) {
  reopen_standard_descriptors();
  ::signal(SIGPIPE, SIG_IGN);
  try {
    ensure_descriptors_for_connections();
    std::optional<asio::io_context> main_io;
    std::optional<asio::thread_pool> workers;
    std::optional<asio::thread_pool> file_work;
    try {
      main_io.emplace(1);
      workers.emplace(worker_count());
      file_work.emplace(FILE_WORK_THREADS);
    } catch (const std::exception& e) {
      common::util::fatal_fault(std::string("Failed building the Runtime: ") +
                                common::Error::other(e.what()).diagnostic());
    }
    std::optional<common::Status> outcome;
    std::exception_ptr fault;
    ConnectionServices services = real_services(platform);
    services.file_work = file_work->get_executor();
    asio::co_spawn(*main_io, service_body(platform, workers->get_executor(), std::move(services)),
                   [&](std::exception_ptr e, common::Status status) {
                     fault = e;
                     outcome = std::move(status);
                   });
    main_io->run();
    workers->stop();
    workers->join();
    // The drain waited for every connection task, and with it for every replacement.
    file_work->join();
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
