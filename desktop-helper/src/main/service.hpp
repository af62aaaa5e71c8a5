#pragma once
// Process entry and the service body.

#include <sys/resource.h>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <optional>

#include "common/error.hpp"
#include "main/connection.hpp"
#include "platform/platform.hpp"

namespace main_service {

// Reopens closed standard descriptors on /dev/null (aborts if that is impossible).
void reopen_standard_descriptors();

// Raises the soft RLIMIT_NOFILE towards `wanted`, as far as the hard limit allows. Returns the
// soft limit now in force (unchanged when already high enough), or nothing if unreadable.
std::optional<rlim_t> raise_descriptor_limit(rlim_t wanted);

// Logs the start, claims the listener, runs the supervisor until it has drained, logs the end.
// The error is the listener's, already logged.
asio::awaitable<common::Status> service_body(platform::Platform& platform,
                                             asio::any_io_executor workers,
                                             ConnectionServices services);

// The whole process: returns the exit status (0 idle shutdown, 1 no listener, 101 fault).
int run_helper(platform::Platform& platform);

}  // namespace main_service
