#!/usr/bin/env bash
# The README's C++ example compiles against the built library and walks the road
# against the emulator: register, connect, log in, restrictions, disconnect.
# Usage: example_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: example_test.sh BUILD_DIR}" && pwd)
SRC=$(cd "$(dirname "$0")/../.." && pwd)
MFPSIM=$BUILD/mfpsim
[ -x "$MFPSIM" ] || { echo "missing $MFPSIM"; exit 1; }
LIB=$(ls "$BUILD"/libOVVESKMiddleLayer.so 2>/dev/null) || { echo "missing the library"; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-example-test.XXXXXX")
SIM_PID=
cleanup() {
  [ -n "$SIM_PID" ] && { kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; }
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in "$WORK"/*.log "$WORK"/out; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done
  exit 1
}

# Built the way the library was: a sanitizer build needs the same flags.
FLAGS=()
if grep -q '^VESK_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt"; then
  FLAGS=(-fsanitize=address,undefined -fno-omit-frame-pointer)
fi
timeout 120 c++ -std=c++20 -Wall -Wextra -Werror "${FLAGS[@]}" -I"$SRC" "$SRC/examples/road.cpp" \
  -L"$BUILD" -lOVVESKMiddleLayer -Wl,-rpath,"$BUILD" -o "$WORK/road" >"$WORK/compile.log" 2>&1 ||
  fail "the example does not compile"

"$MFPSIM" --root "$WORK/device" --port 0 --tls-port 0 --port-file "$WORK/ports" \
  >"$WORK/mfpsim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
PORT=$(sed -n 's/^port=//p' "$WORK/ports")
TLS_PORT=$(sed -n 's/^tls-port=//p' "$WORK/ports")
[ -n "$PORT" ] || fail "mfpsim did not start"

# The library's state goes to this test's folder.
run() {
  env HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" ALLUSERSPROFILE="$WORK/all" \
    VESK_LOCK_DIR="$WORK/lock" VESK_PASSWORD="$1" \
    timeout 30 "$WORK/road" 127.0.0.1 "$PORT" "$TLS_PORT" "$2" >"$WORK/out" 2>&1
}
run bob bob || fail "the road failed"
grep -q "connect: -1051, protocol 4.11, plain TCP" "$WORK/out" || fail "connect not as expected"
grep -q "print allowed, colour forbidden" "$WORK/out" || fail "bob's restrictions not read"
run wrong alice && fail "a wrong password got through"
grep -q "login: 0" "$WORK/out" || fail "a refused login not reported"
echo "PASS"
