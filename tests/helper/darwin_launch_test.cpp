// The macOS launch decisions, compiled here from the darwin folder (plain C++): who may be
// launched for whom, the exact command that runs in the requester's session, and how its end
// becomes one of the three outcomes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "platform/darwin/user_session_launch.hpp"
#include "relauncher/relaunch_plan.hpp"

namespace {

using platform::darwin::launch_route;
using platform::darwin::LaunchRoute;
using platform::darwin::outcome_of_launch_tools;
using platform::darwin::user_session_launch_arguments;
using ::testing::ElementsAre;

int exited(int code) { return (code & 0xff) << 8; }
int signalled(int signal) { return signal & 0x7f; }

TEST(DarwinLaunchRouteTest, ARootHelperNeverAsksTheWorkspaceItself) {
  // Whoever asks, a root helper goes through the requester's session.
  EXPECT_EQ(launch_route(0, 501), LaunchRoute::UserSession);
  // An application running as root is in no graphical session: nothing is launched for it.
  EXPECT_EQ(launch_route(0, 0), LaunchRoute::Refused);
  // A helper running as the requester is already in that user's session.
  EXPECT_EQ(launch_route(501, 501), LaunchRoute::Workspace);
  // A helper of one user cannot act for another.
  EXPECT_EQ(launch_route(501, 502), LaunchRoute::Refused);
  EXPECT_EQ(launch_route(501, 0), LaunchRoute::Refused);
}

TEST(DarwinLaunchArgumentsTest, TheApplicationRunsAsTheRequesterInTheRequestersSession) {
  platform::OpenConfiguration new_instance;
  new_instance.creates_new_application_instance = true;
  auto arguments =
      user_session_launch_arguments(501, "anna", "/Applications/Kolvaris.app", new_instance);
  ASSERT_TRUE(arguments);
  EXPECT_THAT(*arguments,
              ElementsAre("/bin/launchctl", "asuser", "501", "/usr/bin/sudo", "-n", "-H", "-u",
                          "anna", "--", "/usr/bin/open", "-n", "/Applications/Kolvaris.app"));

  // Without the new-instance option, open gets no -n; a path with spaces stays one argument.
  auto plain = user_session_launch_arguments(4711, "b", "/Users/b/My App.app", {});
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->back(), "/Users/b/My App.app");
  EXPECT_EQ((*plain)[plain->size() - 2], "/usr/bin/open");
}

TEST(DarwinLaunchArgumentsTest, APathThatCouldBeReadAsAnOptionIsRefused) {
  platform::OpenConfiguration configuration;
  for (const char* path : {"-a", "--args", "Kolvaris.app", "./Kolvaris.app", ""}) {
    EXPECT_FALSE(user_session_launch_arguments(501, "anna", path, configuration)) << path;
  }
  // A user without a name cannot be named to sudo.
  EXPECT_FALSE(user_session_launch_arguments(501, "", "/Applications/K.app", configuration));
}

TEST(DarwinLaunchOutcomeTest, OnlyAZeroExitIsARunningApplication) {
  auto ok = outcome_of_launch_tools(exited(0), "chatter on stderr\n");
  EXPECT_TRUE(ok.running_application);
  EXPECT_FALSE(ok.error_description);

  // The tools' last line explains the failure, as a localized description would.
  auto refused = outcome_of_launch_tools(
      exited(1), "warning: something\nThe application cannot be opened because it is damaged.\n\n");
  EXPECT_FALSE(refused.running_application);
  EXPECT_EQ(refused.error_description,
            std::optional<std::string>("The application cannot be opened because it is damaged."));

  auto silent = outcome_of_launch_tools(exited(3), " \n\t");
  EXPECT_EQ(silent.error_description,
            std::optional<std::string>("The application could not be opened (exit status 3)"));

  auto killed = outcome_of_launch_tools(signalled(9), "");
  EXPECT_FALSE(killed.running_application);
  EXPECT_EQ(killed.error_description,
            std::optional<std::string>("The application could not be opened (signal 9)"));
}

TEST(RelaunchPlanTest, TheRelauncherFollowsOnlyTheApplicationThatStartedIt) {
  using relauncher::plan_relaunch;
  auto plan = plan_relaunch({"4242", "/Applications/Kolvaris.app"}, 501, 4242);
  ASSERT_TRUE(plan) << plan.error();
  EXPECT_EQ(plan->application_pid, 4242);
  EXPECT_EQ(plan->bundle_path, "/Applications/Kolvaris.app");

  // A pid that is not its parent could be any process by the time it exits.
  EXPECT_EQ(plan_relaunch({"4243", "/Applications/Kolvaris.app"}, 501, 4242).error(),
            "The process 4243 is not the application that started the relauncher");
  // Root has no graphical session to open an application in.
  EXPECT_EQ(plan_relaunch({"4242", "/Applications/Kolvaris.app"}, 0, 4242).error(),
            "The relauncher never runs as root, which has no graphical session");
  EXPECT_EQ(plan_relaunch({"4242", "-a"}, 501, 4242).error(),
            "The application path must be absolute");
  EXPECT_EQ(plan_relaunch({"4242", "/Applications/\xff.app"}, 501, 4242).error(),
            "The application path is not UTF-8");
  for (const auto& arguments : std::vector<std::vector<std::string>>{{},
                                                                     {"4242"},
                                                                     {"4242", "/A.app", "x"},
                                                                     {"42x", "/A.app"},
                                                                     {"-1", "/A.app"},
                                                                     {"1", "/A.app"},
                                                                     {"99999999999", "/A.app"}}) {
    EXPECT_EQ(plan_relaunch(arguments, 501, 4242).error(), relauncher::USAGE);
  }
}

}  // namespace
