// The POSIX routines the adapters and the engine share, at the edges their callers rely on:
// /proc status fields a process cannot fake with its name, the kernel's list of executable
// mappings that agrees with the maps text, reads that stop at their limit,
// restarts after EINTR, and opens that stay beneath their directory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include "posix/eintr.hpp"
#include "posix/open_beneath.hpp"
#include "posix/proc_maps.hpp"
#include "posix/proc_status.hpp"
#include "posix/read_file.hpp"
#include "test_support.hpp"

namespace {

using common::util::UniqueFd;
using posix::proc_status_number;
using posix::status_number;

int error_of(const std::expected<UniqueFd, int>& opened) { return opened ? 0 : opened.error(); }

// A process chooses its own name, and the kernel writes it on the first line: a name that looks
// like fields must not be read as them.
TEST(ProcStatusTest, FieldsAreReadAtTheStartOfALineAfterTheProcessName) {
  const std::string status =
      "Name:\tTracerPid: 0 Tgid: 1 Pid: 1\n"
      "Umask:\t0022\n"
      "State:\tS (sleeping)\n"
      "Tgid:\t4242\n"
      "Ngid:\t0\n"
      "Pid:\t4243\n"
      "PPid:\t1\n"
      "TracerPid:\t77\n";
  EXPECT_EQ(status_number(status, "Tgid"), 4242u);
  EXPECT_EQ(status_number(status, "Pid"), 4243u);
  EXPECT_EQ(status_number(status, "PPid"), 1u);
  EXPECT_EQ(status_number(status, "TracerPid"), 77u);
  EXPECT_EQ(status_number(status, "Name"), std::nullopt);

  // The kernel writes a line feed in a name as a backslash and "n".
  const std::string escaped = "Name:\tx\\nTracerPid:\t0\nTracerPid:\t99\n";
  EXPECT_EQ(status_number(escaped, "TracerPid"), 99u);
}

TEST(ProcStatusTest, AFieldWithoutAFittingNumberHasNone) {
  EXPECT_EQ(status_number("Name:\tx\nTgid:\t\n", "Tgid"), std::nullopt);
  EXPECT_EQ(status_number("Name:\tx\nTgid:\t-1\n", "Tgid"), std::nullopt);
  EXPECT_EQ(status_number("Name:\tx\nTgid:\t18446744073709551616\n", "Tgid"), std::nullopt);
  EXPECT_EQ(status_number("Name:\tx\nTgid:\t18446744073709551615\n", "Tgid"), UINT64_MAX);
  EXPECT_EQ(status_number("Name:\tx\nTgid: \t 5", "Tgid"), 5u);
  EXPECT_EQ(status_number("Name:\tx\nTgidx:\t5\n", "Tgid"), std::nullopt);
  EXPECT_EQ(status_number("", "Tgid"), std::nullopt);
}

// A thread is found under its own id with its process's Tgid; the process-exists check relies
// on telling the two apart.
TEST(ProcStatusTest, LiveProcessesThreadsAndCollectedProcesses) {
  EXPECT_EQ(proc_status_number(::getpid(), "Tgid"), static_cast<std::uint64_t>(::getpid()));
  EXPECT_EQ(proc_status_number(::getpid(), "TracerPid"), 0u);
  EXPECT_EQ(proc_status_number(::getpid(), "NoSuchField"), std::unexpected(EINVAL));

  std::expected<std::uint64_t, int> tgid;
  std::thread([&] { tgid = proc_status_number(::gettid(), "Tgid"); }).join();
  EXPECT_EQ(tgid, static_cast<std::uint64_t>(::getpid()));

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  auto gone = proc_status_number(child, "Tgid");
  ASSERT_FALSE(gone);
  EXPECT_TRUE(gone.error() == ENOENT || gone.error() == ESRCH) << gone.error();
}

// The recheck before each command takes the kernel's list for the text it judged: the two must
// name the same mappings, a file mapped executable since included, and one mapped only
// readable never.
TEST(ProcMapsTest, TheKernelsListAgreesWithTheText) {
  test_support::TempDir dir;
  const std::string code = (dir.path() / "code").string();
  std::ofstream(code) << std::string(8192, 'c');
  UniqueFd file(::open(code.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(file);
  auto both = [] {
    UniqueFd maps(::open("/proc/self/maps", O_RDONLY | O_CLOEXEC));
    auto queried = posix::query_executable_file_ranges(maps.get());
    auto text = posix::read_file("/proc/self/maps");
    auto parsed = posix::executable_file_ranges(text.value_or(""));
    return std::pair(queried, parsed);
  };
  auto [before, before_text] = both();
  if (!before && before.error() == ENOTTY)
    GTEST_SKIP() << "this kernel lists mappings only as text";
  ASSERT_TRUE(before) << before.error();
  ASSERT_TRUE(before_text);
  EXPECT_EQ(*before, *before_text);
  EXPECT_FALSE(before->empty());

  struct stat st;
  ASSERT_EQ(::fstat(file.get(), &st), 0);
  void* readable = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, file.get(), 0);
  void* executable = ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, file.get(), 4096);
  ASSERT_NE(readable, MAP_FAILED);
  if (executable == MAP_FAILED) {
    ::munmap(readable, 4096);
    GTEST_SKIP() << "the scratch folder's file system forbids executable mappings";
  }
  auto [during, during_text] = both();
  ::munmap(executable, 4096);
  ::munmap(readable, 4096);
  ASSERT_TRUE(during);
  ASSERT_TRUE(during_text);
  EXPECT_EQ(*during, *during_text);
  ASSERT_EQ(during->size(), before->size() + 1);
  std::size_t found = 0;
  for (const posix::MappedRange& r : *during) {
    if (r.inode != st.st_ino) continue;
    ++found;
    EXPECT_EQ(r.start, reinterpret_cast<std::uintptr_t>(executable));
    EXPECT_EQ(r.end - r.start, 4096u);
    EXPECT_EQ(r.offset, 4096u);
    EXPECT_TRUE(r.readable);
    EXPECT_FALSE(r.writable || r.shared);
  }
  EXPECT_EQ(found, 1u);

  EXPECT_EQ(posix::executable_file_ranges("7f00-7f10 r-xp zz 08:01 12 /lib/x.so\n"),
            std::unexpected(EINVAL));
}

TEST(ReadFileTest, TheLimitIsTheLargestSizeReadAndAStopEndsTheRead) {
  test_support::TempDir dir;
  const std::string path = (dir.path() / "data").string();
  std::ofstream(path) << std::string(40000, 'x');

  auto whole = posix::read_file(path, 40000);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->size(), 40000u);
  EXPECT_EQ(posix::read_file(path, 39999), std::unexpected(EFBIG));
  EXPECT_EQ(posix::read_file((dir.path() / "missing").string()), std::unexpected(ENOENT));

  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int calls = 0;
  std::size_t seen = 0;
  auto read = posix::read_chunks(fd.get(), [&](std::string_view chunk) {
    ++calls;
    seen += chunk.size();
    return false;
  });
  EXPECT_TRUE(read);
  EXPECT_EQ(calls, 1);
  EXPECT_LT(seen, 40000u);
}

