// Reaching items with a user's rights on Linux: the kernel's answer for that user (groups
// included), the helper's own identity untouched, and a URL that stays on the item reached.

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/linux/files_linux.hpp"
#include "platform/linux/processes_linux.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using platform::Credentials;
using platform::Reach;
using platform::linux_impl::LinuxFiles;

// An id that names neither a user nor a group of this system.
std::uint32_t unused_id(std::uint32_t from) {
  while (::getpwuid(from) != nullptr || ::getgrgid(from) != nullptr) ++from;
  return from;
}

std::vector<gid_t> own_groups() {
  std::vector<gid_t> groups(static_cast<std::size_t>(::getgroups(0, nullptr)));
  groups.resize(
      static_cast<std::size_t>(::getgroups(static_cast<int>(groups.size()), groups.data())));
  return groups;
}

class ReachAs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to take other identities";
    user_ = unused_id(5100);
    group_ = unused_id(user_ + 1);
    ::chmod(dir_.path().c_str(), 0755);
  }

  fs::path make_directory(const fs::path& path, uid_t owner, gid_t group, mode_t mode) {
    fs::create_directories(path);
    EXPECT_EQ(::chown(path.c_str(), owner, group), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }

  LinuxFiles files_;
  test_support::TempDir dir_;
  std::uint32_t user_ = 0;
  std::uint32_t group_ = 0;
};

TEST_F(ReachAs, TheUsersGroupsCountAndTheHelperKeepsItsOwnIdentity) {
  const fs::path shared = make_directory(dir_.path() / "shared", 0, group_, 0770);
  const fs::path app = make_directory(shared / "App.app", 0, 0, 0755);
  const auto groups_before = own_groups();

  auto member =
      files_.reach_as(app.string(), Credentials{user_, user_, {7, group_}}, Reach::Locate);
  ASSERT_TRUE(member) << member.error();
  EXPECT_EQ(member->owner, 0u);
  EXPECT_EQ(member->parent_owner, 0u);
  EXPECT_TRUE(member->may_change_parent);

  auto by_primary_group =
      files_.reach_as(app.string(), Credentials{user_, group_, {}}, Reach::Open);
  ASSERT_TRUE(by_primary_group) << by_primary_group.error();
  EXPECT_TRUE(by_primary_group->may_change_parent);

  auto outsider = files_.reach_as(app.string(), Credentials{user_, user_, {7}}, Reach::Locate);
  ASSERT_FALSE(outsider);
  EXPECT_EQ(outsider.error(), EACCES);
  // Absent behind the same directory: the same answer.
  auto absent = files_.reach_as((shared / "Gone.app").string(), Credentials{user_, user_, {7}},
                                Reach::Locate);
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error(), EACCES);

  EXPECT_EQ(::geteuid(), 0u);
  EXPECT_EQ(::getuid(), 0u);
  EXPECT_EQ(::getegid(), 0u);
  EXPECT_EQ(own_groups(), groups_before);
}

TEST_F(ReachAs, OpeningNeedsReadAndNeverFollowsALink) {
  const fs::path apps = make_directory(dir_.path() / "apps", user_, user_, 0755);
  const fs::path closed = make_directory(apps / "Closed.app", 0, 0, 0700);
  const Credentials user{user_, user_, {}};

  auto open = files_.reach_as(closed.string(), user, Reach::Open);
  ASSERT_FALSE(open);
  EXPECT_EQ(open.error(), EACCES);
  // Looking at it needs only the search of the directories on the way.
  auto located = files_.reach_as(closed.string(), user, Reach::Locate);
  ASSERT_TRUE(located) << located.error();
  EXPECT_EQ(located->owner, 0u);
  EXPECT_EQ(located->parent_owner, user_);
  EXPECT_TRUE(located->may_change_parent);

  fs::create_directory_symlink(closed, apps / "Link.app");
  auto link = files_.reach_as((apps / "Link.app").string(), Credentials{0, 0, {}}, Reach::Open);
  // A link to a directory root may open is not followed: the kernel answers as for a non-directory.
  ASSERT_FALSE(link);
  EXPECT_EQ(link.error(), ENOTDIR);
  std::ofstream(apps / "File.app") << "not a directory";
  auto file = files_.reach_as((apps / "File.app").string(), user, Reach::Open);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error(), ENOTDIR);
}

// What the user reached is what root then acts on: an item swapped in under the same name
// afterwards is refused, not used.
TEST_F(ReachAs, TheUrlStaysOnTheItemTheUserReached) {
  const fs::path apps = make_directory(dir_.path() / "apps", user_, user_, 0755);
  const fs::path app = make_directory(apps / "App.app", user_, user_, 0755);
  auto reached = files_.reach_as(app.string(), Credentials{user_, user_, {}}, Reach::Open);
  ASSERT_TRUE(reached) << reached.error();
  ASSERT_TRUE(
      std::holds_alternative<platform::FileSecurity>(files_.copy_file_security(reached->url)));

  fs::rename(app, apps / "Old.app");
  make_directory(app, 0, 0, 0755);
  auto now = files_.copy_file_security(reached->url);
  ASSERT_TRUE(std::holds_alternative<platform::CFCallFailure>(now));
  ASSERT_TRUE(std::get<platform::CFCallFailure>(now).error);
  EXPECT_EQ(std::get<platform::CFCallFailure>(now).error->code, ESTALE);
}

TEST(RequesterGroups, TheSupplementaryGroupsAreThoseThePeerConnectedWith) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  common::util::UniqueFd ours(pair[0]), theirs(pair[1]);
  platform::linux_impl::LinuxProcesses processes;
  auto requester = processes.requester_of(ours.get());
  ASSERT_TRUE(requester) << requester.error();
  auto expected = own_groups();
  std::vector<std::uint32_t> groups(expected.begin(), expected.end());
  EXPECT_EQ(requester->groups, groups);
}

}  // namespace
