#!/usr/bin/env bash
# The installed package under a real systemd: boots Debian 12 with systemd as PID 1 in a
# container, installs the Debian package built from this tree with apt, and drives it as its
# users would. One line per check, then "N passed, M failed"; exit status 1 when a check failed.
#
#   ./scripts/system-test.sh [--plant DROPIN] [--keep]
#
#   --plant DROPIN  installs DROPIN as a drop-in of the helper's service before the checks, to
#                   see that a fault in the unit is caught (for example "SystemCallFilter=~fchownat"
#                   or "CapabilityBoundingSet=~CAP_CHOWN" under [Service])
#   --keep          leaves the container's root in build-system/root for a look afterwards
#
# Needs root. Installs debootstrap and systemd-container from Debian. The pristine root file system
# (debootstrap, about a minute and 250 MB) is kept in $KOLVARIS_SYSTEM_TEST_CACHE (default
# /var/cache/kolvaris-system-test) and copied for every run. The package is built in
# build-system/ with a test PKI of its own as its trust anchor: never install it anywhere else.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

plant="" keep=no
while [ $# -gt 0 ]; do
  case "$1" in
    --plant) [ $# -ge 2 ] || { echo "--plant needs a file" >&2; exit 2; }; plant=$(realpath "$2"); shift ;;
    --keep) keep=yes ;;
    *) echo "usage: $0 [--plant DROPIN] [--keep]" >&2; exit 2 ;;
  esac
  shift
done
if [ "$(id -u)" -ne 0 ]; then
  echo "system-test.sh boots a container and must run as root" >&2
  exit 1
fi

./scripts/install-deps.sh
for p in debootstrap systemd-container; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap systemd-container
done

cache=${KOLVARIS_SYSTEM_TEST_CACHE:-/var/cache/kolvaris-system-test}
work=$src/build-system
build=$work/build
root=$work/root
machine=kolvaris-system-test-$$
mkdir -p "$work" "$cache"

# --- the pristine root, made once --------------------------------------------------------------
# shellcheck disable=SC2054  # the package list is one comma-separated argument
bootstrap=(debootstrap --variant=minbase
  --include=systemd,systemd-sysv,dbus,dbus-user-session,libpam-systemd,attr,libssl3,logrotate
  bookworm)
if [ "$(cat "$cache/pristine/.kolvaris-pristine" 2>/dev/null)" != "${bootstrap[*]}" ]; then
  echo "bootstrapping Debian 12 into $cache/pristine"
  rm -rf "$cache/pristine.new" "$cache/pristine"
  "${bootstrap[@]}" "$cache/pristine.new" > "$cache/bootstrap.log" 2>&1 ||
    { tail -30 "$cache/bootstrap.log"; echo "debootstrap failed" >&2; exit 1; }
  echo "${bootstrap[*]}" > "$cache/pristine.new/.kolvaris-pristine"
  mv "$cache/pristine.new" "$cache/pristine"
fi

