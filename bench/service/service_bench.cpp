// Figures of the running service: cold start, warm round trip, verified connections per second,
// and the idle helper's memory and wake-ups, side by side with a plain framed echo over a Unix
// socket pair (the floor any helper reply costs).
//
// The helper serves only a signed client, so this program first copies itself into a bundle,
// signs it with the build's test PKI and re-executes itself from there.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../../tests/codesign/codesign_support.hpp"
#include "../../tests/helper/activator.hpp"
#include "../bench_support.hpp"
#include "codesign/signing.hpp"
#include "common/bundle_layout.hpp"
#include "common/constants.hpp"
#include "common/ipc/client.hpp"
#include "main/client_verification.hpp"
#include "platform/linux/code_signing_linux.hpp"
#include "platform/platform.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace layout = common::bundle_layout;
using bench_support::median;
namespace msg = common::ipc::message;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* BUNDLE_MARK = "KOLVARIS_SERVICE_BENCH_SIGNED";

double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// A client of the size a desktop application's main executable has (the figures of the peer
// check grow with it): this program's code without its debug information, which is most of an
// unstripped build, and then data that is never loaded up to that size.
constexpr std::uintmax_t CLIENT_BYTES = 3'300'000;

bool spawn_and_wait(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid;
  int status = -1;
  if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
  ::waitpid(pid, &status, 0);
  return status == 0;
}

// Writes the client executable to `to`: stripped and padded where objcopy is at hand, else a
// plain copy of this program (the size it ends with is printed).
void write_client(const fs::path& to) {
  const fs::path self = fs::read_symlink("/proc/self/exe");
  const fs::path stripped = to.string() + ".stripped";
  const fs::path padding = to.string() + ".padding";
  bool made = spawn_and_wait({"objcopy", "--strip-debug", self.string(), stripped.string()});
  if (made && fs::file_size(stripped) + 4096 < CLIENT_BYTES) {
    std::ofstream(padding, std::ios::binary)
        << std::string(CLIENT_BYTES - fs::file_size(stripped) - 4096, 'r');
    made = spawn_and_wait({"objcopy", "--add-section", ".kolvaris.resources=" + padding.string(),
                           stripped.string(), to.string()});
  } else if (made) {
    fs::rename(stripped, to);
  }
  std::error_code ignored;
  fs::remove(stripped, ignored);
  fs::remove(padding, ignored);
  if (!made) fs::copy_file(self, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec);
}

// Copies this executable into DIR/Kolvaris.app, signs the bundle, and execs it.
int reexec_signed(const char* self, const fs::path& dir) {
  fs::path bundle = dir / "Kolvaris.app";
  fs::create_directories(bundle / layout::EXECUTABLE_DIRECTORY);
  std::ofstream(bundle / layout::INFO_PLIST_PATH)
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
         "<key>CFBundleIdentifier</key><string>"
      << common::CLIENT_BUNDLE_IDENTIFIER
      << "</string>\n<key>CFBundleExecutable</key><string>Kolvaris</string>\n</dict>\n</plist>\n";
  write_client(bundle / layout::EXECUTABLE_DIRECTORY / "Kolvaris");
  const std::string pki = KOLVARIS_TEST_PKI_DIR;
  auto identity =
      codesign::load_signing_identity(pki + "/leaf.key", pki + "/leaf.pem", pki + "/chain.pem");
  if (!identity) {
    std::fprintf(stderr, "cannot load the test PKI: %s\n", identity.error().text().c_str());
    return 1;
  }
  if (auto s = codesign::sign_bundle(bundle.string(), *identity); !s) {
    std::fprintf(stderr, "cannot sign: %s\n", s.error().text().c_str());
    return 1;
  }
  ::setenv(BUNDLE_MARK, dir.c_str(), 1);
  std::string exe = (bundle / layout::EXECUTABLE_DIRECTORY / "Kolvaris").string();
  std::string helper = self;
  char* argv[] = {exe.data(), helper.data(), nullptr};
  ::execv(exe.c_str(), argv);
  std::perror("execv");
  return 1;
}

