// The launch through the user's service manager. The helper is root and sandboxed; whatever it
// forks inherits that sandbox, so where the user's own systemd instance runs, it is asked to
// start the application instead, as a transient service in the user's app.slice.
//
// The user's bus broker serves only its own user and reads the peer credentials fixed at
// connect(), so a forked child takes the user's identity, connects, and hands the connected
// socket back; the helper never changes its own credentials (seteuid would change every thread).

#include "platform/linux/user_manager_launch.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <expected>
#include <memory>
#include <utility>

#include "common/error.hpp"
#include "common/util/hex.hpp"
#include "common/util/unique_fd.hpp"
#include "posix/eintr.hpp"

namespace platform::linux_impl {
namespace {

using common::util::UniqueFd;

constexpr const char* SYSTEMD_SERVICE = "org.freedesktop.systemd1";
constexpr const char* SYSTEMD_PATH = "/org/freedesktop/systemd1";
constexpr const char* SYSTEMD_MANAGER = "org.freedesktop.systemd1.Manager";
constexpr std::chrono::seconds BUS_TIMEOUT{25};

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&error); }
};

LaunchOutcome failure(std::string description) {
  return LaunchOutcome{false, std::move(description)};
}

// A connected stream socket to `path`, made by a child running as uid/gid; or the errno of the
// failure.
std::expected<UniqueFd, int> connect_as(const std::string& path, uid_t uid, gid_t gid) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::unexpected(ENAMETOOLONG);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return std::unexpected(errno);
  }
  UniqueFd parent_end(pair[0]);
  UniqueFd child_end(pair[1]);

  // Only raw system calls between fork and _exit: the helper is multi-threaded.
  const pid_t child = ::fork();
  if (child < 0) return std::unexpected(errno);
  if (child == 0) {
    int error = 0;
    if (::syscall(SYS_setgroups, 0, nullptr) != 0 || ::syscall(SYS_setresgid, gid, gid, gid) != 0 ||
        ::syscall(SYS_setresuid, uid, uid, uid) != 0) {
      error = errno;
    }
    int fd = -1;
    if (error == 0) {
      fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) error = errno;
    }
    if (error == 0) {
      if (posix::retry_eintr([&] {
            return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
          }) != 0) {
        error = errno;
      }
    }
    msghdr message{};
    iovec part{&error, sizeof error};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (error == 0) {
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    ::_exit(::sendmsg(pair[1], &message, MSG_NOSIGNAL) == sizeof error ? 0 : 1);
  }
  child_end.reset();

  int error = 0;
  msghdr message{};
  iovec part{&error, sizeof error};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got =
      posix::retry_eintr([&] { return ::recvmsg(parent_end.get(), &message, MSG_CMSG_CLOEXEC); });
  const int receive_error = errno;
  int status = 0;
  (void)posix::retry_eintr([&] { return ::waitpid(child, &status, 0); });
  if (got != static_cast<ssize_t>(sizeof error)) {
    return std::unexpected(got < 0 ? receive_error : EIO);
  }
  if (error != 0) return std::unexpected(error);
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (header == nullptr || header->cmsg_type != SCM_RIGHTS) return std::unexpected(EIO);
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
  return UniqueFd(fd);
}

std::string description_of(int r, const sd_bus_error& error) {
  if (sd_bus_error_is_set(&error) && error.message != nullptr) return error.message;
  return common::os_error_description(-r);
}

// What JobRemoved reported for the jobs seen so far.
struct JobResults {
  std::vector<std::pair<std::string, std::string>> removed;  // job path, result
};

int on_job_removed(sd_bus_message* m, void* userdata, sd_bus_error*) {
  std::uint32_t id = 0;
  const char* job = nullptr;
  const char* unit = nullptr;
  const char* result = nullptr;
  if (sd_bus_message_read(m, "uoss", &id, &job, &unit, &result) >= 0) {
    static_cast<JobResults*>(userdata)->removed.emplace_back(job, result);
  }
  return 0;
}

int append_properties(sd_bus_message* m, const std::string& executable_path,
                      const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment) {
  int r = sd_bus_message_open_container(m, 'a', "(sv)");
  if (r < 0) return r;
  const std::string description = "Application " + executable_path;
  r = sd_bus_message_append(m, "(sv)", "Description", "s", description.c_str());
  if (r < 0) return r;
  // Type=exec: the job finishes once execve() succeeded, so "done" means the program runs.
  r = sd_bus_message_append(m, "(sv)(sv)(sv)(sv)", "Type", "s", "exec", "ExitType", "s", "cgroup",
                            "Slice", "s", "app.slice", "CollectMode", "s", "inactive-or-failed");
  if (r < 0) return r;

  // ExecStart a(sasb): one command, the path, its argv, failures not ignored.
  if ((r = sd_bus_message_open_container(m, 'r', "sv")) < 0) return r;
  if ((r = sd_bus_message_append(m, "s", "ExecStart")) < 0) return r;
  if ((r = sd_bus_message_open_container(m, 'v', "a(sasb)")) < 0) return r;
  if ((r = sd_bus_message_open_container(m, 'a', "(sasb)")) < 0) return r;
  if ((r = sd_bus_message_open_container(m, 'r', "sasb")) < 0) return r;
  if ((r = sd_bus_message_append(m, "s", executable_path.c_str())) < 0) return r;
  if ((r = sd_bus_message_open_container(m, 'a', "s")) < 0) return r;
  for (const auto& a : argv) {
    if ((r = sd_bus_message_append(m, "s", a.c_str())) < 0) return r;
  }
  if ((r = sd_bus_message_close_container(m)) < 0) return r;
  if ((r = sd_bus_message_append(m, "b", 0)) < 0) return r;
  for (int i = 0; i < 4; ++i) {
    if ((r = sd_bus_message_close_container(m)) < 0) return r;
  }

  if ((r = sd_bus_message_open_container(m, 'r', "sv")) < 0) return r;
  if ((r = sd_bus_message_append(m, "s", "Environment")) < 0) return r;
  if ((r = sd_bus_message_open_container(m, 'v', "as")) < 0) return r;
  if ((r = sd_bus_message_open_container(m, 'a', "s")) < 0) return r;
  for (const auto& e : environment) {
    if ((r = sd_bus_message_append(m, "s", e.c_str())) < 0) return r;
  }
  for (int i = 0; i < 3; ++i) {
    if ((r = sd_bus_message_close_container(m)) < 0) return r;
  }
  return sd_bus_message_close_container(m);
}

}  // namespace