# --- the package, from an installable build -----------------------------------------------------
[ -f "$work/pki/root.pem" ] || ./scripts/make-test-pki "$work/pki" > /dev/null
echo "building the package in $build"
env -u CFLAGS -u CXXFLAGS -u LDFLAGS cmake -S . -B "$build" -G Ninja -DKOLVARIS_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKOLVARIS_TRUST_ANCHOR="$work/pki/root.pem" \
  -DKOLVARIS_BUILD_TESTS=OFF -DKOLVARIS_BUILD_BENCHMARKS=OFF > "$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" > "$work/build.log" 2>&1 || { tail -50 "$work/build.log"; exit 1; }
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$build"/*.deb)
package=$(dpkg-deb -f "$deb" Package)
label=$(sed -n 's/^KOLVARIS_HELPER_LABEL:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$label" ] || label=$(sed -n 's/^KOLVARIS_CLIENT_BUNDLE_IDENTIFIER:[A-Z]*=//p' "$build/CMakeCache.txt")-helper
identifier=${label%-helper}
service=$label.service socket=$label.socket log=/var/log/$label.log

# --- the applications: clients of the installed helper, signed on this side --------------------
fixtures=$work/fixtures
rm -rf "$fixtures"
mkdir -p "$fixtures/deb"
dpkg-deb -x "$deb" "$fixtures/deb"
libdir=$(dirname "$(find "$fixtures/deb/usr/lib" -name 'libkolvaris-helper-client.so' | head -1)")
cc_app() {
  cc -std=c11 -O2 -Wall -Wextra -Werror "$src/tests/system/app.c" -I "$fixtures/deb/usr/include" \
    -L "$libdir" -lkolvaris-helper-client "$@"
}
cc_app -o "$fixtures/app-system"
# shellcheck disable=SC2016  # $ORIGIN is the loader's, not the shell's
cc_app -Wl,-rpath,'$ORIGIN/../Frameworks' -o "$fixtures/app-bundled"

codesign=$build/tools/kolvaris-codesign
# make_bundle DIR VERSION EXECUTABLE [--own-library]
make_bundle() {
  local app=$1 version=$2 exe=$3
  mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources"
  cat > "$app/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key>
  <string>$identifier</string>
  <key>CFBundleExecutable</key>
  <string>Kolvaris</string>
  <key>CFBundleVersion</key>
  <string>$version</string>
</dict>
</plist>
PLIST
  cp "$exe" "$app/Contents/MacOS/Kolvaris"
  chmod 0755 "$app/Contents/MacOS/Kolvaris"
  echo "version $version" > "$app/Contents/Resources/notes.txt"
  if [ "${4:-}" = --large ]; then
    dd if=/dev/zero of="$app/Contents/Resources/data" bs=1M count=400 status=none
  fi
  if [ "${4:-}" = --own-library ]; then
    mkdir -p "$app/Contents/Frameworks"
    cp "$(readlink -f "$libdir/libkolvaris-helper-client.so")" \
      "$app/Contents/Frameworks/libkolvaris-helper-client.so.1"
  fi
  "$codesign" sign --key "$work/pki/leaf.key" --cert "$work/pki/leaf.pem" \
    --chain "$work/pki/chain.pem" "$app" > /dev/null
}
home_a=$fixtures/home/alice home_b=$fixtures/home/bob
make_bundle "$home_a/Applications/Kolvaris.app" 1.0 "$fixtures/app-system"
make_bundle "$home_a/Downloads/Kolvaris 2.0.app" 2.0 "$fixtures/app-system"
setfattr -n user.com.apple.quarantine -v "0081;system-test;Browser;" "$home_a/Downloads/Kolvaris 2.0.app"
setfattr -n user.com.apple.quarantine -v "0081;system-test;Browser;" \
  "$home_a/Downloads/Kolvaris 2.0.app/Contents/Resources/notes.txt"
cp -a "$home_a/Downloads/Kolvaris 2.0.app" "$home_a/Downloads/Tampered.app"
echo "injected" >> "$home_a/Downloads/Tampered.app/Contents/Resources/notes.txt"
mkdir -p "$home_a/unsigned"
cp "$fixtures/app-system" "$home_a/unsigned/Kolvaris"
make_bundle "$home_a/Downloads/Kolvaris 3.0.app" 3.0 "$fixtures/app-system" --large
make_bundle "$home_a/Private/Kolvaris.app" 1.0 "$fixtures/app-system"
make_bundle "$home_a/Bundled/Kolvaris.app" 1.0 "$fixtures/app-bundled" --own-library
make_bundle "$home_b/Applications/Kolvaris.app" 1.0 "$fixtures/app-system"
make_bundle "$home_b/Downloads/Kolvaris 2.0.app" 2.0 "$fixtures/app-system"

# --- the container ------------------------------------------------------------------------------
nspawn="" leader=""
cleanup() {
  if [ -n "$leader" ] && kill -0 "$leader" 2>/dev/null; then
    kill -s SIGRTMIN+3 "$leader" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.2; done
  fi
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    kill -9 "$nspawn" 2>/dev/null || true
    wait "$nspawn" 2>/dev/null || true
  fi
  [ "$keep" = yes ] || rm -rf "$root"
}
trap cleanup EXIT

rm -rf "$root"
cp -a "$cache/pristine" "$root"
echo "$machine" > "$root/etc/hostname"
chroot "$root" useradd -m -u 1000 -g users -s /bin/bash alice
chroot "$root" useradd -m -u 1001 -g users -s /bin/bash bob
cp -a "$home_a/." "$root/home/alice/"
cp -a "$home_b/." "$root/home/bob/"
chown -R -h 1000:100 "$root/home/alice"
chown -R -h 1001:100 "$root/home/bob"
chmod 0755 "$root/home/alice" "$root/home/bob"
chmod 0700 "$root/home/alice/Private"
mkdir -p "$root/root/pkg"
cp "$deb" "$root/root/pkg/"
deb_inside=/root/pkg/$(basename "$deb")

# The container's own capability set lacks CAP_CHECKPOINT_RESTORE, which the unit's bounding set
# names (reading the code a client has mapped, /proc/<pid>/map_files): without it every client
# would be refused here and nowhere else.
systemd-nspawn -D "$root" --boot --register=no --keep-unit --machine="$machine" \
  --capability=CAP_CHECKPOINT_RESTORE \
  --console=read-only > "$work/console.log" 2>&1 &
nspawn=$!
for _ in $(seq 100); do
  leader=$(pgrep -P "$nspawn" | head -1 || true)
  [ -n "$leader" ] && break
  sleep 0.1
done
[ -n "$leader" ] || { cat "$work/console.log"; echo "the container did not start" >&2; exit 1; }

# Runs a command inside the container, in all its namespaces, with a clean environment.
inside() {
  nsenter -t "$leader" -a -- env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}
# Runs a command as USER in a real PAM session (logind registers it, pam_systemd sets
# XDG_RUNTIME_DIR and the bus address), with a display and a variable that must not reach a
# launched application.
as() {
  local user=$1
  shift
  inside systemd-run --quiet --wait --pipe --collect -p PAMName=login -p User="$user" \
    -p 'WorkingDirectory=~' -E DISPLAY=:42 -E KOLVARIS_DECOY=leaked "$@" </dev/null
}
state=""
for _ in $(seq 300); do
  state=$(inside systemctl is-system-running 2>/dev/null || true)
  [ "$state" = running ] || [ "$state" = degraded ] && break
  sleep 0.2
done
case "$state" in
  running | degraded) ;;
  *) cat "$work/console.log"; echo "the container did not boot: $state" >&2; exit 1 ;;
