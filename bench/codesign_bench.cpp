// Code-signature checks against sha256sum over the same bytes, in the same run.
//
// BM_ValidateBundle: a bundle of about 300 MB in 5,000 files, generated and signed once, then
//   validated in full (signature, requirement, tree, every file hashed). Counters: our MB/s,
//   sha256sum's MB/s over the same files (a subprocess, timed the same way), their ratio, and
//   the peak resident memory of a fresh process validating the bundle (kolvaris-codesign verify).
// BM_VerifyPeer: a connected peer whose executable is 20 MB; the median time of one
//   verification, the median time of sha256sum over that executable, and their ratio.
// Ratios are sha256sum's time divided by ours: 1.0 or more means at least as fast.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "common/constants.hpp"
#include "common/util/unique_fd.hpp"
#include "main/app_package_validation.hpp"
#include "main/client_verification.hpp"
#include "platform/linux/bundle_signature.hpp"
#include "platform/linux/code_signing_linux.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using bench_support::cat;
using bench_support::median;
using bench_support::read_file;
using bench_support::write_file;
using Clock = std::chrono::steady_clock;
using common::util::UniqueFd;

constexpr int FILE_COUNT = 5000;
constexpr std::uint64_t BUNDLE_BYTES = 300ull * 1000 * 1000;
constexpr std::uint64_t PEER_EXECUTABLE_BYTES = 20ull * 1000 * 1000;

std::string info_plist(const std::string& executable) {
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
  plist += "<key>CFBundleIdentifier</key><string>";
  plist += common::CLIENT_BUNDLE_IDENTIFIER;
  plist += "</string>\n<key>CFBundleExecutable</key><string>";
  plist += executable;
  plist += "</string>\n</dict>\n</plist>\n";
  return plist;
}

bool sign(const fs::path& bundle) {
  const std::string_view pki = KOLVARIS_TEST_PKI_DIR;
  auto identity = platform::linux_impl::load_signing_identity(
      cat({pki, "/leaf.key"}), cat({pki, "/leaf.pem"}), cat({pki, "/chain.pem"}));
  return identity && platform::linux_impl::sign_bundle(bundle.string(), *identity);
}

// Runs argv to its end with stdout on /dev/null; the elapsed seconds and the child's peak RSS.
struct ChildRun {
  double seconds = -1;
  long max_rss_kib = 0;
  int status = -1;
};
ChildRun run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  ChildRun result;
  auto start = Clock::now();
  pid_t pid;
  if (::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.max_rss_kib = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return result;
}

// The generated bundle, made once per run and removed at exit.
struct GeneratedBundle {
  fs::path root;
  fs::path bundle;
  std::vector<std::string> files;  // every regular file, absolute
  std::uint64_t bytes = 0;
  bool ok = false;

