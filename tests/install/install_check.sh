#!/usr/bin/env bash
# Installation, packaging and the C client, checked on an installable build made on the spot:
# other constants than the surrounding build, and a trust anchor of its own (a test PKI), so it
# is not a development build.
#
#   install_check.sh PHASE SOURCE_DIR WORK_DIR OUTER_BUILD_DIR OUTER_HELPER
#
#   build      configure and build that copy, refuse to install the (development) outer build,
#              install the copy into a staging DESTDIR
#   layout     the staged files and modes, the embedded lists against the outer helper's, the
#              units, the library's exported symbols
#   consumers  a C program built through pkg-config and a CMake project built through
#              find_package, both only against the staged install, call the helper under a
#              socket activator: Ok, a refusal with its text, no connection
#   deb        cpack -G DEB, dpkg-deb -c, lintian, then install and purge on this machine
#
# Exit 77 (skipped) only where a tool the phase needs is not installed.
set -euo pipefail
phase=$1 src=$2 work=$3 outer_build=$4 outer_helper=$5

CLIENT=org.example.installcheck
TEAM=INSTCHECK1
LABEL=$CLIENT-helper
PACKAGE=kolvaris-desktop-helper
build=$work/build stage=$work/stage pki=$work/pki
here=$(cd "$(dirname "$0")" && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }
need() { for t in "$@"; do command -v "$t" >/dev/null || { echo "$t not installed: skipped"; exit 77; }; done; }
libdir() { sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt"; }

phase_build() {
  need cmake ninja
  rm -rf "$work"
  mkdir -p "$work"
  "$src/scripts/make-test-pki" "$pki" --team "$TEAM" >/dev/null

  # The outer build trusts its own test root: installing it must fail and copy nothing.
  if cmake --install "$outer_build" --prefix "$work/refused" > "$work/refused.log" 2>&1; then
    fail "cmake --install accepted a development build"
  fi
  grep -q "Refusing to install a development build" "$work/refused.log" ||
    { cat "$work/refused.log"; fail "no refusal message"; }
  [ ! -e "$work/refused" ] || fail "the refused install copied files: $(find "$work/refused")"

  env -u CFLAGS -u CXXFLAGS -u LDFLAGS cmake -S "$src" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DKOLVARIS_TRUST_ANCHOR="$pki/root.pem" -DKOLVARIS_CLIENT_BUNDLE_IDENTIFIER=$CLIENT \
    -DKOLVARIS_SIGNING_TEAM_IDENTIFIER=$TEAM \
    -DKOLVARIS_BUILD_TESTS=OFF -DKOLVARIS_BUILD_BENCHMARKS=OFF > "$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; fail "configure"; }
  ! grep -q "DEVELOPMENT BUILD" "$work/configure.log" || fail "a trust anchor still gave a development build"
  cmake --build "$build" -j 2 > "$work/build.log" 2>&1 || { tail -50 "$work/build.log"; fail "build"; }
  DESTDIR="$stage" cmake --install "$build" > "$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "install"; }
  echo "built and staged in $stage"
}

expected_files() {
  local lib; lib=$(libdir)
  cat <<LIST | sort
-rwxr-xr-x usr/libexec/$LABEL
-rw-r--r-- lib/systemd/system/$LABEL.service
-rw-r--r-- lib/systemd/system/$LABEL.socket
-rw-r--r-- etc/logrotate.d/$LABEL
-rwxr-xr-x usr/bin/helperctl
-rwxr-xr-x usr/bin/kolvaris-codesign
-rw-r--r-- usr/$lib/libkolvaris-helper-client.so.1.1.0
lrwxrwxrwx usr/$lib/libkolvaris-helper-client.so.1 -> libkolvaris-helper-client.so.1.1.0
lrwxrwxrwx usr/$lib/libkolvaris-helper-client.so -> libkolvaris-helper-client.so.1
-rw-r--r-- usr/include/kolvaris/helper_client.h
-rw-r--r-- usr/$lib/cmake/KolvarisHelperClient/KolvarisHelperClientConfig.cmake
-rw-r--r-- usr/$lib/cmake/KolvarisHelperClient/KolvarisHelperClientConfigVersion.cmake
-rw-r--r-- usr/$lib/cmake/KolvarisHelperClient/KolvarisHelperClientTargets.cmake
-rw-r--r-- usr/$lib/cmake/KolvarisHelperClient/KolvarisHelperClientTargets-release.cmake
-rw-r--r-- usr/$lib/pkgconfig/kolvaris-helper-client.pc
-rw-r--r-- usr/share/doc/$PACKAGE/changelog.gz
-rw-r--r-- usr/share/doc/$PACKAGE/copyright
-rw-r--r-- usr/share/lintian/overrides/$PACKAGE
-rw-r--r-- usr/share/man/man1/helperctl.1.gz
-rw-r--r-- usr/share/man/man1/kolvaris-codesign.1.gz
-rw-r--r-- usr/share/man/man8/$LABEL.8.gz
LIST
}

list_tree() {
  (cd "$1" && find . -not -type d -printf '%M %P\n' | while read -r mode path; do
    if [ -L "$path" ]; then echo "$mode $path -> $(readlink "$path")"; else echo "$mode $path"; fi
  done | sort)
}

phase_layout() {
  need objcopy python3 nm
  diff <(expected_files) <(list_tree "$stage") || fail "staged files differ from the expected list"
  echo "staged files and modes as expected"

  python3 "$here/check_embedded_plists.py" objcopy "$stage/usr/libexec/$LABEL" $CLIENT $TEAM \
    "$outer_helper"

  "$here/check_units.sh" "$stage/lib/systemd/system" "$LABEL" "/usr/libexec/$LABEL"

  local lib; lib=$(libdir)
  local symbols
  symbols=$(nm -D --defined-only "$stage/usr/$lib/libkolvaris-helper-client.so.1.1.0" |
            awk '$2 != "A" { print $3 }' | sort | tr '\n' ' ')
  [ "$symbols" = "kolvaris_helper_free_error kolvaris_helper_reason_code kolvaris_helper_relaunch_after_exit kolvaris_helper_relaunch_after_exit_of kolvaris_helper_replace_app_atomic kolvaris_helper_replace_app_atomic_ex kolvaris_helper_update_and_relaunch kolvaris_helper_wait_for_exit_and_launch kolvaris_helper_wait_for_exit_and_launch_ex " ] ||
    fail "the library exports more than the C functions: $symbols"
  readelf -d "$stage/usr/$lib/libkolvaris-helper-client.so.1.1.0" |
    grep -q 'Library soname: \[libkolvaris-helper-client.so.1\]' || fail "soname"
  echo "library exports only the C functions, soname libkolvaris-helper-client.so.1"
}

# DIR NAME EXECUTABLE [LIBRARY]: a bundle of the client's identity around EXECUTABLE, signed,
# with LIBRARY sealed in Contents/Frameworks, where an application carries what it maps.
make_signed_bundle() {
  local bundle=$1/$2.app
  mkdir -p "$bundle/Contents/MacOS" "$bundle/Contents/Resources"
  if [ $# -ge 4 ]; then
    mkdir -p "$bundle/Contents/Frameworks"
    cp -L "$4" "$bundle/Contents/Frameworks/"
  fi
  cat > "$bundle/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key>
  <string>$CLIENT</string>
  <key>CFBundleExecutable</key>
  <string>$2</string>
  <key>CFBundleVersion</key>
  <string>1.0</string>
</dict>
</plist>
PLIST
  cp "$3" "$bundle/Contents/MacOS/$2"
  chmod 0755 "$bundle/Contents/MacOS/$2"
  echo "$2" > "$bundle/Contents/Resources/version"
  "$stage/usr/bin/kolvaris-codesign" sign --key "$pki/leaf.key" --cert "$pki/leaf.pem" \
    --chain "$pki/chain.pem" "$bundle" >/dev/null
}

phase_consumers() {
  need cc pkg-config cmake systemd-socket-activate
  local lib c; lib=$(libdir) c=$work/consumers
  rm -rf "$c"
  mkdir -p "$c"

  # Through pkg-config, as C.
  local flags
  flags=$(PKG_CONFIG_SYSROOT_DIR="$stage" PKG_CONFIG_LIBDIR="$stage/usr/$lib/pkgconfig" \
          pkg-config --cflags --libs kolvaris-helper-client)
  # The library is found inside the application's bundle, as a shipped application carries it:
  # the helper serves no client that maps code from a place others may write, such as a build
  # folder under /tmp.
  # shellcheck disable=SC2086
  cc -std=c11 -Wall -Wextra -Werror -x c "$here/consumer/consumer.c" -x none $flags \
    -Wl,-rpath,'$ORIGIN/../Frameworks' -o "$c/consumer-pkgconfig"
  # Through find_package, as a CMake project of its own.
  cmake -S "$here/consumer" -B "$c/cmake-build" -DCMAKE_PREFIX_PATH="$stage/usr" \
    -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON -DCMAKE_INSTALL_RPATH='$ORIGIN/../Frameworks' \
    -DCMAKE_C_COMPILER=cc > "$c/cmake.log" 2>&1 || { cat "$c/cmake.log"; fail "consumer configure"; }
  cmake --build "$c/cmake-build" > "$c/cmake-build.log" 2>&1 ||
    { cat "$c/cmake-build.log"; fail "consumer build"; }

  local sock=$c/run/helper.sock
  mkdir -p "$c/run" "$c/apps"
  systemd-socket-activate -l "$sock" --fdname=Primary "$stage/usr/libexec/$LABEL" \
    > "$c/helper.log" 2>&1 &
  local activator=$!
  trap 'kill '"$activator"' 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [ -S "$sock" ] && break; sleep 0.1; done

  printf '#!/bin/sh\necho launched > "$(dirname "$0")/../../../launched-$(basename "$0")"\n' > "$c/app.sh"
  for consumer in pkgconfig cmake; do
    local bin=$c/consumer-$consumer
    [ "$consumer" = cmake ] && bin=$c/cmake-build/consumer
    make_signed_bundle "$c/$consumer" Kolvaris "$bin" "$stage/usr/$lib/libkolvaris-helper-client.so.1"
    local client=$c/$consumer/Kolvaris.app/Contents/MacOS/Kolvaris
    make_signed_bundle "$c/apps" "Installed-$consumer" "$c/app.sh"
    make_signed_bundle "$c/downloads" "Download-$consumer" "$c/app.sh"

    local out
    out=$("$client" "$sock" replace "$c/downloads/Download-$consumer.app" \
          "$c/apps/Installed-$consumer.app") || fail "$consumer replace: $out"
    [ "$out" = "0 -" ] || fail "$consumer replace: $out"
    [ "$(cat "$c/apps/Installed-$consumer.app/Contents/Resources/version")" = "Download-$consumer" ] ||
      fail "$consumer: the bundle was not replaced"

    true & local gone=$!; wait $gone
    out=$("$client" "$sock" relaunch $gone "$c/apps/Installed-$consumer.app") ||
      fail "$consumer relaunch: $out"
    [ "$out" = "0 -" ] || fail "$consumer relaunch: $out"
    for _ in $(seq 100); do [ -e "$c/apps/launched-Download-$consumer" ] && break; sleep 0.1; done
    [ -e "$c/apps/launched-Download-$consumer" ] || fail "$consumer: the application was not launched"

    out=$("$client" "$sock" replace "$c/missing/New.app" "$c/apps/Installed-$consumer.app") &&
      fail "$consumer: a refusal came back as success"
    [[ "$out" == "1 not_found: "* ]] || fail "$consumer refusal: $out"

    out=$("$client" "$c/run/absent.sock" relaunch 1 /x) && fail "$consumer: connected to nothing"
    [ "$out" = "2 cannot connect to $c/run/absent.sock: No such file or directory (os error 2)" ] ||
      fail "$consumer missing socket: $out"
    if [ ! -e "/var/run/$LABEL.sock" ]; then
      out=$("$client" - relaunch 1 /x) && fail "$consumer: connected to the absent installed socket"
      [ "$out" = "2 cannot connect to /var/run/$LABEL.sock: No such file or directory (os error 2)" ] ||
        fail "$consumer installed socket: $out"
    fi
    # The same bundle without its signature is turned away without a reply.
    cp -a "$c/$consumer/Kolvaris.app" "$c/$consumer/Unsigned.app"
    rm -r "$c/$consumer/Unsigned.app/Contents/_CodeSignature"
    out=$("$c/$consumer/Unsigned.app/Contents/MacOS/Kolvaris" "$sock" relaunch 1 /x) &&
      fail "$consumer: an unsigned client was served"
    [[ "$out" == "4 the helper closed the connection without a reply"* ]] ||
      fail "$consumer unsigned: $out"
    echo "$consumer consumer: Ok, Ok, refusal, no connection, unsigned turned away"
  done
  grep -q "Successfully replaced app package" "$c/helper.log" || { cat "$c/helper.log"; fail "helper log"; }
}

phase_deb() {
  need cpack dpkg-deb lintian
  (cd "$build" && cpack -G DEB > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
  local deb
  deb=$(ls "$build"/${PACKAGE}_*.deb)
  dpkg-deb -I "$deb"
  echo "--- contents"
  dpkg-deb -c "$deb" | tee "$work/deb-contents"
  # The package holds exactly the staged files.
  diff <(expected_files | sed 's/^[^ ]* //; s/ -> .*//' | sort) \
       <(awk '$1 !~ /^d/ { print $6 }' "$work/deb-contents" | sed 's|^\./||' | sort) ||
    fail "package contents differ from the staged install"
  dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no shared-library dependencies"
  echo "--- lintian"
  lintian --fail-on error,warning --display-info "$deb" || fail "lintian"
  echo "lintian: no error, no warning"

  if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
    echo "not root: install and purge not tried"; return 0
  fi
  if dpkg-query -W -f='${Status}' $PACKAGE 2>/dev/null | grep -q installed; then
    echo "$PACKAGE is installed on this machine: install and purge not tried"; return 0
  fi
  local trail=(/etc /lib/systemd /usr /var/lib/systemd /var/log /run)
  find "${trail[@]}" -name "*$LABEL*" 2>/dev/null | sort > "$work/before"
  dpkg -i "$deb" > "$work/dpkg-i.log" 2>&1 || { cat "$work/dpkg-i.log"; dpkg -P $PACKAGE || true; fail "dpkg -i"; }
  [ -x "/usr/libexec/$LABEL" ] || fail "the helper was not installed"
  [ -L "/etc/systemd/system/sockets.target.wants/$LABEL.socket" ] || fail "the socket was not enabled"
  echo "written by the helper" > "/var/log/$LABEL.log"
  dpkg -r $PACKAGE > "$work/dpkg-r.log" 2>&1 || { cat "$work/dpkg-r.log"; fail "dpkg -r"; }
  [ ! -e "/usr/libexec/$LABEL" ] || fail "the helper survived removal"
  # Masked until purge, the Debian way: a reinstall restores the administrator's choice.
  [ "$(readlink "/etc/systemd/system/$LABEL.socket")" = /dev/null ] || fail "the socket was not masked on removal"
  [ -f "/var/log/$LABEL.log" ] || fail "removal deleted the log"
  dpkg -P $PACKAGE > "$work/dpkg-p.log" 2>&1 || { cat "$work/dpkg-p.log"; fail "dpkg -P"; }
  find "${trail[@]}" -name "*$LABEL*" 2>/dev/null | sort > "$work/after"
  diff "$work/before" "$work/after" || fail "purge left files behind"
  dpkg-query -W $PACKAGE >/dev/null 2>&1 && fail "the package is still known to dpkg"
  echo "installed, removed (log kept), purged: nothing left"
}

case "$phase" in
  build) phase_build ;;
  layout) phase_layout ;;
  consumers) phase_consumers ;;
  deb) phase_deb ;;
  *) echo "unknown phase $phase" >&2; exit 2 ;;
esac
