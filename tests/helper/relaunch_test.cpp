// The WaitForExitAndLaunch procedure against a scripted process table: the order and streams of
// its log lines, the pauses of the exit wait, what is asked of the launcher and for whom, the
// identity check that comes first, and the three outcomes of the launch completion handler.

#include "main/relaunch.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <optional>
#include <thread>

#include "common/constants.hpp"
#include "common/ipc/client.hpp"
#include "common/util/quoted.hpp"
#include "main/connection.hpp"
#include "platform/fake/fake_code_signing.hpp"
#include "platform/fake/fake_files.hpp"
#include "platform/fake/fake_processes.hpp"
#include "platform/processes.hpp"
#include "served_connection.hpp"
#include "test_support.hpp"
#include "util/system/process_exit_wait.hpp"

namespace util::system {
void PrintTo(const Delay& d, std::ostream* os) {
  *os << d.seconds << "s+" << d.nanoseconds << "ns";
}
}  // namespace util::system

namespace {

using platform::fake::FakeProcesses;
using test_support::CapturedLog;
using test_support::err;
using test_support::out;
using util::system::Delay;
namespace msg = common::ipc::message;
using namespace std::chrono_literals;
using Lines = std::vector<CapturedLog::Line>;

const std::string APP = "/Applications/Example.app";

// Pauses of 20, 40, 80 and 160 ms instead of 0.5 to 4 s.
main_service::ExitWaitParameters short_pauses() {
  return {5, Delay::from_millis(20), Delay{60, 0}};
}

class Relaunch : public ::testing::Test {
 protected:
  Relaunch() {
    platform_.processes = &processes_;
    platform_.files = &files_;
    platform_.code_signing = &code_signing_;
  }

  common::Status run(std::uint32_t pid, std::string app_path,
                     main_service::ExitWaitParameters parameters) {
    asio::io_context io;
    std::optional<common::Status> result;
    asio::co_spawn(io, command(pid, std::move(app_path), parameters, result),
                   [](std::exception_ptr e) {
                     if (e) std::rethrow_exception(e);
                   });
    io.run();
    return *result;
  }

  asio::awaitable<void> command(std::uint32_t pid, std::string app_path,
                                main_service::ExitWaitParameters parameters,
                                std::optional<common::Status>& result) {
    msg::WaitForExitAndLaunch c{pid, std::move(app_path)};
    result =
        co_await main_service::run_wait_for_exit_and_launch(platform_, c, requester_, parameters);
  }

  // Every pause between two checks, in milliseconds.
  std::vector<std::chrono::milliseconds> pauses() const {
    std::vector<std::chrono::milliseconds> result;
    auto checks = processes_.checks();
    for (std::size_t i = 1; i < checks.size(); ++i) {
      result.push_back(
          std::chrono::duration_cast<std::chrono::milliseconds>(checks[i].at - checks[i - 1].at));
    }
    return result;
  }

  static Lines head(std::uint32_t pid, const std::string& shown_path) {
    const std::string p = std::to_string(pid);
    return {out("Pid: " + p), out("App path: " + shown_path),
            out("Waiting for process with pid \"" + p + "\" to exit")};
  }
  static Lines launch(std::uint32_t pid, const std::string& path) {
    return {out("Process with pid \"" + std::to_string(pid) + "\" has exited"),
            out("Constructing application launch completion handler"),
            out("Launching application at path: " + path)};
  }
  static Lines concat(std::initializer_list<Lines> parts) {
    Lines all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  }

