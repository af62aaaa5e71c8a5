// The Linux file operations on real trees: copy, security facts and ownership, the walk, the
// replacement directory and the swap, quarantine removal. Tests that change owners need root
// and skip otherwise.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <random>
#include <thread>

#include "codesign/sha256.hpp"
#include "codesign/written_digests.hpp"
#include "file_tree_support.hpp"
#include "platform/linux/files_linux.hpp"
#include "posix/file_tree.hpp"
#include "test_support.hpp"

namespace {

using namespace file_tree_support;
using platform::FileUrl;
using platform::linux_impl::LinuxFiles;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* QUARANTINE = "user.com.apple.quarantine";

#define REQUIRE_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root"

class LinuxFilesTest : public ::testing::Test {
 protected:
  std::string at(const std::string& relative) const { return (dir_.path() / relative).string(); }

  // A bundle with every kind of item the copy must keep.
  void make_bundle(const std::string& top) {
    std::filesystem::create_directories(top + "/Contents/MacOS");
    std::filesystem::create_directories(top + "/Contents/Resources/Empty");
    std::filesystem::create_directories(top + "/Contents/Frameworks/Kit.framework/Versions/A");
    write_file(top + "/Contents/Info.plist", "<plist/>", 0644);
    write_file(top + "/Contents/MacOS/App", std::string(3 << 20, 'x') + "end", 0755);
    write_file(top + "/Contents/Resources/.hidden", "hidden", 0600);
    write_file(top + "/Contents/Resources/empty-file", "", 0444);
    write_file(top + "/Contents/Frameworks/Kit.framework/Versions/A/Kit", "kit", 0555);
    std::filesystem::create_symlink("A",
                                    top + "/Contents/Frameworks/Kit.framework/Versions/Current");
    std::filesystem::create_symlink("Versions/Current/Kit",
                                    top + "/Contents/Frameworks/Kit.framework/Kit");
    std::filesystem::create_symlink("/nonexistent/target", top + "/Contents/Resources/dangling");
    ::mkfifo((top + "/Contents/Resources/pipe").c_str(), 0640);
    ::chmod((top + "/Contents/Resources").c_str(), 0555);
    set_attribute(top, QUARANTINE, "0081;5f;Browser;");
    set_attribute(top + "/Contents/MacOS/App", QUARANTINE, "0081;5f;Browser;");
    set_attribute(top + "/Contents/MacOS/App", "user.other", "kept");
    // Under relatime a read moves the access time when it is older than a day or not after the
    // modification time; this one is neither, so reading the source (the copy does) leaves it be.
    struct timespec times[2] = {ATIME, MTIME};
    ::utimensat(AT_FDCWD, (top + "/Contents/Info.plist").c_str(), times, 0);
    ::utimensat(AT_FDCWD, (top + "/Contents/Resources").c_str(), times, 0);
    ::utimensat(AT_FDCWD, (top + "/Contents/Resources/dangling").c_str(), times,
                AT_SYMLINK_NOFOLLOW);
  }

  static constexpr struct timespec MTIME = {1200000000, 7};
  const struct timespec ATIME = {::time(nullptr) - 3600, 5};

