#!/usr/bin/env bash
# Checks the generated systemd units: their settings, `systemd-analyze verify`, and an exposure of
# at most 3.0 from `systemd-analyze security --offline=true`.
#   check_units.sh UNIT_DIR LABEL HELPER_INSTALL_PATH
# Exit 77 (skipped) only when systemd-analyze is missing.
set -euo pipefail
dir=$1 label=$2 helper_path=$3
socket="$dir/$label.socket" service="$dir/$label.service"
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not installed"; exit 77; }

fail() { echo "FAIL: $*" >&2; exit 1; }
has() { grep -qxF -- "$2" "$1" || fail "$(basename "$1") lacks the line: $2"; }

has "$socket" "ListenStream=/run/$label.sock"
has "$socket" "FileDescriptorName=Primary"
has "$socket" "SocketMode=0666"
has "$socket" "Accept=no"
has "$socket" "RemoveOnStop=yes"
has "$socket" "WantedBy=sockets.target"
has "$service" "ExecStart=$helper_path"
has "$service" "StandardOutput=append:/var/log/$label.log"
has "$service" "StandardError=append:/var/log/$label.log"
! grep -q '^Restart=' "$service" || fail "the service has a restart policy"
# Both were in the unit once and broke every installed helper, which only a booted system shows
# (scripts/system-test.sh): RestrictSUIDSGID= answers every openat2 with ENOSYS, and
# ProtectHome=read-only keeps /home read-only whatever ReadWritePaths= says.
! grep -q '^RestrictSUIDSGID=yes' "$service" || fail "RestrictSUIDSGID=yes makes openat2 fail"
! grep -q '^ProtectHome=\(yes\|read-only\|tmpfs\)' "$service" || fail "ProtectHome= hides or freezes /home"
for directive in CapabilityBoundingSet NoNewPrivileges ProtectKernelTunables ProtectKernelModules \
    ProtectControlGroups ProtectClock RestrictAddressFamilies IPAddressDeny RestrictNamespaces \
    LockPersonality MemoryDenyWriteExecute SystemCallArchitectures SystemCallFilter UMask \
    ProtectSystem ProtectHome ReadWritePaths; do
  grep -q "^$directive=" "$service" || fail "the service lacks $directive="
done

# verify insists that ExecStart exists here; check a copy that differs only there.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$socket" "$work/"
sed "s|^ExecStart=.*|ExecStart=$(command -v true)|" "$service" > "$work/$label.service"
systemd-analyze verify "$work/$label.socket" "$work/$label.service" > "$work/verify.log" 2>&1 ||
  { cat "$work/verify.log"; fail "systemd-analyze verify"; }
[ ! -s "$work/verify.log" ] || { cat "$work/verify.log"; fail "systemd-analyze verify warned"; }

systemd-analyze security --offline=true --no-pager "$service" > "$work/security.log" 2>&1 || true
line=$(grep -o "Overall exposure level for $label.service: [0-9.]*" "$work/security.log" || true)
[ -n "$line" ] || { cat "$work/security.log"; fail "no exposure level reported"; }
exposure=${line##* }
echo "exposure: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 3.0) }' || { cat "$work/security.log"; fail "exposure $exposure above 3.0"; }
echo "units ok"