esac
inside loginctl enable-linger alice bob
for _ in $(seq 100); do
  inside test -S /run/user/1000/bus && inside test -S /run/user/1001/bus && break
  sleep 0.2
done

# --- checks --------------------------------------------------------------------------------------
passed=0 failed=0 exposure=""
pass() { passed=$((passed + 1)); echo "ok    $*"; }
fail() {
  failed=$((failed + 1))
  echo "FAIL  $1"
  shift
  for d in "$@"; do printf '      %s\n' "$d"; done
  # Why: what systemd and the kernel said about the units, and the helper's own errors.
  inside journalctl -b --no-pager -q -o short-monotonic -u "$service" -u "$socket" 2>/dev/null |
    tail -15 | sed 's/^/      journal: /'
  inside journalctl -b --no-pager -q -o short-monotonic 2>/dev/null |
    grep -iE 'seccomp|audit|SIGSYS|capabilit|denied' | grep -vE 'systemd-run|ConditionCapability|dbus-daemon' | tail -10 |
    sed 's/^/      journal: /' || true
  inside sh -c "grep -E 'Error|Failed|failed|denied|not permitted|not implemented' '$log' 2>/dev/null | tail -10" |
    sed "s|^|      $log: |" || true
}
ms() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
# A fingerprint of a tree: names, types, owners, modes, sizes, contents, attributes.
fingerprint() {
  inside sh -c "cd '$1' && find . -printf '%p %y %u:%g %m %s\n' | sort && find . -type f -exec md5sum {} + | sort &&
            getfattr -R -h -d -m - . 2>/dev/null" | md5sum | cut -d' ' -f1
}
helper_starts() { inside sh -c "grep -c '^IPC: Helper is starting' '$log' 2>/dev/null || true"; }
main_pid() { inside systemctl show -p MainPID --value "$service"; }
trail() {
  inside sh -c "find /etc /lib/systemd /usr /var/lib/systemd /var/log /run -name '*$label*' 2>/dev/null | sort"
}

