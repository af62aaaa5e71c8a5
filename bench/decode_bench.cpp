// Cost of the message codec on the helper's path: decoding the two commands, encoding a reply.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "common/ipc/message.hpp"

namespace {

namespace msg = common::ipc::message;

constexpr std::string_view REPLACE_PAYLOAD =
    R"({"type":"ReplaceAppAtomic","source_path":"/Users/someone/Library/Caches/)"
    R"(com.kolvaris.desktop/updates/1.4.2/Kolvaris Desktop.app",)"
    R"("destination_path":"/Applications/Kolvaris Desktop.app"})";
constexpr std::string_view WAIT_PAYLOAD =
    R"({"type":"WaitForExitAndLaunch","pid":4242,"app_path":"/Applications/Example.app"})";
// Spelled the other way round: escapes, the tag last, the decoder holds the members.
constexpr std::string_view REORDERED_PAYLOAD =
    R"({"app_path":"\/Applications\/Ex\u00e4mple.app","pid":4242,)"
    R"("type":"WaitForExitAndLaunch"})";

void decode(benchmark::State& state, std::string_view payload) {
  for (auto _ : state) {
    auto command = msg::decode_command(payload);
    benchmark::DoNotOptimize(command);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size()));
}

// A command carrying a megabyte of ignored members: the decoder's throughput on hostile input.
void decode_large_ignored(benchmark::State& state) {
  std::string payload = R"({"type":"WaitForExitAndLaunch","pid":1,"app_path":"/x")";
  while (payload.size() < (1 << 20)) payload += R"(,"x":[1,-2.5e3,"text",{"k":null,"t":true}])";
  payload += "}";
  decode(state, payload);
}

void encode_response(benchmark::State& state) {
  for (auto _ : state) {
    auto reply = msg::encode_response(msg::IPCResponseMessage::Ok);
    benchmark::DoNotOptimize(reply);
  }
}

void encode_command(benchmark::State& state) {
  const msg::IPCCommandMessage command =
      msg::ReplaceAppAtomic{"/Users/someone/Library/Caches/updates/Kolvaris Desktop.app",
                            "/Applications/Kolvaris Desktop.app"};
  for (auto _ : state) {
    auto payload = msg::encode_command(command);
    benchmark::DoNotOptimize(payload);
  }
}

}  // namespace

BENCHMARK_CAPTURE(decode, replace_app_atomic, REPLACE_PAYLOAD);
BENCHMARK_CAPTURE(decode, wait_for_exit_and_launch, WAIT_PAYLOAD);
BENCHMARK_CAPTURE(decode, wait_reordered_escaped, REORDERED_PAYLOAD);
BENCHMARK(decode_large_ignored);
BENCHMARK(encode_response);
BENCHMARK(encode_command);