  GeneratedBundle() {
    std::string pattern = (fs::temp_directory_path() / "kolvaris-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return;
    root = pattern;
    bundle = root / "Kolvaris.app";
    std::mt19937_64 random(20261209);
    write_file(bundle / "Contents/Info.plist", info_plist("Kolvaris"));
    write_file(bundle / "Contents/MacOS/Kolvaris", std::string(4 << 20, 'x'), 0755);
    files.push_back((bundle / "Contents/Info.plist").string());
    files.push_back((bundle / "Contents/MacOS/Kolvaris").string());
    bytes = (4 << 20) + read_file(files[0]).size();
    // Sizes spread between 1 KB and about twice the mean, so both small and large files count.
    const std::uint64_t mean = (BUNDLE_BYTES - bytes) / FILE_COUNT;
    std::string block(2 * mean + 1024, '\0');
    for (auto& c : block) c = static_cast<char>(random());
    for (int i = 0; i < FILE_COUNT; ++i) {
      std::uint64_t size = 1024 + random() % (2 * mean - 1024);
      fs::path file = bundle / "Contents/Resources" / cat({"d", std::to_string(i % 50)}) /
                      cat({"f", std::to_string(i), ".dat"});
      std::string content = block.substr(random() % 1024, size);
      content[0] = static_cast<char>(i);  // no two files alike
      write_file(file, content);
      files.push_back(file.string());
      bytes += size;
    }
    ok = sign(bundle);
  }
  ~GeneratedBundle() {
    std::error_code ignored;
    if (!root.empty()) fs::remove_all(root, ignored);
  }
};

GeneratedBundle& generated_bundle() {
  static GeneratedBundle bundle;
  return bundle;
}

platform::linux_impl::LinuxCodeSigning& test_code_signing() {
  static platform::linux_impl::LinuxCodeSigning code_signing(
      read_file(cat({KOLVARIS_TEST_PKI_DIR, "/root.pem"})));
  return code_signing;
}

void BM_ValidateBundle(benchmark::State& state) {
  GeneratedBundle& generated = generated_bundle();
  if (!generated.ok) {
    state.SkipWithError("could not generate and sign the bundle");
    return;
  }
  platform::Platform platform;
  platform.code_signing = &test_code_signing();
  std::vector<double> ours;
  for (auto _ : state) {
    auto start = Clock::now();
    auto valid = main_service::validate_app_package_signature(platform, generated.bundle.string());
    ours.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (!valid) {
      state.SkipWithError(valid.error().text().c_str());
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * generated.bytes));

  std::vector<std::string> argv{"sha256sum"};
  argv.insert(argv.end(), generated.files.begin(), generated.files.end());
  std::vector<double> theirs;
  for (std::size_t i = 0; i < std::max<std::size_t>(3, ours.size()); ++i) {
    ChildRun sum = run(argv);
    if (sum.status != 0) {
      state.SkipWithError("sha256sum failed");
      return;
    }
    theirs.push_back(sum.seconds);
  }
  const double mb = static_cast<double>(generated.bytes) / 1e6;
  state.counters["files"] = static_cast<double>(generated.files.size());
  state.counters["MB"] = mb;
  state.counters["ours_MB/s"] = mb / median(ours);
  state.counters["sha256sum_MB/s"] = mb / median(theirs);
  state.counters["ratio"] = median(theirs) / median(ours);

#ifdef KOLVARIS_CODESIGN_TOOL
  ChildRun fresh = run({KOLVARIS_CODESIGN_TOOL, "verify", "--anchor",
                        cat({KOLVARIS_TEST_PKI_DIR, "/root.pem"}), generated.bundle.string()});
  if (fresh.status == 0) state.counters["peak_RSS_MiB"] = fresh.max_rss_kib / 1024.0;
#endif
}
BENCHMARK(BM_ValidateBundle)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

#ifdef KOLVARIS_CODESIGN_TEST_CLIENT
void BM_VerifyPeer(benchmark::State& state) {
  // The test client, padded to 20 MB (the loader ignores bytes after the ELF's contents), as the
  // main executable of a signed bundle.
  std::string pattern = (fs::temp_directory_path() / "kolvaris-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return state.SkipWithError("mkdtemp failed");
  fs::path root = pattern;
  struct Cleanup {
    fs::path path;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } cleanup{root};
  fs::path bundle = root / "Kolvaris.app";
  fs::path executable = bundle / "Contents/MacOS/Kolvaris";
  std::string image = read_file(KOLVARIS_CODESIGN_TEST_CLIENT);
  std::mt19937_64 random(7);
  while (image.size() < PEER_EXECUTABLE_BYTES) image += static_cast<char>(random());
  write_file(bundle / "Contents/Info.plist", info_plist("Kolvaris"));
  write_file(executable, image, 0755);
  if (!sign(bundle)) return state.SkipWithError("signing failed");

  std::string socket_path = (root / "peer.sock").string();
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 1) != 0) {
    return state.SkipWithError("listen failed");
  }
  std::string exe = executable.string();
  char* args[] = {exe.data(), socket_path.data(), const_cast<char*>("wait"), nullptr};
  char* no_environment[] = {nullptr};
  pid_t pid;
  if (::posix_spawn(&pid, args[0], nullptr, nullptr, args, no_environment) != 0) {
    return state.SkipWithError("could not start the peer");
  }
  pollfd ready{listener.get(), POLLIN, 0};
  UniqueFd connection;
  if (::poll(&ready, 1, 10000) == 1) connection.reset(::accept(listener.get(), nullptr, nullptr));

  platform::Platform platform;
  platform.code_signing = &test_code_signing();
  std::vector<double> ours;
  for (auto _ : state) {
    auto start = Clock::now();
    auto valid = main_service::validate_client_code_signing(platform, connection.get());
    ours.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (!valid) {
      state.SkipWithError(valid.error().text().c_str());
      break;
    }
  }
  std::vector<double> theirs;
  for (std::size_t i = 0; i < ours.size(); ++i) theirs.push_back(run({"sha256sum", exe}).seconds);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);

  state.counters["exe_MB"] = static_cast<double>(image.size()) / 1e6;
  state.counters["median_ms"] = median(ours) * 1e3;
  state.counters["sha256sum_median_ms"] = median(theirs) * 1e3;
  state.counters["ratio"] = median(theirs) / median(ours);
}
BENCHMARK(BM_VerifyPeer)->Unit(benchmark::kMillisecond)->Iterations(21)->UseRealTime();
#endif

}  // namespace
