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

# What a macOS build does not compile: the Linux engine and adapters (folders named linux are
# skipped by the kit itself), the fake platform, tests, benchmarks, fuzz targets and the Linux
# signing tool.
EXCLUDE='^(tests|bench|fuzz|tools/codesign|scripts)/|/platform/fake/'

# The build-time constants as cmake/settings.cmake and cmake/darwin.cmake define them.
FLAGS=(
  -isystem "$ASIO_ONLY"
  -DASIO_NO_DEPRECATED -DASIO_HAS_CO_AWAIT=1
  -DKOLVARIS_CLIENT_BUNDLE_IDENTIFIER='"com.kolvaris.desktop"'
  -DKOLVARIS_SIGNING_TEAM_IDENTIFIER='"KOLVARIS01"'
  -DKOLVARIS_HELPER_LABEL='"com.kolvaris.desktop-helper"'
  -Wextra -Wno-unused-parameter
  # Declarations Apple documents that the kit's headers lack (see the header's comment).
  -include "$PROJECT/scripts/darwin-check/missing_declarations.h"
)
# asio 1.22 relies on <exception> arriving through other standard headers, which libc++ 19 no
# longer does; the build (cmake/darwin.cmake) makes up for it the same way.
FLAGS+=(-include exception)

exec "$KIT/check.sh" --analyze --werror --exclude "$EXCLUDE" "$@" "$PROJECT" -- "${FLAGS[@]}"
