// ReplaceAppAtomic against the same work done by standard tools, in the same run.
//
// BM_ReplaceApp: two signed bundles of about 300 MB in 5,000 files each (one 150 MB main
//   executable, the rest small files) are generated once. Every iteration installs a fresh copy of
//   the old bundle as the destination (owned by 501:80 when run as root), flushes the file system,
//   and then times, in alternating order:
//   - ours: the whole command (both signature checks, copy, check of the copy, ownership,
//     quarantine removal, flush, swap, removal of the old bundle);
//   - baseline: sha256sum over source and destination, `cp -a SRC TMP`, sha256sum over the copy,
//     `chown -R U:G TMP`, then the swap (renameat2 exchange);
//   - `cp -a SRC TMP` alone, and, in the same pass, `cp -a` followed by what the command does
//     beyond a copy that cp does not: `sync -f TMP`, the swap, and `rm -rf` of the old bundle.
//   One untimed round of all three comes first, and each measurement starts with as much memory
//   just freed as it can fill: on a virtual machine the first touch of memory the guest has not
//   used before, or has handed back to its host, costs far more than any later one.
//   Counters: the medians in seconds, ours / baseline, ours / cp -a and ours / the durable cp
//   (lower is better; the goal is at most 1.0 against the baseline), and our peak resident memory
//   during the command.
//   Printed before them: where our command spends its time, as the median from each log line that
//   starts a step to the next one, and the file system the workspace is on (TMPDIR chooses it).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "codesign/signing.hpp"
#include "common/bundle_layout.hpp"
#include "common/constants.hpp"
#include "common/util/log.hpp"
#include "main/replace_app_atomic.hpp"
#include "platform/linux/code_signing_linux.hpp"
#include "platform/linux/files_linux.hpp"
#include "posix/file_tree.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace layout = common::bundle_layout;
using bench_support::cat;
using bench_support::median;
using bench_support::read_file;
using bench_support::write_file;
using Clock = std::chrono::steady_clock;

constexpr int FILE_COUNT = 5000;
constexpr std::uint64_t EXECUTABLE_BYTES = 150ull * 1000 * 1000;
constexpr std::uint64_t BUNDLE_BYTES = 300ull * 1000 * 1000;

// Runs argv to its end (stdout on /dev/null); false unless it exits with 0.
bool run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int status = -1;
  if (::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    ::waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
  return status == 0;
}

void flush_file_system(const fs::path& on) {
  int fd = ::open(on.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::syncfs(fd);
    ::close(fd);
  }
}

std::string file_system_name(const fs::path& on) {
  struct statfs st;
  if (::statfs(on.c_str(), &st) != 0) return "an unknown file system";
  switch (st.f_type) {
    case TMPFS_MAGIC:
      return "tmpfs";
    case EXT4_SUPER_MAGIC:
      return "ext4";
    case BTRFS_SUPER_MAGIC:
      return "btrfs";
    case XFS_SUPER_MAGIC:
      return "xfs";
    default: {
      char hex[32];
      std::snprintf(hex, sizeof hex, "file system 0x%lx", static_cast<unsigned long>(st.f_type));
      return hex;
    }
  }
}

// Touches `bytes` of fresh memory and gives it back, so that what is measured next starts with
// that much memory just freed. A virtual machine whose guest reports free memory to its host
// hands back pages that stayed free for a while; touching one of those again costs a fault on the
// host. Without this, which of the measured commands got recently freed pages and which got
// reported ones depended on what ran before it.
void warm_free_memory(std::size_t bytes) {
  void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (memory != MAP_FAILED) ::munmap(memory, bytes);
}

// Every regular file below `top`.
std::vector<std::string> files_of(const fs::path& top) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    if (entry.symlink_status().type() == fs::file_type::regular) {
      files.push_back(entry.path().string());
    }
  }
  return files;
}

void chown_tree(const fs::path& top, uid_t owner, gid_t group) {
  ::lchown(top.c_str(), owner, group);
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    ::lchown(entry.path().c_str(), owner, group);
  }
}

std::string info_plist() {
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
  plist += "<key>CFBundleIdentifier</key><string>";
  plist += common::CLIENT_BUNDLE_IDENTIFIER;
  plist += "</string>\n<key>CFBundleExecutable</key><string>Kolvaris</string>\n";
  plist += "<key>CFBundleVersion</key><string>1.0</string>\n";
  plist += "</dict>\n</plist>\n";
  return plist;
}

