#if !__has_feature(objc_arc)
#error "processes_darwin.mm must be compiled with ARC (-fobjc-arc)"
#endif

#include "platform/darwin/processes_darwin.hpp"
#include "platform/darwin/code_signing_darwin.hpp"

// AppKit's declarations only: the helper never links AppKit (TN2083: not daemon-safe). It is
// loaded at run time, and only on the route where the helper runs as the requester.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/sysctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/util/unique_fd.hpp"
#include "platform/darwin/foundation_text.hpp"
#include "platform/darwin/user_session_launch.hpp"
#include "platform/spawn.hpp"

namespace platform::darwin {
namespace {

using common::util::UniqueFd;

// The kernel's table lists zombies too, which kill's probe may not find.
bool listed_as_zombie(pid_t pid) {
  int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
  struct kinfo_proc info {};
  size_t size = sizeof info;
  if (::sysctl(name, 4, &info, &size, nullptr, 0) != 0 || size != sizeof info) return false;
  return info.kp_proc.p_pid == pid && info.kp_proc.p_stat == SZOMB;
}

// Calls the completion on a thread that nothing waits for: an exception escaping it would end
// the whole helper, so none does.
void complete_quietly(const LaunchCompletion& completion, const LaunchOutcome& outcome) noexcept {
  try {
    completion(outcome);
  } catch (...) {
  }
}

// Runs `completion` once on a thread of its own, as the workspace would on one of its threads;
// on this thread when no thread can be started.
void complete_later(LaunchCompletion completion, LaunchOutcome outcome) {
  auto shared = std::make_shared<std::pair<LaunchCompletion, LaunchOutcome>>(std::move(completion),
                                                                             std::move(outcome));
  try {
    std::thread([shared] { complete_quietly(shared->first, shared->second); }).detach();
  } catch (const std::system_error&) {
    complete_quietly(shared->first, shared->second);
  }
}

// AppKit, loaded once; "" or why it could not be loaded.
const std::string& load_appkit() {
  static const std::string failure = [] {
    if (::dlopen("/System/Library/Frameworks/AppKit.framework/AppKit", RTLD_LAZY | RTLD_LOCAL)) {
      return std::string();
    }
    const char* why = ::dlerror();
    return std::string("AppKit could not be loaded: ") + (why ? why : "unknown error");
  }();
  return failure;
}

LaunchOutcome failed(std::string description) {
  LaunchOutcome outcome;
  outcome.error_description = std::move(description);
  return outcome;
}

void launch_with_workspace(std::string_view utf8_path, const OpenConfiguration& configuration,
                           LaunchCompletion completion) {
  @autoreleasepool {
    NSURL* url = ns_directory_url(utf8_path);
    if (url == nil) {
      complete_later(std::move(completion), failed("The application path is not UTF-8"));
      return;
    }
    if (const std::string& failure = load_appkit(); !failure.empty()) {
      complete_later(std::move(completion), failed(failure));
      return;
    }
    // By name: a reference to the classes themselves would link AppKit into every route.
    Class workspace_class = NSClassFromString(@"NSWorkspace");
    Class configuration_class = NSClassFromString(@"NSWorkspaceOpenConfiguration");
    if (workspace_class == Nil || configuration_class == Nil) {
      complete_later(std::move(completion), failed("AppKit has no workspace"));
      return;
    }
    NSWorkspaceOpenConfiguration* open_configuration = [configuration_class new];
    [open_configuration
        setCreatesNewApplicationInstance:configuration.creates_new_application_instance ? YES : NO];
    auto shared = std::make_shared<LaunchCompletion>(std::move(completion));
    // Copied to the heap: the workspace calls it after this function has returned.
    void (^handler)(NSRunningApplication*, NSError*) =
        [^(NSRunningApplication* application, NSError* error) {
          @autoreleasepool {
            // Runs on a queue of AppKit's: nothing may escape into it.
            try {
              LaunchOutcome outcome;
              outcome.running_application = application != nil;
              if (error != nil)
                outcome.error_description = ns_string_text([error localizedDescription]);
              complete_quietly(*shared, outcome);
            } catch (...) {
            }
          }
        } copy];
    NSWorkspace* workspace = [workspace_class sharedWorkspace];
    [workspace openApplicationAtURL:url configuration:open_configuration completionHandler:handler];
  }
}

std::optional<std::string> user_name_of(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 4096);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_name == nullptr) {
    return std::nullopt;
  }
  return std::string(found->pw_name);
}

