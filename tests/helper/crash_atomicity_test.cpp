// A replacement killed at any moment leaves the whole old bundle or the whole new one at the
// destination, never a mixture. The procedure runs in a forked child that is killed with
// SIGKILL at random moments; the destination is then compared with both bundles and its
// signature checked.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "codesign_support.hpp"
#include "file_tree_support.hpp"
#include "main/app_package_validation.hpp"
#include "main/replace_app_atomic.hpp"
#include "platform/linux/files_linux.hpp"
#include "posix/file_tree.hpp"
#include "replace_support.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int REPLACEMENTS = 30;
class CrashAtomicityTest : public ::testing::Test {
 protected:
  CrashAtomicityTest() {
    platform_ = platform::system_platform();
    platform_.files = &files_;
  }

  // Starts the whole command in a child of its own, as the helper would run it.
  pid_t start_replacement(const fs::path& source) {
    pid_t pid = ::fork();
    if (pid == 0) {
      common::util::set_log_sink([](common::util::LogStream, std::string_view) {});
      auto result =
          main_service::run_replace_app_atomic(platform_, {source.string(), destination_.string()});
      ::_exit(result ? 0 : 1);
    }
    return pid;
  }

  static int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

  void remove_leftovers() {
    for (const auto& entry : fs::directory_iterator(destination_.parent_path())) {
      if (entry.path().filename().string().starts_with(".item-replacement-")) {
        // The parallel removal: on this kind of disk a sequential one takes many seconds.
        (void)posix::remove_tree(entry.path().string());
      }
    }
  }

  test_support::TempDir dir_;
  platform::linux_impl::LinuxFiles files_;
  platform::Platform platform_;
  fs::path destination_;
};

TEST_F(CrashAtomicityTest, KilledReplacementsLeaveTheWholeOldOrTheWholeNewBundle) {
  fs::path old_source = replace_support::make_large_bundle(dir_.path() / "old", "1.0");
  fs::path new_source = replace_support::make_large_bundle(dir_.path() / "new", "2.0");
  destination_ = dir_.path() / "Applications" / "Kolvaris.app";
  fs::create_directories(destination_.parent_path());
  ASSERT_TRUE(files_.copy_item(files_.file_url(old_source.string()),
                               files_.file_url(destination_.string())));
  const auto old_manifest = file_tree_support::manifest_of(old_source.string());
  const auto new_manifest = file_tree_support::manifest_of(new_source.string());
  ASSERT_EQ(file_tree_support::manifest_of(destination_.string()), old_manifest);
  ASSERT_GT(old_manifest.size(), 2000u);

  // One undisturbed run sets the range of the random moments.
  auto started = Clock::now();
  int status = wait_for(start_replacement(new_source));
  auto undisturbed = Clock::now() - started;
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(file_tree_support::manifest_of(destination_.string()), new_manifest);
  bool holds_new = true;

  std::mt19937_64 random(std::random_device{}());
  auto range = std::chrono::duration_cast<std::chrono::microseconds>(undisturbed).count();
  // Every other kill falls in the last part of the run, where the swap and the removal of the old
  // bundle happen.
  std::uniform_int_distribution<long> anywhere(0, range + range / 10);
  std::uniform_int_distribution<long> late(range * 7 / 10, range + range / 10);
  int interrupted = 0;
  int finished = 0;
  int swapped = 0;
  for (int i = 0; i < REPLACEMENTS; ++i) {
    SCOPED_TRACE("replacement " + std::to_string(i));
    const fs::path& source = holds_new ? old_source : new_source;
    pid_t child = start_replacement(source);
    std::this_thread::sleep_for(
        std::chrono::microseconds(i % 2 == 0 ? anywhere(random) : late(random)));
    ::kill(child, SIGKILL);
    status = wait_for(child);
    (WIFSIGNALED(status) ? interrupted : finished) += 1;

    auto now = file_tree_support::manifest_of(destination_.string());
    bool is_old = now == old_manifest;
    bool is_new = now == new_manifest;
    ASSERT_TRUE(is_old || is_new) << "the destination holds a mixture";
    auto valid = main_service::validate_app_package_signature(platform_, destination_.string());
    ASSERT_TRUE(valid) << valid.error().text();
    swapped += is_new != holds_new ? 1 : 0;
    holds_new = is_new;
    remove_leftovers();
  }
  std::printf(
      "%d replacements killed, %d finished before the kill; %d of all swapped the bundle "
      "(undisturbed run: %ld ms)\n",
      interrupted, finished, swapped, static_cast<long>(range / 1000));
  RecordProperty("killed", interrupted);
}

}  // namespace