// One bundle of the benchmark's shape; `seed` makes the two bundles differ in every file.
bool generate_bundle(const fs::path& bundle, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  write_file(bundle / layout::INFO_PLIST_PATH, info_plist());
  {
    // Written in pieces so generating it does not weigh on the measured process's memory.
    std::string chunk(1 << 20, '\0');
    fs::create_directories(bundle / layout::EXECUTABLE_DIRECTORY);
    std::ofstream out(bundle / layout::EXECUTABLE_DIRECTORY / "Kolvaris",
                      std::ios::binary | std::ios::trunc);
    for (std::uint64_t written = 0; written < EXECUTABLE_BYTES; written += chunk.size()) {
      for (auto& c : chunk) c = static_cast<char>(random());
      out.write(chunk.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(
                                  chunk.size(), EXECUTABLE_BYTES - written)));
    }
  }
  ::chmod((bundle / layout::EXECUTABLE_DIRECTORY / "Kolvaris").c_str(), 0755);
  const std::uint64_t mean = (BUNDLE_BYTES - EXECUTABLE_BYTES) / (FILE_COUNT - 2);
  std::string block(2 * mean + 1024, '\0');
  for (auto& c : block) c = static_cast<char>(random());
  for (int i = 0; i < FILE_COUNT - 2; ++i) {
    std::uint64_t size = 512 + random() % (2 * mean - 512);
    fs::path file = bundle / "Contents/Resources" / cat({"d", std::to_string(i % 60)}) /
                    cat({i % 7 == 0 ? "." : "", "f", std::to_string(i), ".dat"});
    std::string content = block.substr(random() % 1024, size);
    content[0] = static_cast<char>(i);
    content[1] = static_cast<char>(seed);
    write_file(file, content, i % 11 == 0 ? 0755 : 0644);
  }
  const std::string pki = KOLVARIS_TEST_PKI_DIR;
  auto identity =
      codesign::load_signing_identity(pki + "/leaf.key", pki + "/leaf.pem", pki + "/chain.pem");
  return identity && codesign::sign_bundle(bundle.string(), *identity);
}

struct Workspace {
  fs::path root;
  fs::path old_bundle;  // what each iteration installs first
  fs::path source;      // the download
  fs::path applications;
  bool ok = false;

  Workspace() {
    std::string pattern = (fs::temp_directory_path() / "kolvaris-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return;
    root = pattern;
    old_bundle = root / "old" / "Kolvaris.app";
    source = root / "Downloads" / "Kolvaris 2.0.app";
    applications = root / "Applications";
    fs::create_directories(applications);
    ok = generate_bundle(old_bundle, 1) && generate_bundle(source, 2);
  }
  ~Workspace() {
    std::error_code ignored;
    if (!root.empty()) fs::remove_all(root, ignored);
  }
};

long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::stol(line.substr(std::string_view(field).size()));
  }
  return -1;
}

