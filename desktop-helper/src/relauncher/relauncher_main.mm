#if !__has_feature(objc_arc)
#error "relauncher_main.mm must be compiled with ARC (-fobjc-arc)"
#endif

// The relauncher (relaunch_plan.hpp): runs as the user, in the user's session, so AppKit is safe
// here and linked as usual. Exit status 0 once the workspace reports a running application, 1
// when the launch failed, 2 for a request it refuses. One line on standard error says why.

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <sys/event.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "relauncher/relaunch_plan.hpp"

namespace {

constexpr int WAIT_SECONDS = 60;

void say(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// Waits until the parent has exited: kqueue tells the exit of that very process, so a pid reused
// meanwhile cannot stand in for it. True once it has exited, false after WAIT_SECONDS.
bool wait_for_parent_exit(pid_t parent) {
  const int queue = ::kqueue();
  if (queue < 0) return false;
  struct kevent change;
  EV_SET(&change, parent, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  if (::kevent(queue, &change, 1, nullptr, 0, nullptr) != 0) {
    const bool gone = errno == ESRCH;
    ::close(queue);
    return gone;
  }
  // Registered after the parent may already have gone and this process been handed to launchd.
  if (::getppid() != parent) {
    ::close(queue);
    return true;
  }
  struct kevent event;
  const struct timespec limit = {WAIT_SECONDS, 0};
  int n;
  do {
    n = ::kevent(queue, nullptr, 0, &event, 1, &limit);
  } while (n < 0 && errno == EINTR);
  ::close(queue);
  return n == 1 || ::getppid() != parent;
}

int open_application(const std::string& path) {
  @autoreleasepool {
    NSString* text = [[NSString alloc] initWithBytes:path.data()
                                              length:path.size()
                                            encoding:NSUTF8StringEncoding];
    if (text == nil) {
      say("The application path is not UTF-8");
      return 2;
    }
    NSURL* url = [NSURL fileURLWithPath:text isDirectory:YES];
    NSWorkspaceOpenConfiguration* configuration = [NSWorkspaceOpenConfiguration configuration];
    // The old instance may still be on its way out; the new one must start regardless.
    configuration.createsNewApplicationInstance = YES;
    dispatch_semaphore_t done = dispatch_semaphore_create(0);
    __block int status = 1;
    __block std::string outcome = "Failed to launch application: unknown error";
    [[NSWorkspace sharedWorkspace]
        openApplicationAtURL:url
               configuration:configuration
           completionHandler:^(NSRunningApplication* application, NSError* error) {
             @autoreleasepool {
               try {
                 // The error decides first, as in the helper's own launch.
                 if (error != nil) {
                   const char* description = [[error localizedDescription] UTF8String];
                   outcome = std::string("Failed to launch application: ") +
                             (description ? description : "unknown error");
                 } else if (application != nil) {
                   outcome = "Successfully completed launching application";
                   status = 0;
                 }
               } catch (...) {
               }
               dispatch_semaphore_signal(done);
             }
           }];
    if (dispatch_semaphore_wait(
            done, dispatch_time(DISPATCH_TIME_NOW, WAIT_SECONDS * NSEC_PER_SEC)) != 0) {
      say("Failed to launch application: the workspace did not answer");
      return 1;
    }
    say(outcome);
    return status;
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto plan =
        relauncher::plan_relaunch(arguments, static_cast<std::uint32_t>(::geteuid()), ::getppid());
    if (!plan) {
      say(plan.error());
      return 2;
    }
    if (!wait_for_parent_exit(plan->application_pid)) {
      say("Failed waiting for process exit: the application is still running");
      return 1;
    }
    return open_application(plan->bundle_path);
  } catch (...) {
    say("Failed to launch application: out of memory");
    return 1;
  }
}
