// Code-signature checks against sha256sum over the same bytes, in the same run.
//
// BM_ValidateBundle: a bundle of about 300 MB in 5,000 files, generated and signed once, then
//   validated in full (signature, requirement, tree, every file hashed). Counters: our MB/s,
//   sha256sum's MB/s over the same files (a subprocess, timed the same way), their ratio, and
//   the peak resident memory of a fresh process validating the bundle (kolvaris-codesign verify).
// BM_VerifyPeer: a connected peer whose executable is 20 MB; the median time of one
//   verification, the median time of sha256sum over that executable, and their ratio.
// BM_PeerBinding: the same 20 MB peer with 30 libraries of its bundle loaded; the median time
//   of what binds a connection to that process (the code it has mapped, that it alone holds the
//   connection, that it is not dumpable), first with nothing cached and then as every later
//   connection pays it, and the median of a whole verification and of the check before a
//   command.
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
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "codesign/bundle_manifest.hpp"
#include "codesign/mapped_code.hpp"
#include "codesign/peer_binding.hpp"
#include "codesign/signing.hpp"
#include "common/bundle_layout.hpp"
#include "common/constants.hpp"
#include "common/util/unique_fd.hpp"
#include "main/app_package_validation.hpp"
#include "main/client_verification.hpp"
#include "platform/linux/code_signing_linux.hpp"
#include "posix/process_sockets.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace layout = common::bundle_layout;
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
  auto identity = codesign::load_signing_identity(cat({pki, "/leaf.key"}), cat({pki, "/leaf.pem"}),
                                                  cat({pki, "/chain.pem"}));
  return identity && codesign::sign_bundle(bundle.string(), *identity);
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
    write_file(bundle / layout::INFO_PLIST_PATH, info_plist("Kolvaris"));
    write_file(bundle / layout::EXECUTABLE_DIRECTORY / "Kolvaris", std::string(4 << 20, 'x'), 0755);
    files.push_back((bundle / layout::INFO_PLIST_PATH).string());
    files.push_back((bundle / layout::EXECUTABLE_DIRECTORY / "Kolvaris").string());
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
// The test client, padded to 20 MB (the loader ignores bytes after the ELF's contents), as the
// main executable of a bundle in a scratch directory that goes when the benchmark ends.
struct PeerBundle {
  PeerBundle() {
    std::string pattern = (fs::temp_directory_path() / "kolvaris-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return;
    root = pattern;
    bundle = root / "Kolvaris.app";
    executable = bundle / layout::EXECUTABLE_DIRECTORY / "Kolvaris";
    image = read_file(KOLVARIS_CODESIGN_TEST_CLIENT);
    std::mt19937_64 random(7);
    while (image.size() < PEER_EXECUTABLE_BYTES) image += static_cast<char>(random());
    write_file(bundle / layout::INFO_PLIST_PATH, info_plist("Kolvaris"));
    write_file(executable, image, 0755);
  }
  ~PeerBundle() {
    std::error_code ignored;
    if (!root.empty()) fs::remove_all(root, ignored);
  }
  PeerBundle(const PeerBundle&) = delete;
  PeerBundle& operator=(const PeerBundle&) = delete;

  fs::path root;
  fs::path bundle;
  fs::path executable;
  std::string image;
};

// A listening Unix socket at `path` for the peer to connect to; invalid on failure.
UniqueFd listen_on(const std::string& path) {
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (!listener ||
      ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 1) != 0) {
    return UniqueFd();
  }
  return listener;
}