void BM_ReplaceApp(benchmark::State& state) {
  static Workspace workspace;
  if (!workspace.ok) return state.SkipWithError("could not generate and sign the bundles");
  const bool root = ::geteuid() == 0;
  const uid_t owner = root ? 501 : ::getuid();
  const gid_t group = root ? 80 : ::getgid();
  const fs::path destination = workspace.applications / "Kolvaris.app";
  const fs::path baseline_copy = workspace.applications / "baseline-copy.app";

  platform::linux_impl::LinuxCodeSigning code_signing(
      read_file(cat({KOLVARIS_TEST_PKI_DIR, "/root.pem"})));
  platform::linux_impl::LinuxFiles files;
  platform::Platform platform;
  platform.code_signing = &code_signing;
  platform.files = &files;
  // Steps are timed from the log: each line but the per-item ones starts the next step.
  std::vector<std::pair<Clock::time_point, std::string>> marks;
  common::util::set_log_sink([&marks](common::util::LogStream, std::string_view line) {
    if (!line.starts_with("Overriding owner and group") && !line.starts_with("Cleared set-id")) {
      // Without what follows a colon, so that a step keeps its name across runs.
      marks.emplace_back(Clock::now(), std::string(line.substr(0, line.find(": "))));
    }
  });
  std::vector<std::string> steps;
  std::map<std::string, std::vector<double>> step_seconds;

  auto install_old = [&] {
    std::error_code ignored;
    fs::remove_all(destination, ignored);
    fs::remove_all(baseline_copy, ignored);
    for (const auto& entry : fs::directory_iterator(workspace.applications)) {
      fs::remove_all(entry.path(), ignored);
    }
    bool copied =
        static_cast<bool>(posix::copy_tree(workspace.old_bundle.string(), destination.string()));
    chown_tree(destination, owner, group);
    flush_file_system(workspace.root);
    // Room for every copy a measured command makes, and then some.
    warm_free_memory(2 * BUNDLE_BYTES);
    return copied;
  };

  std::vector<std::string> sum_both{"sha256sum"};
  for (const auto& f : files_of(workspace.source)) sum_both.push_back(f);
  for (const auto& f : files_of(workspace.old_bundle)) {
    sum_both.push_back(destination.string() + f.substr(workspace.old_bundle.string().size()));
  }
  std::vector<std::string> sum_copy{"sha256sum"};
  for (const auto& f : files_of(workspace.source)) {
    sum_copy.push_back(baseline_copy.string() + f.substr(workspace.source.string().size()));
  }
  const std::string owner_group = std::to_string(owner) + ":" + std::to_string(group);

  std::vector<double> ours, baseline, cp_only, cp_durable;
  double peak_mib = 0, growth_mib = 0;
  auto seconds_since = [](Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  auto time_ours = [&] {
    if (!install_old()) return false;
    std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak at the current size
    long before = status_kib("VmRSS:");
    auto start = Clock::now();
    marks.clear();
    auto replaced = main_service::run_replace_app_atomic(
        platform, {workspace.source.string(), destination.string()});
    const auto end = Clock::now();
    ours.push_back(std::chrono::duration<double>(end - start).count());
    for (std::size_t i = 0; i < marks.size(); ++i) {
      const auto& [at, line] = marks[i];
      const auto next = i + 1 < marks.size() ? marks[i + 1].first : end;
      auto& seconds = step_seconds[line];
      if (std::find(steps.begin(), steps.end(), line) == steps.end()) steps.push_back(line);
      seconds.push_back(std::chrono::duration<double>(next - at).count());
    }
    long peak = status_kib("VmHWM:");
    peak_mib = std::max(peak_mib, peak / 1024.0);
    growth_mib = std::max(growth_mib, (peak - before) / 1024.0);
    if (!replaced) state.SkipWithError(replaced.error().text().c_str());
    return static_cast<bool>(replaced);
  };
  auto time_baseline = [&] {
    if (!install_old()) return false;
    auto start = Clock::now();
    bool ok = run(sum_both) &&
              run({"cp", "-a", workspace.source.string(), baseline_copy.string()}) &&
              run(sum_copy) && run({"chown", "-R", owner_group, baseline_copy.string()}) &&
              ::renameat2(AT_FDCWD, baseline_copy.c_str(), AT_FDCWD, destination.c_str(),
                          RENAME_EXCHANGE) == 0;
    baseline.push_back(seconds_since(start));
    if (!ok) state.SkipWithError("the baseline's tools failed");
    return ok;
  };
  auto time_cp = [&] {
    if (!install_old()) return false;
    auto start = Clock::now();
    bool ok = run({"cp", "-a", workspace.source.string(), baseline_copy.string()});
    cp_only.push_back(seconds_since(start));
    // The copy made durable before its name moves, and the old bundle gone after, as ours.
    ok = ok && run({"sync", "-f", baseline_copy.string()}) &&
         ::renameat2(AT_FDCWD, baseline_copy.c_str(), AT_FDCWD, destination.c_str(),
                     RENAME_EXCHANGE) == 0 &&
         run({"rm", "-rf", baseline_copy.string()});
    cp_durable.push_back(seconds_since(start));
    if (!ok) state.SkipWithError("cp, sync or rm failed");
    return ok;
  };
  if (!(time_ours() && time_baseline() && time_cp())) {
    return state.SkipWithError("the untimed first round failed");
  }
  ours.clear();
  baseline.clear();
  cp_only.clear();
  cp_durable.clear();
  for (auto& [step, seconds] : step_seconds) seconds.clear();
  bool ours_first = true;
  for (auto _ : state) {
    bool ok = ours_first ? (time_ours() && time_baseline()) : (time_baseline() && time_ours());
    ok = ok && time_cp();
    ours_first = !ours_first;
    if (!ok) break;
  }
  common::util::set_log_sink(nullptr);
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(workspace.applications)) {
    fs::remove_all(entry.path(), ignored);
  }

  // The same tree costs a file system with a disk behind it far more, and more from one run to
  // the next (ext4 skips inodes freed moments ago, and discards what was removed): a memory file
  // system (TMPDIR=/dev/shm) shows the work itself.
  std::printf("workspace %s on %s\n", workspace.root.c_str(),
              file_system_name(workspace.root).c_str());
  std::printf("our steps (median seconds, from the log line that starts each):\n");
  for (const auto& step : steps) {
    std::printf("  %7.3f  %s\n", median(step_seconds[step]), step.c_str());
  }
  state.counters["files"] = static_cast<double>(files_of(workspace.source).size());
  state.counters["ours_s"] = median(ours);
  state.counters["baseline_s"] = median(baseline);
  state.counters["cp_a_s"] = median(cp_only);
  state.counters["ours/baseline"] = median(ours) / median(baseline);
  state.counters["ours/cp_a"] = median(ours) / median(cp_only);
  state.counters["cp_sync_swap_rm_s"] = median(cp_durable);
  state.counters["ours/cp_sync_swap_rm"] = median(ours) / median(cp_durable);
  state.counters["peak_RSS_MiB"] = peak_mib;
  state.counters["RSS_growth_MiB"] = growth_mib;
}
BENCHMARK(BM_ReplaceApp)->Unit(benchmark::kSecond)->Iterations(5)->UseRealTime();

}  // namespace