std::string transient_unit_name(const std::string& executable_path) {
  std::string name = executable_path.substr(executable_path.rfind('/') + 1);
  std::string kept;
  for (char c : name) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '_' || c == '.';
    if (allowed) kept.push_back(c);
  }
  if (kept.empty()) kept = "application";
  if (kept.size() > 128) kept.resize(128);
  unsigned char random[8] = {};
  if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    // Uniqueness only: the clock will do when the kernel has no randomness to give.
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::memcpy(random, &now, sizeof random);
  }
  return "app-kolvaris-" + kept + "-" + common::util::to_hex(random) + ".service";
}

std::optional<LaunchOutcome> launch_in_user_manager_at(
    const std::string& runtime_root, uid_t uid, gid_t gid, const std::string& executable_path,
    const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  const std::string bus_path = runtime_root + "/" + std::to_string(uid) + "/bus";
  auto fd = connect_as(bus_path, uid, gid);
  if (!fd) {
    const int error = fd.error();
    // Nothing there, or a socket left behind by a manager that has gone.
    if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) return std::nullopt;
    return failure("Could not connect to the user's bus " + bus_path + ": " +
                   common::os_error_description(error));
  }

  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  if (r < 0) return failure(common::os_error_description(-r));
  Bus bus(raw);
  const int bus_fd = fd->release();
  if ((r = sd_bus_set_fd(bus.get(), bus_fd, bus_fd)) < 0) {
    ::close(bus_fd);
    return failure(common::os_error_description(-r));
  }
  sd_bus_set_bus_client(bus.get(), 1);
  sd_bus_set_method_call_timeout(bus.get(), std::chrono::microseconds(BUS_TIMEOUT).count());
  if ((r = sd_bus_start(bus.get())) < 0) {
    return failure("Could not talk to the user's bus " + bus_path + ": " +
                   common::os_error_description(-r));
  }

  // Subscribed and matched before the call, so the job's end cannot slip past.
  JobResults results;
  sd_bus_slot* raw_slot = nullptr;
  r = sd_bus_match_signal(bus.get(), &raw_slot, SYSTEMD_SERVICE, SYSTEMD_PATH, SYSTEMD_MANAGER,
                          "JobRemoved", on_job_removed, &results);
  Slot slot(raw_slot);
  BusError call_error;
  if (r >= 0) {
    r = sd_bus_call_method(bus.get(), SYSTEMD_SERVICE, SYSTEMD_PATH, SYSTEMD_MANAGER, "Subscribe",
                           &call_error.error, nullptr, "");
  }
  if (r < 0) {
    return failure("The user's service manager did not answer: " +
                   description_of(r, call_error.error));
  }

  const std::string unit = transient_unit_name(executable_path);
  sd_bus_message* raw_message = nullptr;
  r = sd_bus_message_new_method_call(bus.get(), &raw_message, SYSTEMD_SERVICE, SYSTEMD_PATH,
                                     SYSTEMD_MANAGER, "StartTransientUnit");
  Message call(raw_message);
  if (r >= 0) r = sd_bus_message_append(call.get(), "ss", unit.c_str(), "fail");
  if (r >= 0) r = append_properties(call.get(), executable_path, argv, environment);
  if (r >= 0) r = sd_bus_message_append(call.get(), "a(sa(sv))", 0);
  if (r < 0) return failure(common::os_error_description(-r));
  sd_bus_message* raw_reply = nullptr;
  r = sd_bus_call(bus.get(), call.get(), 0, &call_error.error, &raw_reply);
  Message reply(raw_reply);
  if (r < 0) {
    return failure("The user's service manager refused to start " + unit + ": " +
                   description_of(r, call_error.error));
  }
  const char* job_path = nullptr;
  if ((r = sd_bus_message_read(reply.get(), "o", &job_path)) < 0) {
    return failure(common::os_error_description(-r));
  }
  const std::string job = job_path;

  const auto deadline = std::chrono::steady_clock::now() + BUS_TIMEOUT;
  for (;;) {
    for (const auto& [removed, result] : results.removed) {
      if (removed != job) continue;
      if (result == "done") return LaunchOutcome{true, std::nullopt};
      return failure("The user's service manager could not start " + unit + ": " + result);
    }
    r = sd_bus_process(bus.get(), nullptr);
    if (r < 0) return failure(common::os_error_description(-r));
    if (r > 0) continue;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return failure("The user's service manager did not report the start of " + unit);
    }
    r = sd_bus_wait(bus.get(), static_cast<std::uint64_t>(left.count()));
    if (r < 0) return failure(common::os_error_description(-r));
  }
}

std::optional<LaunchOutcome> launch_in_user_manager(uid_t uid, gid_t gid,
                                                    const std::string& executable_path,
                                                    const std::vector<std::string>& argv,
                                                    const std::vector<std::string>& environment) {
  return launch_in_user_manager_at("/run/user", uid, gid, executable_path, argv, environment);
}

}  // namespace platform::linux_impl
