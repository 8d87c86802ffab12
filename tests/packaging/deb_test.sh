#!/usr/bin/env bash
# The Debian package: made by CPack from the build, it names the runtime packages of
# what it links, and unpacked into an empty root its programs and library find every
# library they need, vesk prints its version and the manuals read with man.
# Usage: deb_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: deb_test.sh BUILD_DIR}" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-deb-test.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
fail() {
  echo "FAIL: $*"
  for f in "$WORK"/*.log; do [ -f "$f" ] && { echo "--- $f"; tail -40 "$f"; }; done
  exit 1
}

timeout 240 cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$WORK/pkg" >"$WORK/cpack.log" 2>&1 ||
  fail "cpack failed"
DEB=$(ls "$WORK"/pkg/vesk_*.deb 2>/dev/null) && [ -n "$DEB" ] || fail "no vesk_*.deb made"
VERSION=$(dpkg-deb -f "$DEB" Version)
dpkg-deb -f "$DEB" Depends >"$WORK/depends.log"
for p in libc6 'libstdc++6' libssl3 libsqlite3-0 libjpeg62-turbo libtiff6 libpugixml1v5 libsnmp40; do
  grep -q "\b$p\b" "$WORK/depends.log" || fail "Depends lacks $p"
done

# apt accepts it: every dependency is a package it knows (a simulation, nothing changes).
timeout 120 apt-get -s install "$DEB" >"$WORK/apt.log" 2>&1 && grep -q "^Inst vesk " "$WORK/apt.log" ||
  fail "apt would not install the package"

dpkg -x "$DEB" "$WORK/root" || fail "dpkg -x failed"
R=$WORK/root
LIB=$(find "$R" -name 'libOVVESKMiddleLayer.so.*.*' -type f) && [ -n "$LIB" ] || fail "no library in the package"
LIBDIR=$(dirname "$LIB")
for f in usr/bin/vesk usr/bin/mfpsim usr/include/vesk/root/vesk_root.h usr/share/vesk/SrchMIB.conf \
         usr/share/bash-completion/completions/vesk; do
  [ -f "$R/$f" ] || fail "$f not in the package"
done
[ -f "$LIBDIR/pkgconfig/vesk.pc" ] && [ -f "$LIBDIR/cmake/vesk/vesk-config.cmake" ] ||
  fail "no pkg-config or CMake package files"
grep -qx "prefix=/usr" "$LIBDIR/pkgconfig/vesk.pc" || fail "vesk.pc does not name /usr"

for f in "$R/usr/bin/vesk" "$R/usr/bin/mfpsim" "$LIB"; do
  LD_LIBRARY_PATH=$LIBDIR ldd -r "$f" >"$WORK/ldd.log" 2>&1 || fail "ldd $f failed"
  ! grep -q "not found\|undefined symbol" "$WORK/ldd.log" || fail "$(basename "$f") misses a library"
done
LD_LIBRARY_PATH=$LIBDIR ldd "$R/usr/bin/vesk" | grep -q "libOVVESKMiddleLayer.so.0 => $LIBDIR/" ||
  fail "vesk does not take the packaged library"

[ "$(LD_LIBRARY_PATH=$LIBDIR "$R/usr/bin/vesk" --version)" = "vesk $VERSION" ] ||
  fail "vesk --version is not 'vesk $VERSION'"
[ "$(LD_LIBRARY_PATH=$LIBDIR "$R/usr/bin/mfpsim" --version)" = "mfpsim $VERSION" ] ||
  fail "mfpsim --version is not 'mfpsim $VERSION'"

for page in vesk mfpsim; do
  file=$(ls "$R/usr/share/man/man1/$page.1"* 2>/dev/null) && [ -n "$file" ] || fail "no $page(1)"
  MANWIDTH=100 timeout 30 man -P cat -l "$file" >"$WORK/man.log" 2>&1 || fail "man -l $page.1 failed"
  grep -q "^NAME" "$WORK/man.log" && grep -q "$page - " "$WORK/man.log" || fail "$page(1) has no NAME"
  grep -q "$VERSION" "$WORK/man.log" || fail "$page(1) does not carry the version"
done
# The overview's commands are in the manual.
MANWIDTH=100 man -P cat -l "$R/usr/share/man/man1/vesk.1"* | grep -q "device list" ||
  fail "vesk(1) lacks the command overview"
echo "PASS"