  test_support::TempDir dir_;
  LinuxFiles files_;
};

TEST_F(LinuxFilesTest, CopyKeepsTypesModesLinksAttributesAndTimes) {
  make_bundle(at("src/New.app"));
  std::filesystem::create_directories(at("dst"));
  ASSERT_TRUE(
      files_.copy_item(files_.file_url(at("src/New.app")), files_.file_url(at("dst/App.app"))));
  EXPECT_EQ(manifest_of(at("dst/App.app")), manifest_of(at("src/New.app")));
  EXPECT_TRUE(S_ISFIFO(lstat_of(at("dst/App.app/Contents/Resources/pipe")).st_mode));
  EXPECT_EQ(attribute(at("dst/App.app"), QUARANTINE), "0081;5f;Browser;");
  EXPECT_EQ(attribute(at("dst/App.app/Contents/MacOS/App"), "user.other"), "kept");
  for (const char* relative :
       {"Contents/Info.plist", "Contents/Resources", "Contents/Resources/dangling"}) {
    SCOPED_TRACE(relative);
    auto copied = lstat_of(at("dst/App.app/") + relative);
    auto original = lstat_of(at("src/New.app/") + relative);
    EXPECT_EQ(copied.st_mtim.tv_sec, MTIME.tv_sec);
    EXPECT_EQ(copied.st_mtim.tv_nsec, MTIME.tv_nsec);
    EXPECT_EQ(original.st_mtim.tv_sec, MTIME.tv_sec);
    // A strictatime mount moves the source's access time on every read; then the copy carries
    // whichever it found, and only the other mounts pin it down.
    if (original.st_atim.tv_sec == ATIME.tv_sec && original.st_atim.tv_nsec == ATIME.tv_nsec) {
      EXPECT_EQ(copied.st_atim.tv_sec, ATIME.tv_sec);
      EXPECT_EQ(copied.st_atim.tv_nsec, ATIME.tv_nsec);
    } else {
      EXPECT_GE(copied.st_atim.tv_sec, ATIME.tv_sec);
    }
  }
}

// The copy hashes every file as it writes it, so the validation that follows need not read the
// copy again: each regular file of the copy has the digest of its contents waiting under its
// key, once; a file changed since has a new key and none.
TEST_F(LinuxFilesTest, CopyRecordsTheDigestOfEveryFileAsItWroteIt) {
  make_bundle(at("src/New.app"));
  // Many chunks of the copy, each different, and a last one that is not full: a digest over
  // chunks out of order or cut short does not match.
  std::string large(3 * 256 * 1024 + 4321, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 / 4096);
  write_file(at("src/New.app/Contents/Resources/large.dat"), large, 0644);
  std::filesystem::create_directories(at("dst"));
  ASSERT_TRUE(
      files_.copy_item(files_.file_url(at("src/New.app")), files_.file_url(at("dst/App.app"))));
  std::filesystem::permissions(at("dst/App.app/Contents/Resources"),
                               std::filesystem::perms::owner_all);
  int files = 0;
  for (const auto& item : std::filesystem::recursive_directory_iterator(at("dst/App.app"))) {
    if (!item.is_regular_file() || item.is_symlink()) continue;
    SCOPED_TRACE(item.path().string());
    ++files;
    auto digest = codesign::written_digests().take(codesign::file_key(lstat_of(item.path())));
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(*digest, *codesign::sha256_bytes(read_file(item.path())));
    EXPECT_FALSE(codesign::written_digests().take(codesign::file_key(lstat_of(item.path()))));
  }
  EXPECT_EQ(files, 6);

  ASSERT_TRUE(
      files_.copy_item(files_.file_url(at("src/New.app")), files_.file_url(at("dst/B.app"))));
  const std::string kit = at("dst/B.app/Contents/Frameworks/Kit.framework/Versions/A/Kit");
  const auto written = codesign::file_key(lstat_of(kit));
  ::chmod(kit.c_str(), 0755);
  write_file(kit, "KIT", 0755);
  EXPECT_NE(codesign::file_key(lstat_of(kit)), written);
  EXPECT_FALSE(codesign::written_digests().take(codesign::file_key(lstat_of(kit))));
}

TEST_F(LinuxFilesTest, CopyOfALinkIsALinkAndNothingBehindItIsRead) {
  std::filesystem::create_directories(at("outside"));
  write_file(at("outside/secret"), "secret", 0600);
  std::filesystem::create_directory_symlink(at("outside"), at("Link.app"));
  ASSERT_TRUE(files_.copy_item(files_.file_url(at("Link.app")), files_.file_url(at("Copy.app"))));
  EXPECT_TRUE(S_ISLNK(lstat_of(at("Copy.app")).st_mode));
  EXPECT_EQ(std::filesystem::read_symlink(at("Copy.app")), at("outside"));
}

TEST_F(LinuxFilesTest, CopyRefusesAnExistingTargetAndNamesTheItem) {
  make_bundle(at("New.app"));
  std::filesystem::create_directories(at("App.app"));
  auto copied = files_.copy_item(files_.file_url(at("New.app")), files_.file_url(at("App.app")));
  ASSERT_FALSE(copied);
  EXPECT_EQ(copied.error().localized_description, "Could not copy \"" + at("New.app") +
                                                      "\" into \"" + at("App.app") +
                                                      "\": File exists (os error 17)");
}

TEST_F(LinuxFilesTest, CopyRefusesDeviceNodesAndNeverCopiesPrivilegedAttributes) {
  REQUIRE_ROOT();
  std::filesystem::create_directories(at("New.app/Contents"));
  write_file(at("New.app/Contents/tool"), "tool", 0755);
  set_attribute(at("New.app/Contents/tool"), "trusted.grant", "x");
  ASSERT_EQ(attribute(at("New.app/Contents/tool"), "trusted.grant"), "x");
  ASSERT_TRUE(files_.copy_item(files_.file_url(at("New.app")), files_.file_url(at("A.app"))));
  EXPECT_EQ(attribute(at("A.app/Contents/tool"), "trusted.grant"), std::nullopt);

  ASSERT_EQ(::mknod(at("New.app/Contents/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  auto copied = files_.copy_item(files_.file_url(at("New.app")), files_.file_url(at("B.app")));
  ASSERT_FALSE(copied);
  EXPECT_THAT(*copied.error().localized_description,
              HasSubstr(at("New.app/Contents/null") + "\" into"));
  EXPECT_THAT(*copied.error().localized_description, HasSubstr("(os error 95)"));
}

TEST_F(LinuxFilesTest, CopyNeverCarriesSetIdBits) {
  // A set-id copy owned by root, even for the moment before its owner changes, is a root shell
  // for whoever can reach it; the sticky bit of a directory is harmless and kept.
  std::filesystem::create_directories(at("New.app/Contents/shared"));
  write_file(at("New.app/Contents/helper"), "x", 0755);
  ::chmod(at("New.app/Contents/helper").c_str(), 06755);
  ::chmod(at("New.app/Contents/shared").c_str(), 03777);
  ASSERT_TRUE(files_.copy_item(files_.file_url(at("New.app")), files_.file_url(at("App.app"))));
  EXPECT_EQ(lstat_of(at("App.app/Contents/helper")).st_mode & 07777, 0755u);
  EXPECT_EQ(lstat_of(at("App.app/Contents/shared")).st_mode & 07777, 01777u);
}

TEST_F(LinuxFilesTest, PermissionBitsAndLinkFactsNeverReachALinksTarget) {
  write_file(at("target"), "t", 06755);
  ::chmod(at("target").c_str(), 06755);
  std::filesystem::create_symlink(at("target"), at("link"));
  ::mkfifo(at("pipe").c_str(), 02640);
  ::chmod(at("pipe").c_str(), 02640);

  EXPECT_EQ(files_.is_symbolic_link(files_.file_url(at("link"))), std::optional<bool>(true));
  EXPECT_EQ(files_.is_symbolic_link(files_.file_url(at("target"))), std::optional<bool>(false));
  EXPECT_EQ(files_.is_symbolic_link(files_.file_url(at("missing"))), std::nullopt);

  // A link has no bits of its own here: it is left alone, and so is what it names.
  ASSERT_TRUE(files_.write_permission_bits(files_.file_url(at("link")), 0755));
  EXPECT_EQ(lstat_of(at("target")).st_mode & 07777, 06755u);
  ASSERT_TRUE(files_.write_permission_bits(files_.file_url(at("target")), 0755));
  EXPECT_EQ(lstat_of(at("target")).st_mode & 07777, 0755u);
  // A FIFO without a writer does not hold the call up.
  ASSERT_TRUE(files_.write_permission_bits(files_.file_url(at("pipe")), 0640));
  EXPECT_EQ(lstat_of(at("pipe")).st_mode & 07777, 0640u);
  EXPECT_FALSE(files_.write_permission_bits(files_.file_url(at("missing")), 0644));
}

TEST_F(LinuxFilesTest, SecurityFactsAreTheItemsOwnEvenForALink) {
  REQUIRE_ROOT();
  write_file(at("target"), "t", 0640);
  ASSERT_EQ(::chown(at("target").c_str(), 1234, 1234), 0);
  std::filesystem::create_symlink(at("target"), at("link"));
  ASSERT_EQ(::lchown(at("link").c_str(), 77, 88), 0);

  auto copied = files_.copy_file_security(FileUrl{at("link"), false});
  ASSERT_TRUE(std::holds_alternative<platform::FileSecurity>(copied));
  auto& security = std::get<platform::FileSecurity>(copied);
  EXPECT_EQ(security.owner, 77u);
  EXPECT_EQ(security.group, 88u);
  EXPECT_EQ(security.mode, 0777);

  ASSERT_TRUE(files_.set_owner(security, 501));
  ASSERT_TRUE(files_.set_group(security, 80));
  ASSERT_TRUE(files_.write_file_security(FileUrl{at("link"), false}, security));
  EXPECT_EQ(lstat_of(at("link")).st_uid, 501u);
  EXPECT_EQ(lstat_of(at("link")).st_gid, 80u);
  EXPECT_EQ(lstat_of(at("target")).st_uid, 1234u);
  EXPECT_EQ(lstat_of(at("target")).st_gid, 1234u);
  EXPECT_EQ(lstat_of(at("target")).st_mode & 07777, 0640u);
}

TEST_F(LinuxFilesTest, SecurityOfAMissingItemIsACoreFoundationStyleFailure) {
  auto copied = files_.copy_file_security(FileUrl{at("missing"), false});
  ASSERT_TRUE(std::holds_alternative<platform::CFCallFailure>(copied));
  const auto& error = std::get<platform::CFCallFailure>(copied).error;
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, ENOENT);
  EXPECT_EQ(
      error->description,
      std::string("\"").append(at("missing")).append("\": No such file or directory (os error 2)"));
  auto written = files_.write_file_security(FileUrl{at("missing"), false}, {});
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().error->code, ENOENT);
}

TEST_F(LinuxFilesTest, WalkIsPreOrderIncludesHiddenItemsAndNeverEntersLinks) {
  std::filesystem::create_directories(at("B.app/Contents/Nested.app/Contents"));
  std::filesystem::create_directories(at("outside/deep"));
  write_file(at("B.app/.hidden"), "");
  write_file(at("B.app/Contents/Nested.app/Contents/x"), "");
  std::filesystem::create_directory_symlink(at("outside"), at("B.app/Contents/link"));
  auto enumerator = files_.enumerate_recursively(files_.file_url(at("B.app")));
  ASSERT_TRUE(enumerator);
  std::vector<std::pair<std::string, bool>> seen;
  for (;;) {
    auto step = enumerator->next();
    if (step.kind == platform::EnumeratorStep::Kind::End) break;
    ASSERT_EQ(step.kind, platform::EnumeratorStep::Kind::Success);
    seen.emplace_back(step.url.path.substr(at("B.app").size()), step.url.is_directory);
  }
  using P = std::pair<std::string, bool>;
  EXPECT_THAT(
      seen, ElementsAre(P{"/.hidden", false}, P{"/Contents", true}, P{"/Contents/Nested.app", true},
                        P{"/Contents/Nested.app/Contents", true},
                        P{"/Contents/Nested.app/Contents/x", false}, P{"/Contents/link", false}));
}

TEST_F(LinuxFilesTest, WalkOfALinkOrAFileHasNoItemsAndADirectoryThatVanishesIsAnError) {
  std::filesystem::create_directories(at("real"));
  std::filesystem::create_directory_symlink(at("real"), at("link"));
  write_file(at("file"), "");
  for (const char* top : {"link", "file"}) {
    auto step = files_.enumerate_recursively(FileUrl{at(top), true})->next();
    EXPECT_EQ(step.kind, platform::EnumeratorStep::Kind::End) << top;
  }
  auto missing = files_.enumerate_recursively(FileUrl{at("missing"), true})->next();
  EXPECT_EQ(missing.kind, platform::EnumeratorStep::Kind::Error);
  EXPECT_EQ(missing.error->code, ENOENT);

  // A directory replaced by a file between being listed and being entered.
  std::filesystem::create_directories(at("T.app/sub"));
  write_file(at("T.app/z"), "");
  auto enumerator = files_.enumerate_recursively(FileUrl{at("T.app"), true});
  auto first = enumerator->next();
  ASSERT_EQ(first.url.path, at("T.app/sub"));
  std::filesystem::remove(at("T.app/sub"));
  write_file(at("T.app/sub"), "");
  auto failed = enumerator->next();
  ASSERT_EQ(failed.kind, platform::EnumeratorStep::Kind::Error);
  EXPECT_EQ(failed.error->code, ENOTDIR);
  EXPECT_THAT(*failed.error->description, HasSubstr(at("T.app/sub")));
}

TEST_F(LinuxFilesTest, UrlsAreAbsoluteFileUrlsWithEscapedPaths) {
  auto url = files_.file_url("/Applications/My App.app/");
  EXPECT_EQ(url.path, "/Applications/My App.app");
  EXPECT_EQ(files_.url_string(url), "file:///Applications/My%20App.app/");
  EXPECT_EQ(files_.url_path(url), "/Applications/My App.app");
  auto child = files_.append_path_component(url, "Caf\xC3\xA9#1");
  ASSERT_TRUE(child);
  EXPECT_EQ(files_.url_string(*child), "file:///Applications/My%20App.app/Caf%C3%A9%231");
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(files_.file_url("rel/App.app").path, std::string(cwd) + "/rel/App.app");
  EXPECT_EQ(files_.url_string(files_.file_url("/")), "file:///");
}

TEST_F(LinuxFilesTest, ReplacementDirectoryIsPrivateAndBesideTheDestination) {
  std::filesystem::create_directories(at("Applications/App.app"));
  auto made = files_.item_replacement_directory(files_.file_url(at("Applications/App.app")));
  ASSERT_TRUE(made);
  EXPECT_EQ(std::filesystem::path(made->path).parent_path(), at("Applications"));
  auto st = lstat_of(made->path);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_dev, lstat_of(at("Applications/App.app")).st_dev);

  auto failed = files_.item_replacement_directory(files_.file_url(at("missing/App.app")));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().localized_description,
            "Could not create a replacement directory beside \"" + at("missing/App.app") +
                "\": No such file or directory (os error 2)");
}