before_install=$(trail)
if out=$(inside apt-get install -y "$deb_inside" 2>&1); then
  pass "apt-get install ./$(basename "$deb")"
else
  fail "apt-get install ./$(basename "$deb")" "$(echo "$out" | tail -5)"
fi
if [ -n "$plant" ]; then
  inside mkdir -p "/etc/systemd/system/$service.d"
  cp "$plant" "$root/etc/systemd/system/$service.d/planted.conf"
  inside systemctl daemon-reload
  echo "--    planted: $(grep -v '^\[' "$plant" | xargs)"
fi

s_active=$(inside systemctl is-active "$socket" || true)
s_enabled=$(inside systemctl is-enabled "$socket" || true)
h_active=$(inside systemctl is-active "$service" || true)
if [ "$s_active" = active ] && [ "$s_enabled" = enabled ] && inside test -S "/run/$label.sock" &&
   [ "$h_active" = inactive ]; then
  pass "after install the socket is enabled and listening on /run/$label.sock, the service is not running"
else
  fail "after install the socket is enabled and listening, the service is not running" \
    "socket: $s_active, $s_enabled; service: $h_active"
fi

app=/home/alice/Applications/Kolvaris.app client=$app/Contents/MacOS/Kolvaris
t=$(date +%s%N)
out=$(as alice "$client" replace "/home/alice/Downloads/Kolvaris 2.0.app" "$app" 2>&1 || true)
took=$(ms "$t")
version=$(inside grep -c '<string>2.0</string>' "$app/Contents/Info.plist" || true)
owners=$(inside sh -c "find '$app' -printf '%u:%g\n' | sort -u | xargs")
quarantined=$(inside sh -c "getfattr -R -h --absolute-names -m user.com.apple.quarantine '$app' 2>/dev/null | grep -c '^# file' || true")
beside=$(inside ls -A /home/alice/Applications | xargs)
pid=$(main_pid)
cgroup=$(inside cat "/proc/$pid/cgroup" 2>/dev/null | grep "^0::" || true)
if [ "$out" = "0 -" ] && [ "$version" = 1 ] && [ "$owners" = "alice:users" ] && [ "$quarantined" = 0 ] &&
   [ "$beside" = Kolvaris.app ] && [[ "$cgroup" == *"/system.slice/$service" ]]; then
  pass "alice's signed client replaced her bundle (${took} ms, helper started by systemd): Ok, 2.0, alice:users, no quarantine, nothing left beside"
else
  fail "alice's signed client replaces her bundle" "reply: $out" "version 2.0: $version, owners: $owners" \
    "quarantined items: $quarantined, beside: $beside" "helper pid $pid, cgroup: $cgroup"
fi

# The sandbox as the kernel applies it to the running helper, against the installed unit.
unit=$(inside cat "/lib/systemd/system/$service")
unit_value() { echo "$unit" | sed -n "s/^$1=//p" | tail -1; }
cap_mask=0
for cap in $(unit_value CapabilityBoundingSet); do
  bit=$(awk -v c="$cap" '$1 == "#define" && $2 == c { print $3 }' /usr/include/linux/capability.h)
  cap_mask=$((cap_mask | (1 << bit)))
