// One framed command and its reply over a Unix socket pair: the client's blocking calls on one
// end, the helper's asio coroutines on the other. And what a frame that announces 4 GiB but
// carries 10 bytes costs the reader in memory.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/write.hpp>
#include <fstream>
#include <thread>

#include "common/ipc/client.hpp"
#include "common/ipc/framing.hpp"

namespace {

using asio::local::stream_protocol;
namespace msg = common::ipc::message;

asio::awaitable<void> answer_commands(stream_protocol::socket& s) {
  for (;;) {
    auto command = co_await msg::ipc_read_message<msg::IPCCommandMessage>(s);
    if (!command) co_return;
    if (!co_await msg::ipc_write_message(s, msg::IPCResponseMessage::Ok)) co_return;
  }
}

void framed_round_trip(benchmark::State& state) {
  int sv[2];
  ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
  common::util::UniqueFd client(sv[0]);
  asio::io_context io(1);
  stream_protocol::socket helper_side(io, stream_protocol(), sv[1]);
  asio::co_spawn(io, answer_commands(helper_side), asio::detached);
  std::thread server([&] { io.run(); });
  const msg::IPCCommandMessage command =
      msg::ReplaceAppAtomic{"/Users/someone/Downloads/Kolvaris.app", "/Applications/Kolvaris.app"};
  for (auto _ : state) {
    auto reply = common::ipc::client::send_command(client.get(), command, std::chrono::seconds(5));
    if (!reply) state.SkipWithError("no reply");
  }
  client.reset();
  server.join();
}
BENCHMARK(framed_round_trip)->UseRealTime();

long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

// Measured in a child so the peak belongs to this read alone.
void huge_announced_frame_memory(benchmark::State& state) {
  long growth = -1;
  for (auto _ : state) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) state.SkipWithError("pipe");
    pid_t child = ::fork();
    if (child == 0) {
      asio::io_context io(1);
      stream_protocol::socket reader(io), peer(io);
      asio::local::connect_pair(reader, peer);
      const long before = peak_rss_kib();
      asio::write(peer, asio::buffer(std::string("\xff\xff\xff\xff", 4) + std::string(10, 'x')));
      peer.close();
      long result = -1;
      asio::co_spawn(io, msg::ipc_read_message<msg::IPCCommandMessage>(reader),
                     [&](std::exception_ptr, common::Result<msg::IPCCommandMessage> r) {
                       if (!r && r.error().kind() == common::ErrorKind::UnexpectedEof)
                         result = peak_rss_kib() - before;
                     });
      io.run();
      (void)!::write(pipe_fds[1], &result, sizeof result);
      ::_exit(0);
    }
    ::close(pipe_fds[1]);
    (void)!::read(pipe_fds[0], &growth, sizeof growth);
    ::close(pipe_fds[0]);
    ::waitpid(child, nullptr, 0);
  }
  state.counters["peak_growth_KiB"] = static_cast<double>(growth);
}
BENCHMARK(huge_announced_frame_memory)->Iterations(1);

}  // namespace
