#!/usr/bin/env bash
# vesk demo: every step of the road works against the built-in emulator, the exit
# status says so, and the run leaves nothing behind: not in the temporary folder and
# not in the user's own state. Usage: demo_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: demo_test.sh BUILD_DIR}" && pwd)
VESK=$BUILD/vesk
[ -x "$VESK" ] || { echo "missing $VESK"; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-demo-test.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/tmp" "$WORK/home"

# Stand-ins for the user's own state; the demo must not write to any of them.
set +e
env -u VESK_PROFILE -u VESK_PASSWORD -u VESK_HKLM_DIR \
  HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" XDG_DATA_HOME="$WORK/home/.local/share" \
  ALLUSERSPROFILE="$WORK/home/allusers" VESK_LOCK_DIR="$WORK/home/lock" XDG_RUNTIME_DIR= \
  TMPDIR="$WORK/tmp" \
  timeout 60 "$VESK" demo >"$WORK/out" 2>"$WORK/err"
rc=$?


fail() {
  echo "FAIL: $*"
  echo "--- stdout"; cat "$WORK/out"
  echo "--- stderr"; cat "$WORK/err"
  exit 1
}
[ "$rc" -eq 0 ] || fail "vesk demo exited $rc"
grep -q "every step worked" "$WORK/out" || fail "no success line"
[ "$(grep -cE '^\[ ?[0-9]+/13\] .* ok ' "$WORK/out")" -eq 13 ] || fail "not thirteen steps reported ok"
grep -qE "TLS used +yes" "$WORK/out" || fail "the demo did not use TLS"
grep -qE "colour +forbidden" "$WORK/out" || fail "bob's restrictions not shown"
grep -qE "^ +1 +Shared Scans +- +shared +no$" "$WORK/out" || fail "the box list not shown"
grep -qE "^ +[0-9]+ +Invoice 2024-001\.jpg +2 +JPEG " "$WORK/out" || fail "the documents not shown"
grep -qE "saved as .*/downloads/Invoice 2024-001\.jpg$" "$WORK/out" || fail "no document downloaded"
[ -z "$(ls -A "$WORK/home")" ] || fail "the demo wrote to the user's state: $(find "$WORK/home")"
[ -z "$(ls -A "$WORK/tmp")" ] || fail "the demo left files behind: $(find "$WORK/tmp")"

# A failing step makes the demo fail: a user the sample device does not know.
set +e
TMPDIR="$WORK/tmp" HOME="$WORK/home" timeout 60 "$VESK" demo --user nobody >"$WORK/out" 2>"$WORK/err"
rc=$?

[ "$rc" -eq 2 ] || fail "an unknown demo user exited $rc, expected 2"

# An emulator that already runs: the demo uses it and leaves it running.
TMPDIR="$WORK/tmp" HOME="$WORK/home" timeout 60 "$VESK" demo --port 1 >"$WORK/out" 2>"$WORK/err"
rc=$?
[ "$rc" -eq 2 ] || fail "--port without --tls-port exited $rc, expected 2"
"$BUILD/mfpsim" --root "$WORK/device" --host 127.0.0.1 --port-file "$WORK/ports" >/dev/null 2>&1 &
SIM=$!
trap 'kill $SIM 2>/dev/null; wait $SIM 2>/dev/null; rm -rf "$WORK"' EXIT
for _ in $(seq 100); do grep -q '^tls-port=' "$WORK/ports" 2>/dev/null && break; sleep 0.1; done
PORT=$(sed -n 's/^port=//p' "$WORK/ports")
TLS=$(sed -n 's/^tls-port=//p' "$WORK/ports")
[ -n "$PORT" ] && [ -n "$TLS" ] || fail "the emulator did not start"
TMPDIR="$WORK/tmp" HOME="$WORK/home" timeout 60 "$VESK" demo --port "$PORT" --tls-port "$TLS" \
  >"$WORK/out" 2>"$WORK/err"
rc=$?
[ "$rc" -eq 0 ] || fail "vesk demo against a running emulator exited $rc"
grep -qE "^\[ ?1/13\] use the running emulator +ok" "$WORK/out" || fail "the running emulator not used"
grep -qE "^ +[0-9]+ +Invoice 2024-001\.jpg +2 +JPEG " "$WORK/out" || fail "its documents not shown"
kill -0 "$SIM" 2>/dev/null || fail "the demo stopped an emulator it did not start"
echo "PASS"