TEST_F(LinuxFilesTest, SwapInstallsTheNewTreeAndRemovesTheOldOneAndTheEmptyDirectory) {
  make_bundle(at("Applications/App.app"));
  write_file(at("Applications/App.app/old-only"), "old");
  auto destination = files_.file_url(at("Applications/App.app"));
  auto directory = files_.item_replacement_directory(destination);
  ASSERT_TRUE(directory);
  auto item = files_.append_path_component(*directory, "App.app");
  make_bundle(item->path);
  write_file(item->path + "/new-only", "new");
  auto expected = manifest_of(item->path);
  ino_t new_inode = lstat_of(item->path).st_ino;

  ASSERT_TRUE(files_.replace_item(destination, *item, "backup"));
  EXPECT_EQ(lstat_of(at("Applications/App.app")).st_ino, new_inode);
  EXPECT_EQ(manifest_of(at("Applications/App.app")), expected);
  // The emptied replacement directory goes with the last URL made from it.
  const std::string made = directory->path;
  EXPECT_TRUE(exists(made));
  item.reset();
  directory = std::unexpected(platform::FoundationFailure{});
  EXPECT_FALSE(exists(made));
  EXPECT_THAT(std::vector<std::filesystem::path>(
                  std::filesystem::directory_iterator(at("Applications")), {}),
              ElementsAre(at("Applications/App.app")));
}

