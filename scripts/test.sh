#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test, with warnings as errors.
#   ./scripts/test.sh                    release-with-asserts build in build/
#   ./scripts/test.sh --asan             AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   ./scripts/test.sh --tsan             ThreadSanitizer build in build-tsan/
#   ./scripts/test.sh --build-type TYPE  a packager's build (Release, Debug, MinSizeRel, ...) in
#                                        build-TYPE/ (lower case), without the benchmarks
# Any argument after -- goes to ctest, e.g. `./scripts/test.sh -- -L unit`.
set -euo pipefail
cd "$(dirname "$0")/.."

variant=default
build_type=
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --asan) variant=asan ;;
    --tsan) variant=tsan ;;
    --build-type)
      [ $# -ge 2 ] || { echo "--build-type needs a value" >&2; exit 2; }
      variant=type; build_type="$2"; shift ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "usage: $0 [--asan|--tsan|--build-type TYPE] [-- CTEST-ARGS...]" >&2; exit 2 ;;
  esac
  shift
done

./scripts/install-deps.sh

case "$variant" in
  default) dir=build; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DKOLVARIS_ASAN=ON -DKOLVARIS_BUILD_BENCHMARKS=OFF) ;;
  tsan) dir=build-tsan; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVARIS_TSAN=ON -DKOLVARIS_BUILD_BENCHMARKS=OFF) ;;
  type) dir="build-${build_type,,}"; flags=(-DCMAKE_BUILD_TYPE="$build_type" -DKOLVARIS_BUILD_BENCHMARKS=OFF) ;;
esac

cmake -S . -B "$dir" -G Ninja -DKOLVARIS_WERROR=ON "${flags[@]}"
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 600 "${ctest_args[@]}"
