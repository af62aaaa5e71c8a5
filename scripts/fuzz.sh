#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 19 and runs each for the given number of seconds.
#   ./scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
./scripts/install-deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVARIS_WERROR=ON \
  -DCMAKE_CXX_COMPILER=clang++-19 -DKOLVARIS_BUILD_FUZZERS=ON \
  -DKOLVARIS_BUILD_TESTS=OFF -DKOLVARIS_BUILD_BENCHMARKS=OFF
cmake --build build-fuzz -j "$(nproc)" --target fuzz_targets
shopt -s nullglob
for target in build-fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="build-fuzz/corpus-$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d fuzz/seeds/"$name" ] && seeds=(fuzz/seeds/"$name")
  echo "== $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "$corpus" "${seeds[@]}" 2>&1 | tail -n 5
done