TEST_F(LinuxFilesTest, SwapWithAMissingDestinationChangesNothing) {
  std::filesystem::create_directories(at("Applications"));
  auto destination = files_.file_url(at("Applications/App.app"));
  auto directory = files_.item_replacement_directory(destination);
  auto item = files_.append_path_component(*directory, "App.app");
  std::filesystem::create_directories(item->path);
  auto replaced = files_.replace_item(destination, *item, "backup");
  ASSERT_FALSE(replaced);
  EXPECT_EQ(replaced.error().localized_description,
            "Could not exchange \"" + at("Applications/App.app") + "\" with \"" + item->path +
                "\": No such file or directory (os error 2)");
  EXPECT_TRUE(exists(item->path));
  EXPECT_FALSE(exists(at("Applications/App.app")));
}

TEST_F(LinuxFilesTest, QuarantineRemovalCoversTheTreeButNeverWhatALinkPointsAt) {
  make_bundle(at("A.app"));
  write_file(at("outside"), "o");
  set_attribute(at("outside"), QUARANTINE, "q");
  std::filesystem::create_symlink(at("outside"), at("A.app/Contents/link-out"));
  set_attribute(at("A.app/Contents/Resources/.hidden"), QUARANTINE, "q");
  std::filesystem::create_directories(at("A.app/Contents/Nested.app"));
  set_attribute(at("A.app/Contents/Nested.app"), QUARANTINE, "q");

  EXPECT_EQ(files_.remove_quarantine_attributes(files_.file_url(at("A.app"))), 0);
  for (const auto& [path, st] : stats_of(at("A.app"))) {
    EXPECT_EQ(attribute(path, QUARANTINE), std::nullopt) << path;
  }
  EXPECT_EQ(attribute(at("A.app/Contents/MacOS/App"), "user.other"), "kept");
  EXPECT_EQ(attribute(at("outside"), QUARANTINE), "q");

  // A link at the top is left alone as well; only an unreachable top is an error.
  std::filesystem::create_symlink(at("outside"), at("Link.app"));
  EXPECT_EQ(files_.remove_quarantine_attributes(files_.file_url(at("Link.app"))), 0);
  EXPECT_EQ(attribute(at("outside"), QUARANTINE), "q");
  EXPECT_EQ(files_.remove_quarantine_attributes(files_.file_url(at("missing"))), ENOENT);
}

