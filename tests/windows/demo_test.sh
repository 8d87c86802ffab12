#!/usr/bin/env bash
# vesk.exe demo under Wine, on the DLL, against the Linux build's emulator serving its
# sample device on loopback: every step works, the boxes and a box's documents are
# shown and one is downloaded. Without the emulator's ports the demo says it needs them.
set -uo pipefail
build=$1
run=$build/wine-run
vesk=$build/vesk.exe
[ -x "$run" ] && [ -f "$vesk" ] || { echo "skipped: no vesk.exe in $build"; exit 77; }
linux=$(sed -n 's/^VESK_LINUX_BUILD_DIR:PATH=//p' "$build/CMakeCache.txt")
mfpsim=$linux/mfpsim
[ -x "$mfpsim" ] || { echo "skipped: no Linux emulator at $mfpsim (scripts/windows LINUX_BUILD)"; exit 77; }

work=$(mktemp -d)
sim=
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "--- stdout"; cat "$work/out"
  echo "--- stderr"; cat "$work/err"
  exit 1
}

"$run" "$vesk" demo >"$work/out" 2>"$work/err"
rc=$?
[ "$rc" -eq 2 ] || fail "the demo without an emulator exited $rc, expected 2"
grep -q -- '--port N --tls-port M' "$work/err" || fail "the demo did not say it needs the ports"

"$mfpsim" --root "$work/device" --host 127.0.0.1 --port-file "$work/ports" >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do grep -q '^tls-port=' "$work/ports" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^port=//p' "$work/ports" 2>/dev/null)
tls=$(sed -n 's/^tls-port=//p' "$work/ports" 2>/dev/null)
[ -n "$port" ] && [ -n "$tls" ] || { cat "$work/sim.log"; echo "FAIL: the emulator did not start"; exit 1; }

timeout 120 "$run" "$vesk" demo --port "$port" --tls-port "$tls" >"$work/out" 2>"$work/err"
rc=$?
tr -d '\r' <"$work/out" >"$work/out.txt" && mv "$work/out.txt" "$work/out"
cat "$work/out"
[ "$rc" -eq 0 ] || fail "vesk.exe demo exited $rc"
grep -q "every step worked" "$work/out" || fail "no success line"
[ "$(grep -cE '^\[ ?[0-9]+/13\] .* ok ' "$work/out")" -eq 13 ] || fail "not thirteen steps reported ok"
grep -qE "TLS used +yes" "$work/out" || fail "the demo did not use TLS"
grep -qE "^ +1 +Shared Scans +- +shared +no$" "$work/out" || fail "the box list not shown"
grep -qE "^ +[0-9]+ +Invoice 2024-001\.jpg +2 +JPEG " "$work/out" || fail "the documents not shown"
grep -qE 'saved as .*\\downloads\\Invoice 2024-001\.jpg$' "$work/out" || fail "no document downloaded"
# Nothing of its temporary profile stays in the registry.
profile=$(grep -oE 'vesk-demo-[A-Za-z0-9]+' "$work/out" | head -n 1)
[ -n "$profile" ] || fail "the demo did not say where its profile was"
keys=$("$run" reg query 'HKCU\Software\VeskHives' 2>/dev/null)
! grep -qF "$profile" <<<"$keys" || fail "the demo left its registry key behind"
echo "PASS"
