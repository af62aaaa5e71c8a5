// The macOS layer's decisions that need no Apple header, compiled here from the darwin folder:
// the flags of a static code-signing check and what makes a replacement directory the helper's.

#include "platform/darwin/darwin_rules.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using namespace platform::darwin;

TEST(DarwinCheckFlagsTest, TheFullCheckRejectsLinksOutOfTheBundle) {
  // The framework honours RESTRICT_SYMLINKS only in strict mode: both must be there.
  EXPECT_EQ(FULL_CHECK_FLAGS & (STRICT_VALIDATE | RESTRICT_SYMLINKS),
            STRICT_VALIDATE | RESTRICT_SYMLINKS);
  EXPECT_NE(FULL_CHECK_FLAGS & CHECK_ALL_ARCHITECTURES, 0u);
  EXPECT_NE(FULL_CHECK_FLAGS & CHECK_NESTED_CODE, 0u);
  // A full check hashes the executable and the resources (nested code is checked inside the
  // resource pass, so skipping resources would skip it too).
  EXPECT_EQ(FULL_CHECK_FLAGS & BASIC_VALIDATE_ONLY, 0u);
  // The framework's values (SecStaticCode.h), as the darwin build also asserts.
  EXPECT_EQ(FULL_CHECK_FLAGS, 0x99u);
}

TEST(DarwinCheckFlagsTest, TheIdentityCheckHashesNothing) {
  EXPECT_EQ(IDENTITY_CHECK_FLAGS, DO_NOT_VALIDATE_EXECUTABLE | DO_NOT_VALIDATE_RESOURCES);
  EXPECT_EQ(IDENTITY_CHECK_FLAGS, 6u);
}

TEST(DarwinReplacementDirectoryTest, OnlyTheHelpersOwnDirectoryIsUsed) {
  constexpr std::uint32_t ROOT = 0;
  EXPECT_EQ(replacement_directory_state(S_IFDIR | 0700, ROOT, ROOT),
            ReplacementDirectoryState::Private);
  // Readable by others but writable by nobody else: made private, then used.
  EXPECT_EQ(replacement_directory_state(S_IFDIR | 0755, ROOT, ROOT),
            ReplacementDirectoryState::Tighten);
  EXPECT_EQ(replacement_directory_state(S_IFDIR | 01700, ROOT, ROOT),
            ReplacementDirectoryState::Tighten);
  // Someone else's, or writable by others (who may have put something in it already), or a
  // set-gid directory whose items would take another group: never used.
  EXPECT_EQ(replacement_directory_state(S_IFDIR | 0700, 501, ROOT),
            ReplacementDirectoryState::Refused);
  EXPECT_EQ(replacement_directory_state(S_IFDIR | 0770, ROOT, ROOT),
            ReplacementDirectoryState::Refused);
  EXPECT_EQ(replacement_directory_state(S_IFDIR | 0703, ROOT, ROOT),
            ReplacementDirectoryState::Refused);
  EXPECT_EQ(replacement_directory_state(S_IFDIR | 02700, ROOT, ROOT),
            ReplacementDirectoryState::Refused);
  // Not a directory at all.
  EXPECT_EQ(replacement_directory_state(S_IFLNK | 0700, ROOT, ROOT),
            ReplacementDirectoryState::Refused);
  EXPECT_EQ(replacement_directory_state(S_IFREG | 0700, ROOT, ROOT),
            ReplacementDirectoryState::Refused);
}

}  // namespace