  FakeProcesses processes_;
  platform::fake::FakeFiles files_;
  platform::fake::FakeCodeSigning code_signing_;
  platform::Requester requester_{4711, 4711, {"DISPLAY=:7", "LANG=de_DE.UTF-8"}};
  platform::Platform platform_;
};

TEST_F(Relaunch, AbsentProcessIsLaunchedWithoutAPauseAndTheCommandDoesNotAwaitTheOutcome) {
  CapturedLog log;
  EXPECT_TRUE(run(4242, APP, short_pauses()));
  EXPECT_EQ(log.lines(), concat({head(4242, APP), launch(4242, APP)}));
  ASSERT_EQ(processes_.checks().size(), 1u);
  EXPECT_EQ(processes_.checks()[0].pid, 4242u);
  auto requests = processes_.open_requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, APP);
  EXPECT_TRUE(requests[0].configuration.creates_new_application_instance);
  // The handler has not run: nothing beyond the request was logged.
  EXPECT_EQ(log.lines().size(), 6u);
}

TEST_F(Relaunch, ProcessThatExitsAfterThreeChecksIsNoticedAtTheFourth) {
  processes_.set_present_for_checks(77, 3);
  CapturedLog log;
  EXPECT_TRUE(run(77, APP, short_pauses()));
  EXPECT_EQ(
      log.lines(),
      concat({head(77, APP),
              {out("Peer with pid 77 is still running after 1 attempts. Retrying in 20ms..."),
               out("Peer with pid 77 is still running after 2 attempts. Retrying in 40ms..."),
               out("Peer with pid 77 is still running after 3 attempts. Retrying in 80ms...")},
              launch(77, APP)}));
  auto waited = pauses();
  ASSERT_EQ(waited.size(), 3u);
  EXPECT_GE(waited[0], 20ms);
  EXPECT_GE(waited[1], 40ms);
  EXPECT_GE(waited[2], 80ms);
  EXPECT_EQ(processes_.open_requests().size(), 1u);
}

TEST_F(Relaunch, ProcessThatNeverExitsFailsAfterFiveChecksAndNothingIsLaunched) {
  processes_.set_present_for_checks(9, FakeProcesses::FOREVER);
  CapturedLog log;
  auto result = run(9, APP, short_pauses());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(),
            common::Error::other("Failed waiting for process exit after 5 attempts")
                .with_reason(common::Reason::ExitWaitTimedOut));
  EXPECT_EQ(
      log.lines(),
      concat({head(9, APP),
              {out("Peer with pid 9 is still running after 1 attempts. Retrying in 20ms..."),
               out("Peer with pid 9 is still running after 2 attempts. Retrying in 40ms..."),
               out("Peer with pid 9 is still running after 3 attempts. Retrying in 80ms..."),
               out("Peer with pid 9 is still running after 4 attempts. Retrying in 160ms...")}}));
  EXPECT_EQ(processes_.checks().size(), 5u);
  auto waited = pauses();
  ASSERT_EQ(waited.size(), 4u);
  EXPECT_GE(waited[3], 160ms);
  EXPECT_TRUE(processes_.open_requests().empty());
}

TEST_F(Relaunch, OnlyTheGivenPidIsLookedUp) {
  processes_.set_present_for_checks(1000, FakeProcesses::FOREVER);
  CapturedLog log;
  EXPECT_TRUE(run(1001, APP, short_pauses()));
  for (const auto& check : processes_.checks()) EXPECT_EQ(check.pid, 1001u);
}

TEST_F(Relaunch, ExtremePidsAreWrittenInDecimal) {
  CapturedLog log;
  EXPECT_TRUE(run(4294967295u, APP, short_pauses()));
  EXPECT_TRUE(run(0, APP, short_pauses()));
  auto lines = log.texts();
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], "Pid: 4294967295");
  EXPECT_EQ(lines[2], "Waiting for process with pid \"4294967295\" to exit");
  EXPECT_EQ(lines[3], "Process with pid \"4294967295\" has exited");
  EXPECT_EQ(lines[6], "Pid: 0");
}

TEST_F(Relaunch, PathThatIsNotUTF8IsShownLossilyAndFailsAfterTheWaitWithoutALaunch) {
  processes_.set_present_for_checks(5, 1);
  const std::string path = "/Applications/Caf\xE9 \xF0\x9F.app";
  CapturedLog log;
  auto result = run(5, path, short_pauses());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "Could not convert \"app_path\" to a \"&str\"");
  EXPECT_EQ(log.lines(),
            concat({head(5, "/Applications/Caf\xEF\xBF\xBD \xEF\xBF\xBD.app"),
                    {out("Peer with pid 5 is still running after 1 attempts. Retrying in 20ms..."),
                     out("Process with pid \"5\" has exited")}}));
  EXPECT_TRUE(processes_.open_requests().empty());
}

