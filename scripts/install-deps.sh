#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need. Needs root.
set -euo pipefail
packages=(
  build-essential cmake ninja-build ccache pkg-config git python3
  libasio-dev libssl-dev openssl libsystemd-dev systemd
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang-19 libclang-rt-19-dev unicode-data attr
  binutils dpkg-dev lintian util-linux init-system-helpers
  xvfb x11-utils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
