// ReplaceAppAtomic through the real helper binary, asked by signed clients that run as different
// users: root replaces for a user only what that user could have changed, and reads for them only
// what they could have read. Needs root (to run clients as other users); skipped otherwise.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "activator.hpp"
#include "file_tree_support.hpp"
#include "replace_support.hpp"

#if defined(KOLVARIS_HELPER_BINARY) && defined(KOLVARIS_HELPERCTL_BINARY)

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::ActivatedHelper;

// Users the system does not know, distinct from each other: nothing is theirs but what a test
// gives them.
uid_t unused_uid(uid_t after) {
  uid_t uid = after + 1;
  while (::getpwuid(uid) != nullptr || ::getgrgid(uid) != nullptr) ++uid;
  return uid;
}

void chown_tree(const fs::path& top, uid_t uid) {
  ASSERT_EQ(::lchown(top.c_str(), uid, uid), 0) << top;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    ASSERT_EQ(::lchown(entry.path().c_str(), uid, uid), 0) << entry.path();
  }
}

class ReplaceForAUser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run clients as other users";
    alice_ = unused_uid(4800);
    bob_ = unused_uid(alice_);
    ::chmod(dir_.path().c_str(), 0755);
    for (const char* d : {"client", "helper", "home", "opt"}) {
      fs::create_directories(dir_.path() / d);
      ::chmod((dir_.path() / d).c_str(), 0755);
    }
    client_ = codesign_test::make_bundle(dir_.path() / "client");
    fs::copy_file(KOLVARIS_HELPERCTL_BINARY, client_ / codesign_test::MAIN_EXECUTABLE,
                  fs::copy_options::overwrite_existing);
    ASSERT_TRUE(codesign_test::sign(client_, codesign_test::test_pki()));
    helper_.emplace(KOLVARIS_HELPER_BINARY, dir_.path() / "helper");
    ASSERT_TRUE(helper_->wait_out("IPC: Listener created for socket: ", 30s));
  }

  // A signed bundle of `version` in `where`, owned by `owner` throughout (where too).
  fs::path bundle_of(uid_t owner, const fs::path& where, const std::string& version) {
    fs::path bundle = replace_support::make_large_bundle(where, version, 2, 3);
    EXPECT_FALSE(bundle.empty());
    for (fs::path p = where; p != dir_.path() && p.has_relative_path(); p = p.parent_path()) {
      ::chmod(p.c_str(), 0755);
    }
    chown_tree(where, owner);
    return bundle;
  }

  // helperctl replace SOURCE DESTINATION, run as `uid`; its exit status and output.
  std::pair<int, std::string> replace_as(uid_t uid, const fs::path& source,
                                         const fs::path& destination) {
    const fs::path output = dir_.path() / "client" / ("out-" + std::to_string(runs_++));
    std::vector<std::string> argv = {(client_ / codesign_test::MAIN_EXECUTABLE).string(),
                                     "--socket",
                                     helper_->socket_path(),
                                     "--timeout",
                                     "60",
                                     "replace",
                                     source.string(),
                                     destination.string()};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    char path_variable[] = "PATH=/usr/bin:/bin";
    char* envp[] = {path_variable, nullptr};
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return {-1, ""};
    const pid_t child = ::fork();
    if (child == 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
      if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
                       ::setresuid(uid, uid, uid) != 0)) {
        ::_exit(126);
      }
      ::execve(args[0], args.data(), envp);
      ::_exit(127);
    }
    ::close(out);
    int status = 0;
    ::waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test_support::read_file(output)};
  }

  // The helper's error lines written since `from` (an offset into its standard error).
  std::string errors_since(std::size_t from) const { return helper_->err().substr(from); }

  test_support::TempDir dir_;
  uid_t alice_ = 0;
  uid_t bob_ = 0;
  fs::path client_;
  std::optional<ActivatedHelper> helper_;
  int runs_ = 0;
};