void BM_VerifyPeer(benchmark::State& state) {
  // The padded client as the main executable of a signed bundle.
  PeerBundle peer;
  if (peer.root.empty()) return state.SkipWithError("mkdtemp failed");
  const fs::path& root = peer.root;
  const fs::path& bundle = peer.bundle;
  const fs::path& executable = peer.executable;
  const std::string& image = peer.image;
  if (!sign(bundle)) return state.SkipWithError("signing failed");

  std::string socket_path = (root / "peer.sock").string();
  UniqueFd listener = listen_on(socket_path);
  if (!listener) return state.SkipWithError("listen failed");
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

void BM_PeerBinding(benchmark::State& state) {
  constexpr int LIBRARY_COUNT = 30;
  PeerBundle peer;
  if (peer.root.empty()) return state.SkipWithError("mkdtemp failed");
  const fs::path& root = peer.root;
  const fs::path& bundle = peer.bundle;
  const fs::path& executable = peer.executable;
  // Thirty distinct files (each its own inode, so each is mapped and judged on its own).
  const std::string library = read_file("/usr/lib/x86_64-linux-gnu/libz.so.1");
  std::vector<std::string> libraries;
  for (int i = 0; i < LIBRARY_COUNT; ++i) {
    fs::path path = bundle / ("Contents/Frameworks/lib" + std::to_string(i) + ".so");
    write_file(path, library, 0755);
    libraries.push_back(path.string());
  }
  if (!sign(bundle)) return state.SkipWithError("signing failed");
  // Files changed within the last second are hashed again on every check; a bundle is older.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));

  std::string socket_path = (root / "peer.sock").string();
  UniqueFd listener = listen_on(socket_path);
  if (!listener) return state.SkipWithError("listen failed");
  std::string exe = executable.string();
  std::vector<char*> args = {exe.data(), socket_path.data(), const_cast<char*>("wait")};
  for (auto& l : libraries) args.push_back(l.data());
  args.push_back(nullptr);
  char* no_environment[] = {nullptr};
  pid_t pid;
  if (::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), no_environment) != 0) {
    return state.SkipWithError("could not start the peer");
  }
  pollfd ready{listener.get(), POLLIN, 0};
  UniqueFd connection;
  if (::poll(&ready, 1, 10000) == 1) connection.reset(::accept(listener.get(), nullptr, nullptr));
  char byte;
  if (!connection || ::read(connection.get(), &byte, 1) != 1) {
    return state.SkipWithError("the peer did not connect");
  }
  struct stat own;
  ::fstat(connection.get(), &own);
  auto client_end = posix::peer_socket_inode(own.st_ino);
  if (!client_end) return state.SkipWithError("the kernel does not know the client end");

  namespace linux_impl = platform::linux_impl;
  codesign::SealedBundle sealed{bundle.string(), nullptr};
  std::string manifest_text = read_file(bundle / layout::MANIFEST_PATH);
  auto manifest = codesign::parse_manifest(manifest_text);
  if (!manifest) return state.SkipWithError("unreadable manifest");
  sealed.manifest = &*manifest;
  auto bind_once = [&](codesign::CodeApprovals& approvals) {
    auto start = Clock::now();
    auto mapped = codesign::check_mapped_code(pid, &sealed, approvals);
    auto dumpable = codesign::check_not_dumpable(pid);
    auto held = codesign::check_holds_connection(pid, *client_end);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return (mapped && dumpable && held) ? seconds : -1.0;
  };
  std::vector<double> cold;
  for (int i = 0; i < 5; ++i) {
    codesign::CodeApprovals fresh;
    cold.push_back(bind_once(fresh));
  }
  codesign::CodeApprovals approvals;
  bind_once(approvals);
  std::vector<double> warm;
  for (auto _ : state) {
    double seconds = bind_once(approvals);
    if (seconds < 0) {
      state.SkipWithError("the peer was refused");
      break;
    }
    warm.push_back(seconds);
  }
  auto mappings = codesign::executable_mappings(pid);
  std::vector<double> mapped_only, holders_only;
  for (int i = 0; i < 21; ++i) {
    auto start = Clock::now();
    (void)codesign::check_mapped_code(pid, &sealed, approvals);
    auto middle = Clock::now();
    (void)codesign::check_holds_connection(pid, *client_end);
    holders_only.push_back(std::chrono::duration<double>(Clock::now() - middle).count());
    mapped_only.push_back(std::chrono::duration<double>(middle - start).count());
  }

  platform::Platform platform;
  platform.code_signing = &test_code_signing();
  std::vector<double> verify, recheck;
  for (int i = 0; i < 21; ++i) {
    auto start = Clock::now();
    auto valid = main_service::verify_client_code_signing(platform, connection.get());
    auto middle = Clock::now();
    auto still =
        valid ? main_service::recheck_client_code_signing(platform, **valid, connection.get())
              : common::Status{};
    recheck.push_back(std::chrono::duration<double>(Clock::now() - middle).count());
    verify.push_back(std::chrono::duration<double>(middle - start).count());
    if (!valid || !still) {
      state.SkipWithError((valid ? still.error() : valid.error()).text().c_str());
      break;
    }
  }
  std::size_t processes = 0;
  for (auto& entry : fs::directory_iterator("/proc")) {
    processes += std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0]));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);

  state.counters["mapped_files"] = mappings ? static_cast<double>(mappings->size()) : -1;
  state.counters["processes"] = static_cast<double>(processes);
  state.counters["bind_cold_ms"] = median(cold) * 1e3;
  state.counters["bind_median_ms"] = median(warm) * 1e3;
  state.counters["mapped_median_ms"] = median(mapped_only) * 1e3;
  state.counters["holders_median_ms"] = median(holders_only) * 1e3;
  state.counters["verify_median_ms"] = median(verify) * 1e3;
  state.counters["recheck_median_ms"] = median(recheck) * 1e3;
}
BENCHMARK(BM_PeerBinding)->Unit(benchmark::kMillisecond)->Iterations(51)->UseRealTime();
#endif

}  // namespace
