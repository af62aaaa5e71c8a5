// Throughput of the text renderings on log paths: lossy_utf8 runs for every path in a log line.
#include <benchmark/benchmark.h>

#include <string>

#include "common/util/quoted.hpp"

namespace {

std::string repeat(const std::string& s, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += s;
  return out;
}

const std::string ASCII_PATH = "/Applications/Kolvaris Desktop.app/Contents/MacOS/Kolvaris Desktop";
const std::string ACCENTED_PATH =
    "/Users/j\xC3\xBCrgen/T\xC3\xA9l\xC3\xA9"
    "chargements/\xE6\x97\xA5\xE6\x9C\xAC.app";
const std::string BROKEN_PATH = "/tmp/\xFF\xFE/App\xC3.app/\xED\xA0\x80/x";

void set_bytes(benchmark::State& state, const std::string& input) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

void lossy_utf8_path(benchmark::State& state, const std::string& input) {
  for (auto _ : state) benchmark::DoNotOptimize(common::util::lossy_utf8(input));
  set_bytes(state, input);
}

void quoted_path(benchmark::State& state, const std::string& input) {
  for (auto _ : state) benchmark::DoNotOptimize(common::util::quoted(input));
  set_bytes(state, input);
}

void lossy_utf8_large(benchmark::State& state) {
  std::string input = repeat(ACCENTED_PATH, 16384);
  for (auto _ : state) benchmark::DoNotOptimize(common::util::lossy_utf8(input));
  set_bytes(state, input);
}

void quoted_large(benchmark::State& state) {
  std::string input = repeat(ACCENTED_PATH, 16384);
  for (auto _ : state) benchmark::DoNotOptimize(common::util::quoted(input));
  set_bytes(state, input);
}

void format_duration_retry(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(common::util::format_duration(0, 500'000'000));
}

BENCHMARK_CAPTURE(lossy_utf8_path, ascii, ASCII_PATH);
BENCHMARK_CAPTURE(lossy_utf8_path, accented, ACCENTED_PATH);
BENCHMARK_CAPTURE(lossy_utf8_path, broken, BROKEN_PATH);
BENCHMARK_CAPTURE(quoted_path, ascii, ASCII_PATH);
BENCHMARK_CAPTURE(quoted_path, accented, ACCENTED_PATH);
BENCHMARK_CAPTURE(quoted_path, broken, BROKEN_PATH);
BENCHMARK(lossy_utf8_large);
BENCHMARK(quoted_large);
BENCHMARK(format_duration_retry);

}  // namespace
