#!/usr/bin/env bash
# Type-checks what a macOS build compiles (the darwin platform layer and the portable sources,
# not the Linux engine, the fake platform, the tests, benchmarks or fuzz targets) with clang 19
# and its static analyzer, against the darwin header kit: a header tree from openly licensed
# sources. It proves that every declaration used exists with that signature for macOS 13; it
# does not link, sign or run anything (README, "macOS").
#
# The kit is found through DARWIN_KIT, else at ../shared/darwin-kit beside the project. Without
# it the check is skipped (exit 0). Extra arguments go to the kit's check.sh (e.g. --list, -v).
set -euo pipefail
cd "$(dirname "$0")/.."
PROJECT=$(pwd)

KIT=${DARWIN_KIT:-$PROJECT/../shared/darwin-kit}
if [ ! -x "$KIT/check.sh" ]; then
  echo "check-darwin: no darwin header kit at $KIT (set DARWIN_KIT); the macOS check was skipped"
  exit 0
fi

# asio is header-only and the one third-party library the portable code includes: hand the
# check its headers alone, never the rest of this machine's /usr/include.
ASIO_INCLUDE=${ASIO_INCLUDE:-/usr/include}
if [ ! -f "$ASIO_INCLUDE/asio.hpp" ]; then
  echo "check-darwin: asio headers not found in $ASIO_INCLUDE (set ASIO_INCLUDE)" >&2
  exit 2
fi
ASIO_ONLY=$(mktemp -d /tmp/check-darwin-asio.XXXXXX)
trap 'rm -rf "$ASIO_ONLY"' EXIT
ln -s "$ASIO_INCLUDE/asio.hpp" "$ASIO_ONLY/asio.hpp"
ln -s "$ASIO_INCLUDE/asio" "$ASIO_ONLY/asio"

# What a macOS build does not compile: the Linux code-signature engine and system routines
# (codesign/, posix/), the Linux adapters (folders named linux are skipped by the kit itself), the
# fake platform, tests, benchmarks, fuzz targets and the Linux signing tool.
EXCLUDE='^(tests|bench|fuzz|tools/codesign|scripts|codesign|posix)/|/platform/fake/'

# The build-time constants as cmake/settings.cmake and cmake/darwin.cmake define them, the
# requirement in the header the configure step generates.
GENERATED="$ASIO_ONLY/generated"
mkdir -p "$GENERATED"
printf '%s\n' '#define KOLVARIS_CLIENT_CODE_REQUIREMENT "identifier \"com.kolvaris.desktop\" and anchor apple generic and certificate leaf[subject.OU] = KOLVARIS01 and certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */"' \
  > "$GENERATED/kolvaris_client_requirement.h"
FLAGS=(
  -isystem "$ASIO_ONLY"
  -I "$GENERATED"
  -DASIO_NO_DEPRECATED -DASIO_HAS_CO_AWAIT=1
  -DKOLVARIS_CLIENT_BUNDLE_IDENTIFIER='"com.kolvaris.desktop"'
  -DKOLVARIS_SIGNING_TEAM_IDENTIFIER='"KOLVARIS01"'
  -DKOLVARIS_HELPER_LABEL='"com.kolvaris.desktop-helper"'
  -DKOLVARIS_MINIMUM_CLIENT_VERSION='"1.0"'
  -Wextra -Wno-unused-parameter
  # Declarations Apple documents that the kit's headers lack (see the header's comment).
  -include "$PROJECT/scripts/darwin-check/missing_declarations.h"
)
# asio 1.22 relies on <exception> arriving through other standard headers, which libc++ 19 no
# longer does; the build (cmake/darwin.cmake) makes up for it the same way.
FLAGS+=(-include exception)

# The analyzer does not model C++20 coroutine frames: in every file that uses co_await it reports
# asio's awaitable frame pointer as uninitialized (core.CallAndMessage) inside asio's headers.
# Those files are analyzed in a second run without that one checker; every other checker runs on
# them, and every checker runs on all other files.
mapfile -t ALL < <("$KIT/check.sh" --list --exclude "$EXCLUDE" "$PROJECT")
CORO=() PLAIN=()
for f in "${ALL[@]}"; do
  if grep -q 'co_await' "$PROJECT/$f"; then CORO+=("$f"); else PLAIN+=("$f"); fi
done
alternatives() { local IFS='|'; printf '%s' "$*" | sed 's/\./\\./g'; }
status=0
"$KIT/check.sh" --analyze --werror --exclude "$EXCLUDE|^($(alternatives "${CORO[@]}"))\$" "$@" \
  "$PROJECT" -- "${FLAGS[@]}" || status=1
if [ ${#CORO[@]} -gt 0 ]; then
  "$KIT/check.sh" --analyze --werror --exclude "$EXCLUDE|^($(alternatives "${PLAIN[@]}"))\$" "$@" \
    "$PROJECT" -- "${FLAGS[@]}" -Xanalyzer -analyzer-disable-checker=core.CallAndMessage || status=1
fi
if [ $status = 0 ]; then
  echo "check-darwin: every file a macOS build compiles passed"
else
  echo "check-darwin: FAILED" >&2
fi
exit $status