TEST_F(Relaunch, ValidUTF8PathIsPassedAndLoggedUnchanged) {
  const std::string path = "/Applications/Caf\xC3\xA9 \"Neu\".app";
  CapturedLog log;
  EXPECT_TRUE(run(5, path, short_pauses()));
  EXPECT_EQ(log.lines(), concat({head(5, path), launch(5, path)}));
  EXPECT_EQ(processes_.open_requests().at(0).path, path);
}

// The handler is called by the platform later, from a thread of its own.
class LaunchOutcome : public Relaunch {
 protected:
  Lines outcome_lines(platform::LaunchOutcome outcome) {
    {
      CapturedLog quiet;
      EXPECT_TRUE(run(1, APP, short_pauses()));
    }
    auto requests = processes_.open_requests();
    EXPECT_EQ(requests.size(), 1u);
    if (requests.empty()) return {};
    CapturedLog log;
    std::thread platform_thread([&] { requests[0].completion(outcome); });
    platform_thread.join();
    return log.lines();
  }
};

TEST_F(LaunchOutcome, RunningApplicationWithoutErrorIsASuccess) {
  EXPECT_EQ(outcome_lines({true, std::nullopt}),
            Lines{out("Successfully completed launching application")});
}

TEST_F(LaunchOutcome, ErrorIsLoggedWithItsDescription) {
  EXPECT_EQ(outcome_lines({false,
                           "The application \xE2\x80\x9C"
                           "Example\xE2\x80\x9D is damaged."}),
            Lines{err("Failed to launch application: The application \xE2\x80\x9C"
                      "Example\xE2\x80\x9D is damaged.")});
}

TEST_F(LaunchOutcome, ErrorIsExaminedBeforeTheApplication) {
  EXPECT_EQ(outcome_lines({true, "No such file or directory"}),
            Lines{err("Failed to launch application: No such file or directory")});
}

TEST_F(LaunchOutcome, NeitherApplicationNorErrorIsAnUnknownError) {
  EXPECT_EQ(outcome_lines({false, std::nullopt}),
            Lines{err("Failed to launch application: unknown error")});
}

TEST_F(LaunchOutcome, EmptyDescriptionIsStillAnError) {
  EXPECT_EQ(outcome_lines({true, std::string()}), Lines{err("Failed to launch application: ")});
}

// Pauses are timer waits: on a runtime with a single thread, other tasks run while one waits.
TEST_F(Relaunch, PausesLeaveTheThreadToOtherTasks) {
  processes_.set_present_for_checks(3, FakeProcesses::FOREVER);
  CapturedLog log;
  asio::io_context io(1);
  std::optional<common::Status> result;
  std::atomic<int> ticks_during_wait{0};
  std::atomic<bool> waiting{true};
  asio::co_spawn(io, command(3, APP, short_pauses(), result), [&](std::exception_ptr e) {
    waiting = false;
    if (e) std::rethrow_exception(e);
  });
  auto ticker = [&]() -> asio::awaitable<void> {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    while (waiting) {
      timer.expires_after(5ms);
      co_await timer.async_wait(asio::use_awaitable);
      if (waiting) ++ticks_during_wait;
    }
  };
  asio::co_spawn(io, ticker(), [](std::exception_ptr e) {
    if (e) std::rethrow_exception(e);
  });
  io.run();
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(*result);
  // 300 ms of pauses at 5 ms per tick; far fewer would mean the pauses held the thread.
  EXPECT_GE(ticks_during_wait.load(), 20);
}