// Bob cannot change anything in alice's home himself, so the helper does not do it for him; alice
// can, and root can; and a system-wide installation is what the helper updates for anyone.
TEST_F(ReplaceForAUser, EachUserReplacesOnlyWhatTheyCouldHaveChanged) {
  const fs::path alice_app = bundle_of(alice_, dir_.path() / "home/alice/Applications", "1.0");
  const fs::path bob_download = bundle_of(bob_, dir_.path() / "home/bob/Downloads", "2.0");
  const fs::path system_app = bundle_of(0, dir_.path() / "opt/Applications", "1.0");
  const auto alice_before = file_tree_support::manifest_of(alice_app.string());
  const auto bob_new = file_tree_support::manifest_of(bob_download.string());

  {
    SCOPED_TRACE("bob over alice's application");
    const std::size_t mark = helper_->err().size();
    auto [status, out] = replace_as(bob_, bob_download, alice_app);
    EXPECT_NE(status, 0);
    EXPECT_TRUE(out.starts_with("Err")) << out;
    ASSERT_TRUE(helper_->wait_out("IPC: Client connection closed successfully\n", 30s));
    EXPECT_NE(errors_since(mark).find("Error: IPC: Failed to execute command: Refusing to replace "
                                      "\"" +
                                      alice_app.string() + "\", which is owned by another user\n"),
              std::string::npos)
        << errors_since(mark);
    EXPECT_EQ(file_tree_support::manifest_of(alice_app.string()), alice_before);
    struct stat st;
    ASSERT_EQ(::stat(alice_app.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, alice_);
  }
  {
    SCOPED_TRACE("bob over the system-wide application");
    auto [status, out] = replace_as(bob_, bob_download, system_app);
    EXPECT_EQ(status, 0) << out << helper_->err();
    EXPECT_EQ(out, "Ok\n");
    EXPECT_EQ(file_tree_support::manifest_of(system_app.string()), bob_new);
    struct stat st;
    ASSERT_EQ(::stat(system_app.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
  }
  // Alice's own download, which bob's is not: bob's home is his to read, so it is readable, but
  // alice replaces her application with a build of her own.
  const fs::path alice_download = bundle_of(alice_, dir_.path() / "home/alice/Downloads", "2.0");
  const auto alice_new = file_tree_support::manifest_of(alice_download.string());
  {
    SCOPED_TRACE("alice over her own application");
    auto [status, out] = replace_as(alice_, alice_download, alice_app);
    EXPECT_EQ(status, 0) << out << helper_->err();
    EXPECT_EQ(out, "Ok\n");
    EXPECT_EQ(file_tree_support::manifest_of(alice_app.string()), alice_new);
    struct stat st;
    ASSERT_EQ(::stat(alice_app.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, alice_);
  }
  {
    SCOPED_TRACE("root over alice's application");
    auto [status, out] = replace_as(0, bob_download, alice_app);
    EXPECT_EQ(status, 0) << out << helper_->err();
    EXPECT_EQ(out, "Ok\n");
    EXPECT_EQ(file_tree_support::manifest_of(alice_app.string()), bob_new);
    struct stat st;
    ASSERT_EQ(::stat(alice_app.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, alice_);
  }
}

// A root-only directory: a signed bundle in it is not copied out for bob, and whether one is
// there at all, as a source or as a destination, the helper answers him the same.
TEST_F(ReplaceForAUser, BehindARootOnlyDirectoryPresentAndAbsentAnswerAlike) {
  const fs::path bob_app = bundle_of(bob_, dir_.path() / "home/bob/Applications", "1.0");
  const fs::path bob_download = bundle_of(bob_, dir_.path() / "home/bob/Downloads", "2.0");
  const fs::path vault = dir_.path() / "vault";
  const fs::path there = bundle_of(0, vault, "3.0");
  ASSERT_EQ(there.filename(), "Kolvaris.app");
  ASSERT_EQ(::chmod(vault.c_str(), 0700), 0);
  const fs::path hidden = vault / "There.app";
  fs::rename(there, hidden);
  const auto bob_before = file_tree_support::manifest_of(bob_app.string());

  for (const bool as_source : {true, false}) {
    SCOPED_TRACE(as_source ? "as the source" : "as the destination");
    std::vector<std::string> answers;
    for (const bool present : {true, false}) {
      if (!present) fs::rename(hidden, vault / "Elsewhere.app");
      const std::size_t mark = helper_->err().size();
      auto [status, out] =
          as_source ? replace_as(bob_, hidden, bob_app) : replace_as(bob_, bob_download, hidden);
      EXPECT_NE(status, 0);
      ASSERT_TRUE(helper_->wait_out("IPC: Client connection closed successfully\n", 30s));
      const std::string errors = errors_since(mark);
      const auto line = errors.find("Error: IPC: Failed to execute command: ");
      ASSERT_NE(line, std::string::npos) << errors;
      answers.push_back(out + errors.substr(line, errors.find('\n', line) - line));
      if (!present) fs::rename(vault / "Elsewhere.app", hidden);
    }
    EXPECT_EQ(answers[0], answers[1]);
    EXPECT_TRUE(answers[0].starts_with("Err")) << answers[0];
    EXPECT_NE(answers[0].find(std::string("\nError: IPC: Failed to execute command: ") +
                              (as_source ? "No bundle the requesting user can open at \""
                                         : "No application the requesting user can reach at \"") +
                              hidden.string() + "\""),
              std::string::npos)
        << answers[0];
  }
  EXPECT_EQ(file_tree_support::manifest_of(bob_app.string()), bob_before);
  // Root, who may enter the directory, gets the bundle.
  auto [status, out] = replace_as(0, hidden, bob_app);
  EXPECT_EQ(status, 0) << out << helper_->err();
  EXPECT_EQ(file_tree_support::manifest_of(bob_app.string()),
            file_tree_support::manifest_of(hidden.string()));
}

}  // namespace

#endif