// Starts the tools with no descriptor of the helper but a pipe for their complaints.
std::expected<pid_t, int> spawn_launch_tools(const std::vector<std::string>& arguments,
                                             int diagnostics_fd) {
  posix_spawn_file_actions_t actions;
  if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) return std::unexpected(rc);
  posix_spawnattr_t attributes;
  if (int rc = posix_spawnattr_init(&attributes); rc != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return std::unexpected(rc);
  }
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t no_mask;
  sigemptyset(&no_mask);
  int rc = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc == 0)
    rc = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, diagnostics_fd, STDERR_FILENO);
  if (rc == 0) rc = close_descriptors_above_stderr(actions, flags);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&attributes, &defaults);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&attributes, &no_mask);
  if (rc == 0) rc = posix_spawnattr_setflags(&attributes, flags);

  std::vector<std::string> storage(arguments);
  std::vector<char*> argv;
  for (auto& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::string path_variable(LAUNCH_TOOL_PATH);
  char* environment[] = {path_variable.data(), nullptr};

  pid_t pid = -1;
  if (rc == 0) rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environment);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) return std::unexpected(rc);
  return pid;
}

void launch_in_user_session(std::string_view utf8_path, const OpenConfiguration& configuration,
                            std::uint32_t uid, LaunchCompletion completion) {
  auto name = user_name_of(static_cast<uid_t>(uid));
  if (!name) {
    complete_later(std::move(completion), failed("No user has the id " + std::to_string(uid)));
    return;
  }
  auto arguments = user_session_launch_arguments(uid, *name, utf8_path, configuration);
  if (!arguments) {
    complete_later(std::move(completion), failed("The application path is not absolute"));
    return;
  }
  int fds[2];
  if (::pipe(fds) != 0) {
    complete_later(std::move(completion), failed(common::os_error_description(errno)));
    return;
  }
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  auto pid = spawn_launch_tools(*arguments, write_end.get());
  write_end.reset();
  if (!pid) {
    complete_later(std::move(completion), failed(common::os_error_description(pid.error())));
    return;
  }
  // The wait for the tools happens on a thread of its own: the request returns at once.
  auto wait_for_tools = [completion = std::move(completion), read_end = std::move(read_end),
                         child = *pid]() mutable noexcept {
    try {
      std::string diagnostics;
      std::array<char, 4096> buffer;
      for (;;) {
        ssize_t n = ::read(read_end.get(), buffer.data(), buffer.size());
        if (n > 0) {
          // Keep a bounded tail: only the last line is reported.
          diagnostics.append(buffer.data(), static_cast<std::size_t>(n));
          if (diagnostics.size() > 65536) diagnostics.erase(0, diagnostics.size() - 65536);
        } else if (n == 0 || errno != EINTR) {
          break;
        }
      }
      read_end.reset();
      int status = 0;
      pid_t waited;
      do {
        waited = ::waitpid(child, &status, 0);
      } while (waited < 0 && errno == EINTR);
      complete_quietly(completion, waited == child ? outcome_of_launch_tools(status, diagnostics)
                                                   : failed(common::os_error_description(errno)));
    } catch (...) {
      // Only allocation can throw here; the outcome is lost, the child is still collected.
      int status = 0;
      while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
    }
  };
  auto shared = std::make_shared<decltype(wait_for_tools)>(std::move(wait_for_tools));
  try {
    std::thread([shared] { (*shared)(); }).detach();
  } catch (const std::system_error&) {
    (*shared)();  // no thread: wait here rather than leave the child uncollected
  }
}

}  // namespace

bool DarwinProcesses::process_exists(std::uint32_t pid) {
  // As a pid_t, 0 is the caller's process group, 4294967295 is -1 ("every process") and the rest
  // above INT_MAX are negative, i.e. process groups.
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return false;
  const auto id = static_cast<pid_t>(pid);
  if (::kill(id, 0) == 0 || errno == EPERM) return true;
  return listed_as_zombie(id);
}

std::expected<Requester, int> DarwinProcesses::requester_of(int socket_fd) {
  return peer_requester(socket_fd);
}

void DarwinProcesses::open_application(std::string_view utf8_path,
                                       const OpenConfiguration& configuration,
                                       const Requester& requester, LaunchCompletion completion) {
  switch (launch_route(static_cast<std::uint32_t>(::geteuid()), requester.uid)) {
    case LaunchRoute::Workspace:
      launch_with_workspace(utf8_path, configuration, std::move(completion));
      return;
    case LaunchRoute::UserSession:
      launch_in_user_session(utf8_path, configuration, requester.uid, std::move(completion));
      return;
    case LaunchRoute::Refused:
      complete_later(std::move(completion),
                     failed(requester.uid == 0
                                ? std::string("Applications are never opened for root, which has "
                                              "no graphical session")
                                : "The helper cannot open applications for user " +
                                      std::to_string(requester.uid)));
      return;
  }
}

}  // namespace platform::darwin