// Round trips of the warm figure; more through KOLVARIS_SERVICE_BENCH_WARM, to profile them.
int warm_round_trips() {
  const char* asked = std::getenv("KOLVARIS_SERVICE_BENCH_WARM");
  const int n = asked ? std::atoi(asked) : 0;
  return n > 0 ? n : 2000;
}

// A command the helper answers at once (the source is refused before anything is touched).
const msg::IPCCommandMessage QUICK_COMMAND =
    msg::ReplaceAppAtomic{"/nonexistent/New.app", "/nonexistent/Old.app"};

bool round_trip(int fd) {
  return common::ipc::client::send_command(fd, QUICK_COMMAND, 30s).has_value();
}

// The floor: a thread that answers every frame on a socket pair with a framed Err.
double echo_round_trip_us(int iterations) {
  int sv[2];
  ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
  common::util::UniqueFd client(sv[0]), server(sv[1]);
  std::thread echo([fd = server.get()] {
    auto far = [] { return Clock::now() + 60s; };
    for (;;) {
      auto frame = common::ipc::client::read_frame(fd, far());
      if (!frame) return;
      auto decoded = msg::decode_command(*frame);
      (void)decoded;
      if (!common::ipc::client::write_frame(fd, msg::encode_response(msg::IPCResponseMessage::Err),
                                            far()))
        return;
    }
  });
  std::vector<double> samples;
  for (int i = 0; i < iterations; ++i) {
    auto t0 = Clock::now();
    round_trip(client.get());
    samples.push_back(us(Clock::now() - t0));
  }
  client.reset();
  echo.join();
  return median(samples);
}

long status_field(pid_t pid, const std::string& task, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + task + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(field)) return std::stol(line.substr(std::strlen(field)));
  }
  return 0;
}

// Context switches of every thread of `pid`: each wake-up of an idle thread is one.
long context_switches(pid_t pid) {
  long total = 0;
  for (auto& t : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    const std::string task = "/task/" + t.path().filename().string();
    total += status_field(pid, task, "voluntary_ctxt_switches:");
    total += status_field(pid, task, "nonvoluntary_ctxt_switches:");
  }
  return total;
}

// A signed bundle of the client's identity carrying `megabytes` of resources in 10 MB files.
fs::path make_signed_bundle(const fs::path& where, int megabytes, char fill) {
  fs::path bundle = codesign_test::make_bundle(where);
  const std::string ten(10 * 1024 * 1024, fill);
  for (int i = 0; i < megabytes / 10; ++i) {
    codesign_test::write_file(bundle / ("Contents/Resources/large" + std::to_string(i)), ten);
  }
  if (!codesign_test::sign(bundle, KOLVARIS_TEST_PKI_DIR)) return {};
  return bundle;
}

// A relaunch that the helper answers at once: no such process to wait for, and no bundle to
// launch (the launch fails after the reply, on the platform's own thread).
const msg::IPCCommandMessage QUICK_RELAUNCH =
    msg::WaitForExitAndLaunch{0x7ffffff0, "/nonexistent/Kolvaris.app"};