TEST(Delay, DoublesWithCarryUpToTheCap) {
  const Delay cap{60, 0};
  Delay d = Delay::from_millis(500);
  std::vector<Delay> sequence;
  for (int i = 0; i < 9; ++i) {
    sequence.push_back(d);
    d = util::system::next_delay(d, cap);
  }
  EXPECT_EQ(
      sequence,
      (std::vector<Delay>{
          {0, 500'000'000}, {1, 0}, {2, 0}, {4, 0}, {8, 0}, {16, 0}, {32, 0}, {60, 0}, {60, 0}}));
  EXPECT_EQ(util::system::next_delay({0, 600'000'000}, cap), (Delay{1, 200'000'000}));
  EXPECT_EQ(util::system::next_delay({1, 999'999'999}, cap), (Delay{3, 999'999'998}));
  EXPECT_EQ(util::system::next_delay({29, 999'999'999}, cap), (Delay{59, 999'999'998}));
  EXPECT_EQ(util::system::next_delay({30, 1}, cap), cap);
  EXPECT_EQ(util::system::next_delay({0, 0}, cap), (Delay{0, 0}));
  // A doubling beyond the counter's range is capped, not wrapped.
  const Delay huge_cap{UINT64_MAX, 999'999'999};
  EXPECT_EQ(util::system::next_delay({UINT64_MAX / 2 + 1, 0}, huge_cap), huge_cap);
  EXPECT_EQ(util::system::next_delay({UINT64_MAX / 2, 600'000'000}, huge_cap),
            (Delay{UINT64_MAX, 200'000'000}));
  EXPECT_EQ(util::system::next_delay({UINT64_MAX / 2, 400'000'000}, huge_cap),
            (Delay{UINT64_MAX - 1, 800'000'000}));
}

TEST(Delay, TheCommandsFourPausesAreWrittenAsTheRetryLinesShowThem) {
  main_service::ExitWaitParameters fixed;
  EXPECT_EQ(fixed.max_attempts, 5u);
  std::vector<std::string> written;
  Delay d = fixed.initial_delay;
  for (int i = 0; i < 4; ++i) {
    written.push_back(common::util::format_duration(d.seconds, d.nanoseconds));
    d = util::system::next_delay(d, fixed.max_delay);
  }
  EXPECT_EQ(written, (std::vector<std::string>{"500ms", "1s", "2s", "4s"}));
}

// The launcher is asked only for the application this helper serves, and on behalf of whoever
// asked: the identity check of an installed bundle comes before the request, not a full one.
TEST_F(Relaunch, BundleIsCheckedForItsIdentityAndOpenedForTheRequester) {
  CapturedLog log;
  EXPECT_TRUE(run(12, APP, short_pauses()));
  EXPECT_EQ(code_signing_.journal.at(0), "create_code_url " + APP);
  EXPECT_NE(std::find(code_signing_.journal.begin(), code_signing_.journal.end(),
                      "check_static_validity " + APP + " against " +
                          std::string(common::CLIENT_CODE_REQUIREMENT) + " (identity)"),
            code_signing_.journal.end());
  auto requests = processes_.open_requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requester.uid, 4711u);
  EXPECT_EQ(requests[0].requester.gid, 4711u);
  EXPECT_EQ(requests[0].requester.session_environment,
            (std::vector<std::string>{"DISPLAY=:7", "LANG=de_DE.UTF-8"}));
}

// A directory that only looks like a bundle (anyone can make one in /tmp) or an application
// signed by someone else is never started. The refusal is a failed launch: the handler's failure
// line after the request lines, and the command itself still succeeds.
TEST_F(Relaunch, BundleThatFailsTheIdentityCheckIsAFailedLaunchAndNothingIsOpened) {
  code_signing_.static_validity_failure =
      platform::SecFailure{-67062, {{-67062, "code object is not signed at all"}}};
  CapturedLog log;
  EXPECT_TRUE(run(12, "/tmp", short_pauses()));
  EXPECT_EQ(
      log.lines(),
      concat({head(12, "/tmp"),
              launch(12, "/tmp"),
              {err("Failed to launch application: SecStaticCodeCheckValidityWithErrors "
                   "failed with code: -67062 and error: code object is not signed at all")}}));
  EXPECT_TRUE(processes_.open_requests().empty());

  code_signing_.static_validity_failure.reset();
  code_signing_.static_code_status = -67068;
  CapturedLog second;
  EXPECT_TRUE(run(12, "/Applications/Other.app", short_pauses()));
  EXPECT_EQ(second.lines().back(),
            err("Failed to launch application: SecStaticCodeCreateWithPath failed with code: "
                "-67068"));
  EXPECT_TRUE(processes_.open_requests().empty());
}