// The removal opens what the listing called a file or a directory. A racer keeps exchanging one
// such name with a link to an outside file that carries the attribute, and with a FIFO: the link
// is never followed, and the FIFO never waited on.
TEST_F(LinuxFilesTest, QuarantineRemovalRacedWithLinksAndFifosReachesNothingOutside) {
  make_bundle(at("A.app"));
  write_file(at("outside"), "o");
  set_attribute(at("outside"), QUARANTINE, "q");
  const std::string raced = at("A.app/Contents/Resources/raced");
  write_file(raced, "r");
  std::filesystem::create_symlink(at("outside"), at("link"));
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
  const std::string others[] = {at("link"), at("fifo")};
  std::atomic<bool> stop{false};
  std::atomic<int> exchanges{0};
  std::thread racer([&] {
    for (int i = 0; !stop.load(); ++i) {
      if (::renameat2(AT_FDCWD, raced.c_str(), AT_FDCWD, others[i % 2].c_str(), RENAME_EXCHANGE) ==
          0) {
        ++exchanges;
      }
    }
  });
  for (int round = 0; round < 2000; ++round) {
    ASSERT_EQ(files_.remove_quarantine_attributes(files_.file_url(at("A.app"))), 0);
  }
  stop = true;
  racer.join();
  EXPECT_GT(exchanges.load(), 0);
  EXPECT_EQ(attribute(at("outside"), QUARANTINE), "q");
}

