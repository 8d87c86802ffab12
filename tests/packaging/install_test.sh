#!/usr/bin/env bash
# An install into a temporary prefix is enough for an application: the examples build
# outside the source tree with find_package and with pkg-config, the results walk the
# road against the installed emulator, and the installed vesk finds its filter file,
# prints its version and completes its commands and device names.
# Usage: install_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: install_test.sh BUILD_DIR}" && pwd)
SRC=$(cd "$(dirname "$0")/../.." && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-install-test.XXXXXX")
PREFIX=$WORK/prefix
SIM_PID=
cleanup() {
  [ -n "$SIM_PID" ] && { kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; }
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in "$WORK"/*.log "$WORK"/out; do [ -f "$f" ] && { echo "--- $f"; tail -40 "$f"; }; done
  exit 1
}

timeout 120 cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" 2>&1 ||
  fail "cmake --install failed"
LIB=$(find "$PREFIX" -name libOVVESKMiddleLayer.so) && [ -n "$LIB" ] || fail "no library installed"
LIBDIR=$(dirname "$LIB")
VERSION=$(sed -n 's/^Version: //p' "$LIBDIR/pkgconfig/vesk.pc")
[ -n "$VERSION" ] || fail "vesk.pc has no version"
SONAME=$(objdump -p "$LIB" | awk '$1 == "SONAME" {print $2}')
[ "$SONAME" = "libOVVESKMiddleLayer.so.${VERSION%%.*}" ] || fail "SONAME is '$SONAME'"
[ -f "$LIBDIR/libOVVESKMiddleLayer.so.$VERSION" ] || fail "no libOVVESKMiddleLayer.so.$VERSION"
for f in bin/vesk bin/mfpsim share/vesk/SrchMIB.conf share/bash-completion/completions/vesk \
         share/man/man1/vesk.1 share/man/man1/mfpsim.1; do
  [ -f "$PREFIX/$f" ] || fail "$f not installed"
done

# The installed headers stand alone: each one's includes are installed, private ones
# are not, and together they compile against the prefix only.
INC=$PREFIX/include/vesk
[ -f "$INC/root/vesk_root.h" ] || fail "headers not under include/vesk"
for h in tcpcore/client_private.h tcpcore/wire.h platform/registry.h tools/vesk/cli.h; do
  [ ! -e "$INC/$h" ] || fail "private header $h installed"
done
(cd "$INC" && find . -name '*.h' | sort | sed 's|^\./|#include "|; s|$|"|') >"$WORK/all.cpp"
while read -r h; do
  for dep in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$INC/$h"); do
    [ -f "$INC/$dep" ] || fail "$h includes $dep, which is not installed"
  done
done < <(cd "$INC" && find . -name '*.h' | sed 's|^\./||')

# Built the way the library was: a sanitizer build needs the same flags.
FLAGS=()
if grep -q '^VESK_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt"; then
  FLAGS=(-fsanitize=address,undefined -fno-omit-frame-pointer)
fi
timeout 120 c++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$INC" "$WORK/all.cpp" \
  >"$WORK/headers.log" 2>&1 || fail "the installed headers do not compile alone"

# The examples, copied out of the source tree, through find_package ...
cp -r "$SRC/examples" "$WORK/examples"
timeout 120 cmake -S "$WORK/examples" -B "$WORK/cmake-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_CXX_FLAGS="${FLAGS[*]}" >"$WORK/cmake.log" 2>&1 &&
  timeout 120 cmake --build "$WORK/cmake-build" >>"$WORK/cmake.log" 2>&1 ||
  fail "the examples do not build with find_package"
# ... and through pkg-config.
PC() { PKG_CONFIG_PATH="$LIBDIR/pkgconfig" pkg-config "$@"; }
[ "$(PC --variable=libdir vesk)" = "$LIBDIR" ] || fail "vesk.pc names another prefix"
# shellcheck disable=SC2046
timeout 120 c++ -std=c++20 -Wall -Wextra -Werror "${FLAGS[@]}" "$WORK/examples/road.cpp" \
  $(PC --cflags --libs vesk) -Wl,-rpath,"$(PC --variable=libdir vesk)" -o "$WORK/road-pc" \
  >"$WORK/pkgconfig.log" 2>&1 || fail "the example does not build with pkg-config"
for exe in "$WORK/cmake-build/road" "$WORK/road-pc"; do
  ldd "$exe" | grep -q "libOVVESKMiddleLayer.so.0 => $LIBDIR/" || fail "$exe links another library"
done

"$PREFIX/bin/mfpsim" --root "$WORK/device" --port 0 --tls-port 0 --port-file "$WORK/ports" \
  >"$WORK/mfpsim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
PORT=$(sed -n 's/^port=//p' "$WORK/ports")
TLS_PORT=$(sed -n 's/^tls-port=//p' "$WORK/ports")
[ -n "$PORT" ] || fail "the installed mfpsim did not start"

# The library's state goes to this test's folder.
isolated() {
  env HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" ALLUSERSPROFILE="$WORK/all" \
    VESK_LOCK_DIR="$WORK/lock" "$@"
}
for exe in "$WORK/cmake-build/road" "$WORK/road-pc"; do
  isolated VESK_PASSWORD=bob timeout 30 "$exe" 127.0.0.1 "$PORT" "$TLS_PORT" bob >"$WORK/out" 2>&1 ||
    fail "$exe: the road failed"
  grep -q "print allowed, colour forbidden" "$WORK/out" || fail "$exe: bob's restrictions not read"
  isolated VESK_PASSWORD=wrong timeout 30 "$exe" 127.0.0.1 "$PORT" "$TLS_PORT" alice >"$WORK/out" 2>&1 &&
    fail "$exe: a wrong password got through"
done

VESK=$PREFIX/bin/vesk
[ "$("$VESK" --version)" = "vesk $VERSION" ] || fail "vesk --version is not 'vesk $VERSION'"
[ "$("$PREFIX/bin/mfpsim" --version)" = "mfpsim $VERSION" ] || fail "mfpsim --version"
# The installed vesk records the installed filter folder as the application folder.
isolated timeout 60 "$VESK" demo >"$WORK/out" 2>&1 || fail "the installed vesk demo failed"
grep -qF "application folder $PREFIX/share/vesk/" "$WORK/out" ||
  fail "the installed vesk does not use the installed filter file"

# Completion: command words and device names come from the installed vesk itself.
P=$WORK/profile
"$VESK" --profile "$P" device add "front office" 127.0.0.1 >"$WORK/out" 2>&1 ||
  fail "cannot register a device"
complete_words() {
  PATH=$PREFIX/bin:$PATH bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _vesk; ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}"' _ \
    "$PREFIX/share/bash-completion/completions/vesk" "$@"
}
expect_words() {
  local want=$1; shift
  local got
  got=$(complete_words "$@" | sort | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "completing '$*': got '$got', expected '$want'"
}
expect_words "login " vesk --profile "$P" logi
expect_words "add list rename rm set trust " vesk --profile "$P" device ""
expect_words 'front\ office ' vesk --profile "$P" device rm ""
expect_words 'front\ office ' vesk --profile "$P" info f
expect_words "" vesk --profile "$P" device add ""
echo "PASS"
