// ReplaceAppAtomic through the real helper binary, asked by a signed client: the whole road from
// the frame to the swapped bundle, and the helper killed at random moments while it replaces.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "activator.hpp"
#include "file_tree_support.hpp"
#include "main/app_package_validation.hpp"
#include "posix/file_tree.hpp"
#include "replace_support.hpp"

#if defined(KOLVARIS_HELPER_BINARY) && defined(KOLVARIS_HELPERCTL_BINARY)

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using replace_support::SignedHelperctl;
using test_support::ActivatedHelper;

std::string quoted_argument(const fs::path& path) {
  return test_support::shell_quoted(path.string());
}

TEST(ReplaceThroughTheHelper, SignedClientGetsOkAndTheBundleIsSwapped) {
  SignedHelperctl client;
  ASSERT_TRUE(client.ok());
  test_support::TempDir dir;
  fs::path destination =
      replace_support::make_large_bundle(dir.path() / "Applications", "1.0", 3, 4);
  fs::path built = replace_support::make_large_bundle(dir.path() / "Downloads", "2.0", 3, 4);
  ASSERT_FALSE(destination.empty());
  ASSERT_FALSE(built.empty());
  fs::path source = dir.path() / "Downloads" / "Kolvaris 2.0.app";
  fs::rename(built, source);
  auto expected = file_tree_support::manifest_of(source.string());

  fs::create_directories(dir.path() / "helper");
  ActivatedHelper helper(KOLVARIS_HELPER_BINARY, dir.path() / "helper");
  ASSERT_TRUE(helper.wait_out("IPC: Listener created for socket: ", 30s));
  auto [status, out] = client.run(helper.socket_path(), "replace " + quoted_argument(source) + " " +
                                                            quoted_argument(destination));
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "Ok\n");
  EXPECT_EQ(file_tree_support::manifest_of(destination.string()), expected);

  ASSERT_TRUE(helper.wait_out("IPC: Client connection closed successfully\n", 30s));
  std::string log = helper.out();
  EXPECT_NE(log.find("IPC: Command received: ReplaceAppAtomic\n"
                     "Source path: " +
                     source.string() +
                     "\n"
                     "Destination path: " +
                     destination.string() +
                     "\n"
                     "Validating signature of source app package\n"
                     "Successfully validated signature of source app package\n"
                     "Initiating atomic replacement of destination app package with source app "
                     "package\n"
                     "Validating signature of destination app package\n"
                     "Successfully validated signature of destination app package\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Successfully validated signature of item in temporary directory\n"),
            std::string::npos);
  EXPECT_NE(log.find("Successfully removed quarantine attribute\n"
                     "Replace item at destination with item from temporary directory\n"
                     "Successfully replaced app package\n"
                     "IPC: Command successful: ReplaceAppAtomic\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(helper.err(), "");
}

// The helper itself killed at random moments during 30 replacements of a bundle of 2,000 files:
// afterwards the destination holds the whole old or the whole new bundle, validly signed.
TEST(ReplaceThroughTheHelper, HelperKilledMidReplacementLeavesTheOldOrTheNewBundle) {
  SignedHelperctl client;
  ASSERT_TRUE(client.ok());
  test_support::TempDir dir;
  fs::path old_source = replace_support::make_large_bundle(dir.path() / "old", "1.0");
  fs::path new_source = replace_support::make_large_bundle(dir.path() / "new", "2.0");
  ASSERT_FALSE(old_source.empty());
  ASSERT_FALSE(new_source.empty());
  fs::path destination = dir.path() / "Applications" / "Kolvaris.app";
  fs::create_directories(destination.parent_path());
  fs::copy(old_source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  const auto old_manifest = file_tree_support::manifest_of(old_source.string());
  const auto new_manifest = file_tree_support::manifest_of(new_source.string());
  ASSERT_GT(old_manifest.size(), 2000u);
  platform::Platform platform = platform::system_platform();

  // One run as it should be: its duration is the range of the random moments.
  auto one_run = [&](const fs::path& source, std::optional<std::chrono::microseconds> kill_after) {
    fs::path helper_dir = dir.path() / "helper";
    fs::remove_all(helper_dir);
    fs::create_directories(helper_dir);
    ActivatedHelper helper(KOLVARIS_HELPER_BINARY, helper_dir);
    if (!helper.wait_out("IPC: Listener created for socket: ", 30s)) return -1;
    auto started = Clock::now();
    std::thread asking([&] {
      client.run(helper.socket_path(),
                 "replace " + quoted_argument(source) + " " + quoted_argument(destination));
    });
    if (kill_after) {
      std::this_thread::sleep_for(*kill_after);
      ::kill(helper.pid(), SIGKILL);
    }
    asking.join();
    auto elapsed = Clock::now() - started;
    helper.wait_exit(30s);
    for (const auto& entry : fs::directory_iterator(destination.parent_path())) {
      if (entry.path().filename().string().starts_with(".item-replacement-")) {
        // The parallel removal: on this kind of disk a sequential one takes many seconds.
        (void)posix::remove_tree(entry.path().string());
      }
    }
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  };
  int undisturbed_ms = one_run(new_source, std::nullopt);
  ASSERT_GT(undisturbed_ms, 0);
  ASSERT_EQ(file_tree_support::manifest_of(destination.string()), new_manifest);
  bool holds_new = true;

  std::mt19937_64 random(std::random_device{}());
  const long range = undisturbed_ms * 1000L;
  std::uniform_int_distribution<long> anywhere(0, range);
  std::uniform_int_distribution<long> late(range * 6 / 10, range);
  int swapped = 0;
  for (int i = 0; i < 30; ++i) {
    SCOPED_TRACE("replacement " + std::to_string(i));
    long moment = i % 2 == 0 ? anywhere(random) : late(random);
    one_run(holds_new ? old_source : new_source, std::chrono::microseconds(moment));
    auto now = file_tree_support::manifest_of(destination.string());
    bool is_new = now == new_manifest;
    ASSERT_TRUE(is_new || now == old_manifest) << "the destination holds a mixture";
    auto valid = main_service::validate_app_package_signature(platform, destination.string());
    ASSERT_TRUE(valid) << valid.error().text();
    swapped += is_new != holds_new ? 1 : 0;
    holds_new = is_new;
  }
  std::printf("30 helpers killed, %d after swapping the bundle (undisturbed run: %d ms)\n", swapped,
              undisturbed_ms);
}

}  // namespace

#endif