TEST_F(LinuxFilesTest, RemovalTakesEveryItemAndNeverFollowsALink) {
  std::filesystem::create_directories(at("victim"));
  write_file(at("victim/keep"), "k");
  std::filesystem::create_directories(at("old.app/Contents"));
  std::filesystem::create_directory_symlink(at("victim"), at("old.app/Contents/link"));
  std::filesystem::create_symlink(at("victim/keep"), at("old.app/Contents/file-link"));
  // A directory big enough to be shared out, a deep chain, hidden and read-only items.
  std::filesystem::create_directories(at("old.app/Contents/flat"));
  for (int i = 0; i < 300; ++i) write_file(at("old.app/Contents/flat/f" + std::to_string(i)), "");
  std::string deep = at("old.app/Contents/deep");
  for (int i = 0; i < 25; ++i) deep += "/d" + std::to_string(i);
  std::filesystem::create_directories(deep);
  write_file(deep + "/.hidden", "h", 0400);
  ::mkfifo(at("old.app/Contents/pipe").c_str(), 0600);
  // Bundles have read-only directories; root removes them all the same.
  if (::geteuid() == 0) ::chmod(at("old.app/Contents").c_str(), 0555);

  ASSERT_TRUE(posix::remove_tree(at("old.app")));
  EXPECT_FALSE(exists(at("old.app")));
  EXPECT_EQ(read_file(at("victim/keep")), "k");
  // A single file or link is removed as such.
  std::filesystem::create_symlink(at("victim"), at("lone-link"));
  ASSERT_TRUE(posix::remove_tree(at("lone-link")));
  EXPECT_FALSE(exists(at("lone-link")));
  EXPECT_TRUE(exists(at("victim/keep")));
  auto missing = posix::remove_tree(at("missing"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().error, ENOENT);
}

}  // namespace
