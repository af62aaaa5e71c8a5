#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test.
#   ./scripts/test.sh            release-with-asserts build in build/
#   ./scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   ./scripts/test.sh --tsan     ThreadSanitizer build in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

variant=default
for arg in "$@"; do
  case "$arg" in
    --asan) variant=asan ;;
    --tsan) variant=tsan ;;
    *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
  esac
done

./scripts/install-deps.sh

case "$variant" in
  default) dir=build; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DKOLVARIS_ASAN=ON -DKOLVARIS_BUILD_BENCHMARKS=OFF) ;;
  tsan) dir=build-tsan; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVARIS_TSAN=ON -DKOLVARIS_BUILD_BENCHMARKS=OFF) ;;
esac

cmake -S . -B "$dir" -G Ninja "${flags[@]}"
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 600