// While two replacements of large bundles run on two connections (as many as this machine has
// cores, the old helper's worker count), a relaunch on another open connection and new verified
// connections are answered; their latencies are what a client sees while the helper copies.
int relaunch_during_replacement(const std::string& helper_binary, const fs::path& dir) {
  constexpr int MEGABYTES = 300;
  constexpr int REPLACEMENTS = 2;
  std::vector<std::pair<fs::path, fs::path>> pairs;
  for (int i = 0; i < REPLACEMENTS; ++i) {
    const fs::path base = dir / ("pair" + std::to_string(i));
    pairs.emplace_back(make_signed_bundle(base / "Downloads", MEGABYTES, 'b'),
                       make_signed_bundle(base / "Applications", MEGABYTES, 'a'));
    if (pairs.back().first.empty() || pairs.back().second.empty()) {
      std::fprintf(stderr, "cannot build the bundles to replace\n");
      return 1;
    }
  }
  test_support::ActivatedHelper helper(helper_binary, dir);
  common::util::UniqueFd relauncher;
  for (int tries = 0; tries < 2000 && !relauncher; ++tries) {
    auto c = common::ipc::client::connect_to_helper(helper.socket_path());
    if (c) relauncher = std::move(*c);
  }
  if (!relauncher || !common::ipc::client::send_command(relauncher.get(), QUICK_RELAUNCH, 30s)) {
    std::fprintf(stderr, "no helper\n%s\n", helper.err().c_str());
    return 1;
  }
  std::atomic<int> running{REPLACEMENTS};
  std::atomic<int> replaced{0};
  const auto t0 = Clock::now();
  std::vector<std::thread> replacers;
  for (auto& [source, destination] : pairs) {
    replacers.emplace_back([&, source = source, destination = destination] {
      auto c = common::ipc::client::connect_to_helper(helper.socket_path());
      if (c) {
        auto reply = common::ipc::client::send_command(
            c->get(), msg::ReplaceAppAtomic{source.string(), destination.string()}, 600s);
        if (reply && *reply == msg::IPCResponseMessage::Ok) replaced.fetch_add(1);
      }
      running.fetch_sub(1);
    });
  }
  std::this_thread::sleep_for(100ms);  // both replacements are under way
  std::vector<double> relaunch, connect;
  for (int i = 0; running.load() == REPLACEMENTS; ++i) {
    auto r0 = Clock::now();
    if (!common::ipc::client::send_command(relauncher.get(), QUICK_RELAUNCH, 60s)) break;
    // Asked while both ran: counted however long the answer took.
    relaunch.push_back(us(Clock::now() - r0));
    if (i % 5 == 0 && running.load() == REPLACEMENTS) {
      auto c0 = Clock::now();
      auto c = common::ipc::client::connect_to_helper(helper.socket_path());
      if (c && round_trip(c->get())) connect.push_back(us(Clock::now() - c0));
    }
    std::this_thread::sleep_for(20ms);
  }
  for (auto& t : replacers) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (replaced.load() != REPLACEMENTS) {
    std::fprintf(stderr, "a replacement failed\n%s\n", helper.err().c_str());
    return 1;
  }
  auto max_of = [](const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
  };
  std::printf("%d concurrent replacements of %d MB bundles: %.2f s\n", REPLACEMENTS, MEGABYTES,
              seconds);
  std::printf("  relaunch on an open connection meanwhile (%zu): median %.0f us, max %.0f us\n",
              relaunch.size(), relaunch.empty() ? 0.0 : median(relaunch), max_of(relaunch));
  std::printf("  new verified connection meanwhile (%zu): median %.0f us, max %.0f us\n",
              connect.size(), connect.empty() ? 0.0 : median(connect), max_of(connect));
  return 0;
}