// Through the connection handler: the command's lines sit between its received and successful
// lines, and the client gets its reply without waiting for the launch outcome.
TEST_F(Relaunch, ThroughTheConnectionHandler) {
  CapturedLog log;
  auto services = main_service::real_services(platform_);
  services.verify_peer = [](int) { return common::Status{}; };
  services.recheck_peer = nullptr;  // the peer here is the test itself
  {
    test_support::ServedConnection c(services);
    c.send(R"({"type":"WaitForExitAndLaunch","pid":31337,"app_path":")" + APP + "\"}");
    EXPECT_EQ(c.reply().value(), R"({"type":"Ok"})");
  }
  EXPECT_EQ(
      log.lines(),
      concat({{out("IPC: Client connected"), out("IPC: Command received: WaitForExitAndLaunch")},
              head(31337, APP),
              launch(31337, APP),
              {out("IPC: Command successful: WaitForExitAndLaunch"),
               out("IPC: Connection was closed by the client"),
               out("IPC: Client connection closed successfully")}}));
  EXPECT_EQ(processes_.open_requests().size(), 1u);
}

// Who asked is read once, when the client connects, and every relaunch on that connection acts
// for that user; the command has no way to name another.
TEST_F(Relaunch, RequesterIsReadOnceAtConnectionTimeAndUsedForEveryLaunch) {
  processes_.set_requester({1234, 99, {"WAYLAND_DISPLAY=wayland-1"}});
  auto services = main_service::real_services(platform_);
  services.verify_peer = [](int) { return common::Status{}; };
  CapturedLog log;
  {
    test_support::ServedConnection c(services);
    for (int i = 0; i < 2; ++i) {
      c.send(R"({"type":"WaitForExitAndLaunch","pid":31337,"app_path":")" + APP + "\"}");
      EXPECT_EQ(c.reply().value(), R"({"type":"Ok"})");
      // What a later look-up would say: root. It must never be asked.
      processes_.set_requester({0, 0, {}});
    }
  }
  EXPECT_EQ(processes_.requester_lookups().size(), 1u);
  auto requests = processes_.open_requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.requester.uid, 1234u);
    EXPECT_EQ(request.requester.gid, 99u);
    EXPECT_EQ(request.requester.session_environment,
              std::vector<std::string>{"WAYLAND_DISPLAY=wayland-1"});
  }
}

// A peer whose user cannot be read is turned away like one that fails verification, before any
// frame is read; a peer that fails verification is not even looked up.
TEST_F(Relaunch, PeerWhoseUserCannotBeReadIsTurnedAway) {
  processes_.set_requester_errno(ENOTCONN);
  auto services = main_service::real_services(platform_);
  services.verify_peer = [](int) { return common::Status{}; };
  CapturedLog log;
  {
    test_support::ServedConnection c(services);
    EXPECT_TRUE(c.closed_by_helper());
  }
  EXPECT_TRUE(processes_.open_requests().empty());
  EXPECT_EQ(log.lines(),
            (Lines{out("IPC: Client connected"),
                   err("IPC: Client connection closed with error: Client code signing validation "
                       "failed: " +
                       common::Error::os(ENOTCONN).text())}));

  services.verify_peer = [](int) { return common::Status(common::fail_other("not signed")); };
  { test_support::ServedConnection c(services); }
  EXPECT_EQ(processes_.requester_lookups().size(), 1u);
}

}  // namespace
