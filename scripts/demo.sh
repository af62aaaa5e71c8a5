#!/usr/bin/env bash
# The helper's main job, end to end, on this machine:
#   1. builds the helper, helperctl and the signing tool (a development build with a test PKI);
#   2. installs version 1 of a signed application bundle owned by uid 501 / gid 80, whose main
#      executable is helperctl, so the installed application itself is the client;
#   3. "downloads" a signed version 2 under another name, quarantine attribute set;
#   4. starts the helper with systemd-socket-activate on a private socket, named "Primary";
#   5. the running application asks for the replacement; the helper verifies the client, both
#      bundles and the copy, carries over owner and group, strips the quarantine and swaps;
#   6. shows the result; the application hands its relaunch over and exits, and is started again;
#   7. refused requests, each with its reason (a tampered download, an older version), a program
#      that is not the application, and the helper's log.
# Needs root (ownership changes). Leaves nothing behind but its build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh changes file ownership and must run as root" >&2
  exit 1
fi

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j "$(nproc)" --target helper helperctl kolvaris-codesign > /dev/null

helper=$(ls build/desktop-helper/*-helper)
codesign=build/tools/kolvaris-codesign
pki=build/test-pki
identifier=$(grep -m1 '^KOLVARIS_CLIENT_BUNDLE_IDENTIFIER:' build/CMakeCache.txt | cut -d= -f2)

work=$(mktemp -d /tmp/kolvaris-demo-XXXXXX)
helper_pid=""
cleanup() {
  [ -n "$helper_pid" ] && kill "$helper_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*"; }

make_bundle() {  # make_bundle DIR VERSION
  local app="$1" version="$2"
  mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources/.hidden" \
    "$app/Contents/Frameworks/Engine.framework/Resources"
  cat > "$app/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key>
  <string>$identifier</string>
  <key>CFBundleExecutable</key>
  <string>Kolvaris</string>
  <key>CFBundleShortVersionString</key>
  <string>$version</string>
  <key>CFBundleVersion</key>
  <string>$version</string>
</dict>
</plist>
PLIST
  cp build/tools/helperctl "$app/Contents/MacOS/Kolvaris"
  echo "release notes of version $version" > "$app/Contents/Resources/notes.txt"
  echo "settings" > "$app/Contents/Resources/.hidden/defaults"
  echo "engine $version" > "$app/Contents/Frameworks/Engine.framework/Resources/engine.txt"
  ln -s Resources/notes.txt "$app/Contents/NOTES"
  "$codesign" sign --key "$pki/leaf.key" --cert "$pki/leaf.pem" --chain "$pki/chain.pem" "$app"
}

version_of() { grep -A1 CFBundleShortVersionString "$1/Contents/Info.plist" | tail -1 | sed 's/.*<string>\(.*\)<\/string>.*/\1/'; }

say "Installing version 1 as uid 501, gid 80"
mkdir -p "$work/Applications" "$work/Downloads"
make_bundle "$work/Applications/Kolvaris.app" 1.0
chown -R -h 501:80 "$work/Applications/Kolvaris.app"
stat -c '%U(%u):%G(%g) %A %n' "$work/Applications/Kolvaris.app"

say "Downloading version 2 (another name, quarantined)"
make_bundle "$work/Downloads/Kolvaris 2.0.app" 2.0
setfattr -n user.com.apple.quarantine -v "0081;demo;Browser;" "$work/Downloads/Kolvaris 2.0.app"
setfattr -n user.com.apple.quarantine -v "0081;demo;Browser;" \
  "$work/Downloads/Kolvaris 2.0.app/Contents/Resources/notes.txt"
echo "quarantined items: $(getfattr -h -R -m user.com.apple.quarantine "$work/Downloads/Kolvaris 2.0.app" 2>/dev/null | grep -c '^# file' || true)"

say "Starting the helper, socket-activated as \"Primary\""
sock="$work/helper.sock"
systemd-socket-activate -l "$sock" --fdname=Primary "$helper" > "$work/helper.log" 2>&1 &
helper_pid=$!
for _ in $(seq 50); do [ -S "$sock" ] && break; sleep 0.1; done

say "The installed application asks for the replacement"
"$work/Applications/Kolvaris.app/Contents/MacOS/Kolvaris" --socket "$sock" \
  replace "$work/Downloads/Kolvaris 2.0.app" "$work/Applications/Kolvaris.app"

say "Result"
echo "installed version: $(version_of "$work/Applications/Kolvaris.app")"
echo "owners in the installed bundle: $(find "$work/Applications/Kolvaris.app" -printf '%u:%g\n' | sort | uniq -c | xargs)"
echo "quarantined items left: $(getfattr -h -R -m user.com.apple.quarantine "$work/Applications/Kolvaris.app" 2>/dev/null | grep -c '^# file' || true)"
echo "what sits beside the destination: $(ls -A "$work/Applications" | xargs)"
"$codesign" verify "$work/Applications/Kolvaris.app"

say "The application asks to be started again once it has exited, and exits"
# exec: the process that asks is the one whose exit the helper waits for.
sh -c 'exec "$0" --socket "$1" relaunch --no-wait $$ "$2"' \
  "$work/Applications/Kolvaris.app/Contents/MacOS/Kolvaris" "$sock" "$work/Applications/Kolvaris.app"
for _ in $(seq 30); do grep -q "Successfully completed launching application" "$work/helper.log" && break; sleep 0.1; done
grep -E "has exited|Launching application|launching application" "$work/helper.log" | sed "s|$work|<demo>|g"

say "A tampered download is refused and the installed bundle stays"
cp -a "$work/Downloads/Kolvaris 2.0.app" "$work/Downloads/Evil.app"
echo "injected" >> "$work/Downloads/Evil.app/Contents/Resources/notes.txt"
"$work/Applications/Kolvaris.app/Contents/MacOS/Kolvaris" --socket "$sock" \
  replace "$work/Downloads/Evil.app" "$work/Applications/Kolvaris.app" || true
echo "installed version: $(version_of "$work/Applications/Kolvaris.app")"

say "An older, validly signed version is refused: no rollback"
make_bundle "$work/Downloads/Kolvaris 1.0.app" 1.0
"$work/Applications/Kolvaris.app/Contents/MacOS/Kolvaris" --socket "$sock" \
  replace "$work/Downloads/Kolvaris 1.0.app" "$work/Applications/Kolvaris.app" || true
echo "installed version: $(version_of "$work/Applications/Kolvaris.app")"

say "A program that is not the signed application is turned away"
build/tools/helperctl --socket "$sock" replace "$work/Downloads/Kolvaris 2.0.app" \
  "$work/Applications/Kolvaris.app" || true

sleep 0.5
say "The helper's log"
sed "s|$work|<demo>|g" "$work/helper.log"
echo
echo "(the helper exits by itself after a minute without clients; the demo stops it now)"