// When the helper has logged its listener: polled, so good to a fraction of a millisecond.
class ListenerWatch {
 public:
  explicit ListenerWatch(const test_support::ActivatedHelper& helper)
      : thread_([this, &helper] {
          for (auto until = Clock::now() + 10s; !stop_.load() && Clock::now() < until;) {
            if (helper.out().find("IPC: Listener created") != std::string::npos) {
              seen_ = Clock::now();
              return;
            }
            std::this_thread::sleep_for(100us);
          }
        }) {}
  ~ListenerWatch() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  // When the line appeared; waits for it up to 10 s after the watch began.
  std::optional<Clock::time_point> seen() {
    if (thread_.joinable()) thread_.join();
    return seen_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::optional<Clock::time_point> seen_;  // written by the thread, read after joining it
  std::thread thread_;
};

// The helper's peer check of this process, alone and from cold (a fresh code-signing object, so
// nothing is cached), as the helper runs it on a new connection: microseconds, median of 20.
double peer_check_us(const fs::path& dir) {
  const std::string path = (dir / "self.sock").string();
  common::util::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  int on = 1;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 4) != 0 ||
      ::setsockopt(listener.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    return -1;
  }
  const std::string anchor =
      codesign_test::read_file(std::string(KOLVARIS_TEST_PKI_DIR) + "/root.pem");
  std::vector<double> samples;
  for (int i = 0; i < 20; ++i) {
    auto client = common::ipc::client::connect_to_helper(path);
    if (!client) return -1;
    common::util::UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    platform::linux_impl::LinuxCodeSigning code_signing(anchor);
    platform::Platform platform;
    platform.code_signing = &code_signing;
    auto t0 = Clock::now();
    auto verified = main_service::verify_client_code_signing(platform, accepted.get());
    samples.push_back(us(Clock::now() - t0));
    if (!verified) {
      std::fprintf(stderr, "peer check refused: %s\n", verified.error().text().c_str());
      return -1;
    }
  }
  return median(samples);
}

// Processes that hold descriptors elsewhere on the machine, killed when this goes away.
class DescriptorHolders {
 public:
  DescriptorHolders(int processes, int descriptors) {
    for (int i = 0; i < processes; ++i) {
      pid_t pid = ::fork();
      if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (int d = 0; d < descriptors; ++d) {
          if (::open("/dev/null", O_RDONLY) < 0) break;
        }
        for (;;) ::pause();
      }
      if (pid > 0) pids_.push_back(pid);
    }
    std::this_thread::sleep_for(500ms);  // all have opened theirs
  }
  ~DescriptorHolders() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
  }

 private:
  std::vector<pid_t> pids_;
};

// Median microseconds of a new verified connection with one command.
double connection_and_command_us(const test_support::ActivatedHelper& helper, int count) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    auto c0 = Clock::now();
    auto c = common::ipc::client::connect_to_helper(helper.socket_path());
    if (!c || !round_trip(c->get())) return -1;
    samples.push_back(us(Clock::now() - c0));
  }
  return median(samples);
}