TEST(RetryEintrTest, RestartsOnlyWhatASignalInterrupted) {
  int calls = 0;
  auto interrupted_twice = [&] {
    if (++calls <= 2) {
      errno = EINTR;
      return -1;
    }
    return 7;
  };
  EXPECT_EQ(posix::retry_eintr(interrupted_twice), 7);
  EXPECT_EQ(calls, 3);

  calls = 0;
  auto failing = [&] {
    ++calls;
    errno = EBADF;
    return -1L;
  };
  EXPECT_EQ(posix::retry_eintr(failing), -1L);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(calls, 1);
}

// open_beneath refuses every link; open_inside follows those that stay inside. Neither leaves
// the directory, by a link or by "..".
TEST(OpenBeneathTest, LinksAreRefusedOrFollowedOnlyInside) {
  test_support::TempDir dir;
  const auto root_path = dir.path() / "root";
  ASSERT_EQ(::mkdir(root_path.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root_path / "sub").c_str(), 0755), 0);
  std::ofstream((root_path / "sub" / "file").string()) << "inside";
  std::ofstream((dir.path() / "secret").string()) << "outside";
  ASSERT_EQ(::symlink("sub/file", (root_path / "inner").c_str()), 0);
  ASSERT_EQ(::symlink("../secret", (root_path / "outer").c_str()), 0);
  ASSERT_EQ(::symlink((dir.path() / "secret").c_str(), (root_path / "absolute").c_str()), 0);
  UniqueFd root(::open(root_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(root);

  EXPECT_TRUE(posix::open_beneath(root.get(), "sub/file", O_RDONLY));
  EXPECT_EQ(error_of(posix::open_beneath(root.get(), "inner", O_RDONLY)), ELOOP);
  EXPECT_EQ(error_of(posix::open_beneath(root.get(), "sub/../../secret", O_RDONLY)), EXDEV);
  EXPECT_EQ(error_of(posix::open_beneath(root.get(), std::string_view("sub\0x", 5), O_RDONLY)),
            EINVAL);

  auto inner = posix::open_inside(root.get(), "inner", O_RDONLY);
  ASSERT_TRUE(inner);
  struct stat via_link, direct;
  ASSERT_EQ(::fstat(inner->get(), &via_link), 0);
  ASSERT_EQ(::stat((root_path / "sub" / "file").c_str(), &direct), 0);
  EXPECT_EQ(via_link.st_ino, direct.st_ino);
  EXPECT_EQ(error_of(posix::open_inside(root.get(), "outer", O_RDONLY)), EXDEV);
  EXPECT_EQ(error_of(posix::open_inside(root.get(), "absolute", O_RDONLY)), EXDEV);

  // Close-on-exec without being asked.
  EXPECT_EQ(::fcntl(inner->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

}  // namespace