done
status=$(inside cat "/proc/$pid/status" 2>/dev/null || true)
nnp=$(echo "$status" | awk '$1 == "NoNewPrivs:" { print $2 }')
seccomp=$(echo "$status" | awk '$1 == "Seccomp:" { print $2 }')
capbnd=$(echo "$status" | awk '$1 == "CapBnd:" { print $2 }')
if [ "$nnp" = 1 ] && [ "$seccomp" = 2 ] && [ -n "$capbnd" ] && [ $((16#$capbnd)) -eq "$cap_mask" ]; then
  pass "the running helper is sandboxed: NoNewPrivs 1, Seccomp 2, CapBnd $capbnd = the unit's set"
else
  fail "the running helper is sandboxed" "NoNewPrivs $nnp, Seccomp $seccomp, CapBnd $capbnd," \
    "unit's set $(printf '%016x' "$cap_mask")"
fi

# What systemd made of the unit's settings, against what the unit file says.
normal() { tr ' ' '\n' | tr '[:upper:]' '[:lower:]' | sed '/^$/d' | sort | xargs; }
mismatch=()
for key in CapabilityBoundingSet NoNewPrivileges UMask ProtectSystem ProtectHome ReadWritePaths \
    ReadOnlyPaths PrivateDevices ProtectKernelTunables ProtectKernelModules ProtectKernelLogs \
    ProtectControlGroups ProtectClock ProtectHostname ProtectProc ProcSubset PrivateMounts RestrictAddressFamilies \
    RestrictNamespaces RestrictRealtime RestrictSUIDSGID LockPersonality MemoryDenyWriteExecute \
    SystemCallArchitectures KillMode; do
  want=$(unit_value "$key")
  have=$(inside systemctl show -p "$key" --value "$service")
  case "$key:$want" in
    RestrictSUIDSGID:) want=no ;;
    CapabilityBoundingSet:*) want=${want//CAP_/cap_} ;;
  esac
  [ "$(echo "$want" | normal)" = "$(echo "$have" | normal)" ] || mismatch+=("$key: unit '$want', systemd '$have'")
done
filter=$(inside systemctl show -p SystemCallFilter --value "$service")
for call in openat2 fchownat renameat2 pidfd_open pidfd_send_signal fremovexattr flock kcmp; do
  [[ " $filter " == *" $call "* ]] || mismatch+=("SystemCallFilter lacks $call")
done
if [ ${#mismatch[@]} -eq 0 ]; then
  pass "the loaded service's sandbox (systemctl show) is the one the unit file asks for"
else
  fail "the loaded service's sandbox is the one the unit file asks for" "${mismatch[@]}"
fi

rm -f "$root/home/alice/launched.txt"
out=$(as alice /bin/bash -c 'true & p=$!; wait $p; exec "$0" relaunch $p "$1"' "$client" "$app" 2>&1 || true)
for _ in $(seq 100); do inside test -e /home/alice/launched.txt && break; sleep 0.1; done
launched=$(inside cat /home/alice/launched.txt 2>/dev/null || true)
problems=()
[ "$out" = "0 -" ] || problems+=("reply: $out")
grep -qx 'uid=1000 gid=100' <<< "$launched" || problems+=("not alice: $(head -1 <<< "$launched")")
grep -q '^cgroup=0::/user.slice/user-1000.slice/user@1000.service/app.slice/' <<< "$launched" ||
  problems+=("not in her manager: $(sed -n "s/^cgroup=0:://p" <<< "$launched")")
for v in DISPLAY=:42 XDG_RUNTIME_DIR=/run/user/1000 DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus; do
  grep -qx "env=$v" <<< "$launched" || problems+=("lacks $v")
done
! grep -q '^env=KOLVARIS_DECOY=' <<< "$launched" || problems+=("the decoy variable reached it")
if [ ${#problems[@]} -eq 0 ]; then
  pass "the relaunch ran the application as alice in $(sed -n 's|^cgroup=0::.*/user@1000.service/||p' <<< "$launched") of her manager, with her session variables and no decoy"
else
  fail "the relaunch runs the application as alice in her manager with her session variables" "${problems[@]}"
fi

denials() {
  inside journalctl -b --no-pager -q 2>/dev/null |
    grep -iE 'seccomp|audit\[|type=1326|SIGSYS|status=31/SYS|code=dumped|capabilit' |
    grep -vE 'systemd-run\[|ConditionCapability' || true
}
helper_errors() {
  inside sh -c "grep -E 'Operation not permitted|Function not implemented|Read-only file system|Bad system call' '$log' 2>/dev/null || true"
}
found=$(denials) errors=$(helper_errors)
if [ -z "$found" ] && [ -z "$errors" ]; then
  pass "no seccomp kill, capability denial or audit message in the journal, no denied call in the log, while it served"
else
  fail "no seccomp kill, capability denial or audit message while it served" "$found" "$errors"
fi

security=$(inside systemd-analyze security --no-pager "$service" 2>&1 || true)
exposure=$(echo "$security" | sed -n "s/.*Overall exposure level for $service: \([0-9.]*\).*/\1/p")
if [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 3.0) }'; then
  pass "systemd-analyze security $service on the loaded unit: exposure $exposure (at most 3.0)"
else
  fail "systemd-analyze security: exposure at most 3.0" "exposure: ${exposure:-none}" \
    "$(echo "$security" | grep -E '^✗' | head -10)"
fi

t=$(date +%s%N)
for _ in $(seq 600); do [ "$(inside systemctl is-active "$service" || true)" = inactive ] && break; sleep 0.2; done
idle=$(( $(ms "$t") / 1000 ))
h_active=$(inside systemctl is-active "$service" || true)
result=$(inside systemctl show -p Result --value "$service")
ended=$(inside sh -c "tail -3 '$log' | grep -c 'IPC: Helper is shutting down' || true")
starts=$(helper_starts)
if [ "$h_active" = inactive ] && [ "$result" = success ] && [ "$ended" = 1 ]; then
  pass "the helper exited by itself when idle (${idle} s after the checks above), result success, socket still listening: $(inside systemctl is-active "$socket")"
else
  fail "the helper exits by itself when idle" "service: $h_active, result $result, log tail: $(inside tail -3 "$log" | xargs)"
fi

unchanged() { [ "$(fingerprint "$1")" = "$2" ] && [ "$(inside ls -A "$(dirname "$1")" | xargs)" = "$3" ]; }
sum=$(fingerprint "$app")
t=$(date +%s%N)
out=$(as alice "$client" replace /home/alice/Downloads/Tampered.app "$app" 2>&1 || true)
took=$(ms "$t")
if [[ "$out" == "1 "* ]] && unchanged "$app" "$sum" Kolvaris.app &&
   [ "$(helper_starts)" -eq $((starts + 1)) ] && [ "$(inside systemctl is-active "$service")" = active ]; then
  pass "the next request started the helper again (${took} ms): a tampered download is refused, nothing changed"
else
  fail "the next request starts the helper again and a tampered download is refused, nothing changed" \
    "reply: $out, helper starts: $starts -> $(helper_starts)"
fi

t=$(date +%s%N)
out=$(as alice /home/alice/unsigned/Kolvaris replace "/home/alice/Downloads/Kolvaris 2.0.app" "$app" 2>&1 || true)
took=$(ms "$t")
if [[ "$out" == "4 "* ]] && unchanged "$app" "$sum" Kolvaris.app; then
  pass "an unsigned client is turned away without a reply (${took} ms), nothing changed"
else
  fail "an unsigned client is turned away, nothing changed" "reply: $out"
fi

private=/home/alice/Private/Kolvaris.app
psum=$(fingerprint "$private")
bob=/home/bob/Applications/Kolvaris.app/Contents/MacOS/Kolvaris
out=$(as bob "$bob" replace "/home/bob/Downloads/Kolvaris 2.0.app" "$private" 2>&1 || true)
if [[ "$out" == "1 "* ]] && unchanged "$private" "$psum" Kolvaris.app; then
  pass "bob's signed client asking for $private, which he cannot read, is refused, nothing changed"
else
  fail "bob asking for a path of alice's he cannot read is refused, nothing changed" "reply: $out" \
    "now in /home/alice/Private: $(inside ls -A /home/alice/Private | xargs), $private unchanged: $([ "$(fingerprint "$private")" = "$psum" ] && echo yes || echo no)"
fi

# A helper killed in the middle of a replacement leaves its replacement directory beside the
# destination; the next replacement there must recognise it as ours (without CAP_SYS_ADMIN) and
# remove it, and the user's application must be whole.
copying=$(inside sh -c "grep -c 'Copying item to temporary directory' '$log' || true")
as alice "$client" replace "/home/alice/Downloads/Kolvaris 3.0.app" "$app" > "$work/killed.out" 2>&1 &
request=$!
for _ in $(seq 200); do
  [ "$(inside sh -c "grep -c 'Copying item to temporary directory' '$log' || true")" -gt "$copying" ] && break
  sleep 0.05
done
inside systemctl kill -s SIGKILL "$service" || true
wait "$request" || true
left=$(inside ls -A /home/alice/Applications | xargs)
out=$(as alice "$client" replace "/home/alice/Downloads/Kolvaris 3.0.app" "$app" 2>&1 || true)
beside=$(inside ls -A /home/alice/Applications | xargs)
version=$(inside grep -c '<string>3.0</string>' "$app/Contents/Info.plist" || true)
if [[ "$left" == *.item-replacement-* ]] && [ "$out" = "0 -" ] && [ "$beside" = Kolvaris.app ] && [ "$version" = 1 ]; then
  pass "a helper killed mid-replacement left $(echo "$left" | wc -w) entries; the next replacement removed its leftover: Ok, 3.0, nothing left beside"
else
  fail "the leftover of a helper killed mid-replacement is removed by the next replacement" \
    "after the kill: $left" "next reply: $out, now beside: $beside, version 3.0: $version" \
    "killed request: $(cat "$work/killed.out")"
fi

mode=$(inside stat -c '%a %U:%G' "$log" 2>/dev/null || true)
requests=$(inside sh -c "grep -c 'Successfully replaced app package' '$log' || true")
asked=$(inside sh -c "grep -c 'Tampered.app' '$log' || true")
if [ "$mode" = "600 root:root" ] && [ "$requests" -ge 1 ] && [ "$asked" -ge 1 ]; then
  pass "$log: mode 0600 root:root, holds the requests ($requests replacement, the refused ones)"
else
  fail "$log exists with mode 0600 root:root and holds the requests" "mode: $mode, replacements: $requests, tampered: $asked"
fi

rotate=/etc/logrotate.d/$label
if out=$(inside logrotate -d "$rotate" 2>&1) && ! grep -qi 'error' <<< "$out" &&
   inside logrotate -f "$rotate" && inside test -s "$log.1" && [ "$(inside stat -c '%a %U:%G' "$log" 2>/dev/null)" = "600 root:root" ]; then
  pass "$rotate is valid and rotates the log ($log.1, a new $log with mode 0600)"
else
  fail "the package's logrotate file is valid and rotates the log" "$(echo "$out" | grep -i error | head -3)" \
    "$(inside ls -l /var/log | grep "$label" || true)"
fi

# The way an application stays startable without the package: its own copy of the client library
# in its bundle, which the peer check accepts because the bundle seals it.
bundled_app=/home/alice/Bundled/Kolvaris.app
maps=$(inside sh -c "ldd '$bundled_app/Contents/MacOS/Kolvaris' | grep libkolvaris-helper-client" || true)
out=$(as alice /bin/bash -c 'true & p=$!; wait $p; exec "$0" relaunch $p "$1"' \
      "$bundled_app/Contents/MacOS/Kolvaris" "$bundled_app" 2>&1 || true)
if [ "$out" = "0 -" ] && [[ "$maps" == *"=> $bundled_app/Contents/"*"Frameworks/libkolvaris-helper-client.so.1 "* ]]; then
  pass "an application carrying its own client library (Contents/Frameworks) is served: Ok"
else
  fail "an application carrying its own client library is served" "reply: $out" "library: $maps"
fi

# An upgrade (a reinstall runs the same maintainer scripts) restarts a running helper, so it does
# not serve on from its deleted executable.
[ "$(inside systemctl is-active "$service")" = active ] ||
  as alice /home/alice/unsigned/Kolvaris replace /x /y > /dev/null 2>&1 || true
old_pid=$(main_pid)
if out=$(inside apt-get install -y --reinstall "$deb_inside" 2>&1); then
  new_pid=$(main_pid)
  exe=$(inside readlink "/proc/$new_pid/exe" 2>/dev/null || true)
  if [ "$old_pid" != 0 ] && [ "$new_pid" != 0 ] && [ "$new_pid" != "$old_pid" ] &&
     [ "$exe" = "/usr/libexec/$label" ] && [ "$(inside systemctl is-active "$socket")" = active ]; then
    pass "reinstall restarted the running helper (pid $old_pid -> $new_pid, executable not deleted), socket listening"
  else
    fail "reinstall restarts the running helper" "pid $old_pid -> $new_pid, executable: $exe" \
      "socket: $(inside systemctl is-active "$socket")"
  fi
else
  fail "apt-get install --reinstall" "$(echo "$out" | tail -5)"
fi

bundled=$bundled_app/Contents/MacOS/Kolvaris
if out=$(inside apt-get remove -y "$package" 2>&1); then
  s_active=$(inside systemctl is-active "$socket" || true)
  h_active=$(inside systemctl is-active "$service" || true)
  reply=$(as alice "$bundled" replace /x /y 2>&1 || true)
  if [ "$s_active" != active ] && [ "$h_active" != active ] && ! inside test -e "/run/$label.sock" &&
     ! inside test -e "/usr/libexec/$label" && inside test -f "$log" &&
     [ "$reply" = "2 cannot connect to /var/run/$label.sock: No such file or directory (os error 2)" ]; then
    pass "apt-get remove: socket and service gone, log kept; an application carrying its client library says it cannot connect"
  else
    fail "apt-get remove: socket and service gone, log kept, an application still starts" \
      "socket: $s_active, service: $h_active, application: $reply"
  fi
else
  fail "apt-get remove" "$(echo "$out" | tail -5)"
fi

# A planted drop-in is the test's, not the package's.
[ -z "$plant" ] || inside rm -rf "/etc/systemd/system/$service.d"
if out=$(inside apt-get purge -y "$package" 2>&1); then
  after=$(trail)
  if ! inside dpkg-query -W "$package" > /dev/null 2>&1 && [ "$after" = "$before_install" ]; then
    pass "apt-get purge: nothing of the package is left"
  else
    fail "apt-get purge leaves nothing" "left: $(comm -13 <(echo "$before_install") <(echo "$after") | xargs)"
  fi
else
  fail "apt-get purge" "$(echo "$out" | tail -5)"
fi

found=$(denials)
if [ -z "$found" ]; then
  pass "the whole run: no seccomp kill, capability denial or audit message in the journal"
else
  fail "the whole run: no seccomp kill, capability denial or audit message" "$found"
fi

echo "$passed passed, $failed failed (exposure of the loaded unit: ${exposure:-unknown})"
[ "$failed" -eq 0 ]