int run(const std::string& helper_binary) {
  test_support::TempDir dir;
  std::printf("service benchmark (helper %s)\n", helper_binary.c_str());

  // The helper trusts the digest of a file only once it is older than a second (a file written
  // within the same clock tick could change unseen); an installed application's files are.
  std::this_thread::sleep_for(1100ms);

  // Cold start: no helper running; start it as the service manager would, connect, first reply.
  std::vector<double> cold, starting, serving;
  for (int i = 0; i < 20; ++i) {
    auto t0 = Clock::now();
    test_support::ActivatedHelper helper(helper_binary, dir.path());
    ListenerWatch watch(helper);
    common::util::UniqueFd fd;
    for (int tries = 0; tries < 2000 && !fd; ++tries) {
      auto c = common::ipc::client::connect_to_helper(helper.socket_path());
      if (c) fd = std::move(*c);
    }
    if (!fd || !round_trip(fd.get())) {
      std::fprintf(stderr, "cold start %d: no reply\n%s\n", i, helper.err().c_str());
      return 1;
    }
    const auto replied = Clock::now();
    cold.push_back(us(replied - t0));
    if (auto listening = watch.seen()) {
      starting.push_back(us(*listening - t0));
      serving.push_back(us(replied - *listening));
    }
  }
  std::printf("cold start, connect to first reply (median of 20): %.0f us\n", median(cold));
  const double check = peer_check_us(dir.path());
  std::printf("  start: exec to listener logged (median): %.0f us\n",
              starting.empty() ? 0.0 : median(starting));
  std::printf("  serve: listener logged to first reply (median): %.0f us\n",
              serving.empty() ? 0.0 : median(serving));
  std::printf(
      "  of which the peer check of this %.1f MB client, cold, in-process (median): %.0f "
      "us\n",
      static_cast<double>(fs::file_size("/proc/self/exe")) / 1e6, check);

  test_support::ActivatedHelper helper(helper_binary, dir.path());
  auto conn = common::ipc::client::connect_to_helper(helper.socket_path());
  if (!conn || !round_trip(conn->get())) return 1;

  const int WARM = warm_round_trips();
  std::vector<double> warm;
  const long switches_before = context_switches(helper.pid());
  for (int i = 0; i < WARM; ++i) {
    auto t0 = Clock::now();
    round_trip(conn->get());
    warm.push_back(us(Clock::now() - t0));
  }
  const double switches = static_cast<double>(context_switches(helper.pid()) - switches_before);
  const double floor = echo_round_trip_us(WARM);
  std::printf("warm round trip, one open connection (median of %d): %.1f us\n", WARM, median(warm));
  std::printf("framed echo over a socket pair, same command (median of %d): %.1f us\n", WARM,
              floor);
  std::printf("helper / echo ratio: %.2f\n", median(warm) / floor);
  // Each switch is a hand-over between threads or a sleep; the echo's side costs one.
  std::printf("  helper context switches per warm round trip: %.2f\n", switches / WARM);

  {
    const double quiet = connection_and_command_us(helper, 100);
    DescriptorHolders holders(200, 1000);
    const double loaded = connection_and_command_us(helper, 100);
    std::printf("verified connection + command, quiet machine (median of 100): %.0f us\n", quiet);
    std::printf(
        "  with 200 processes x 1,000 descriptors open elsewhere (median of 100): %.0f "
        "us (ratio %.2f)\n",
        loaded, loaded / quiet);
  }

  constexpr int CONNECTIONS = 300;
  auto t0 = Clock::now();
  std::vector<double> per_connection;
  for (int i = 0; i < CONNECTIONS; ++i) {
    auto c0 = Clock::now();
    auto c = common::ipc::client::connect_to_helper(helper.socket_path());
    if (!c || !round_trip(c->get())) return 1;
    per_connection.push_back(us(Clock::now() - c0));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("new verified connections, one command each: %.0f per second (median %.0f us)\n",
              CONNECTIONS / seconds, median(per_connection));

  conn->reset();
  std::this_thread::sleep_for(1s);
  const long before = context_switches(helper.pid());
  std::this_thread::sleep_for(10s);
  const long woke = context_switches(helper.pid()) - before;
  std::printf("idle helper: resident %ld KiB (peak %ld KiB), %ld wake-ups in 10 s\n",
              status_field(helper.pid(), "", "VmRSS:"), status_field(helper.pid(), "", "VmHWM:"),
              woke);
  if (std::getenv("KOLVARIS_SERVICE_BENCH_NO_REPLACE") != nullptr) return 0;
  test_support::TempDir replace_dir;
  return relaunch_during_replacement(helper_binary, replace_dir.path());
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(BUNDLE_MARK) == nullptr) {
    std::string helper = argc > 1 ? argv[1] : KOLVARIS_HELPER_BINARY;
    test_support::TempDir dir;
    // The bundle dir must outlive exec: leave it to the signed process, which removes it.
    std::string keep = dir.path().string() + "-client";
    fs::create_directories(keep);
    ::setenv("KOLVARIS_SERVICE_BENCH_HELPER", helper.c_str(), 1);
    return reexec_signed(helper.c_str(), keep);
  }
  const std::string bundle_dir = std::getenv(BUNDLE_MARK);
  const int rc = run(argc > 1 ? argv[1] : KOLVARIS_HELPER_BINARY);
  std::error_code ignored;
  fs::remove_all(bundle_dir, ignored);
  return rc;
}
