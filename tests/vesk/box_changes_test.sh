#!/usr/bin/env bash
# vesk rm, box rename, box set and bind against the device emulator run as its own
# program: names resolved before anything changes, the exit statuses of refusals, and a
# bound download that fails leaving neither a file nor the user's old one changed.
# Usage: box_changes_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: box_changes_test.sh BUILD_DIR}" && pwd)
VESK=$BUILD/vesk
MFPSIM=$BUILD/mfpsim
for p in "$VESK" "$MFPSIM"; do
  [ -x "$p" ] || { echo "missing $p (build the vesk and mfpsim targets)"; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-box-changes-test.XXXXXX")
SIM_PID=
cleanup() {
  [ -z "$SIM_PID" ] || { kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; }
  rm -rf "$WORK"
}
trap cleanup EXIT
export VESK_PROFILE=$WORK/profile
unset VESK_ACCOUNT_PASSWORD VESK_BOX_PASSWORD VESK_NEW_BOX_PASSWORD
export VESK_PASSWORD=alice
DEV=$WORK/device
OUT=$WORK/out
ERR=$WORK/err
. "$(dirname "$0")/lib.sh"
json() {
  python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if ($1) else 1)" "$OUT" ||
    fail "step $STEP: JSON does not satisfy: $1"
}

"$MFPSIM" --init "$DEV" >/dev/null 2>&1 || fail "mfpsim --init failed"
"$MFPSIM" --root "$DEV" --port 0 --tls-port 0 --port-file "$WORK/ports" >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
PORT=$(sed -n 's/^port=//p' "$WORK/ports")
[ -n "$PORT" ] || fail "mfpsim did not start: $(cat "$WORK/sim.log")"
run 0 device add lab 127.0.0.1 --port "$PORT"

# ---- rm: every name found first, a name given twice removed once; the RX password ---------
run 2 rm lab 1 Photo --user alice
has "$ERR" "--yes"
run 1 rm lab 1 Photo 987654 --user alice --yes
run 0 rm lab 1 Photo 2 Photo.jpg --user alice --yes
has "$OUT" 'removed document 11 "Photo.jpg" from box 1 "Shared Scans" on lab'
[ "$(grep -c removed "$OUT")" -eq 2 ] || fail "a document named twice is removed once"
run 0 docs lab 1 --user alice --json
json "not {2, 11} & {x['id'] for x in d['documents']} and len(d['documents']) == 12"
VESK_BOX_PASSWORD=0000 run 0 rm lab 0 30 --user alice --yes

# ---- box rename and box set ---------------------------------------------------------------
VESK_BOX_PASSWORD=1234 run 4 box rename lab 3 Alice --user alice
has "$ERR" "another box is named Alice"
VESK_BOX_PASSWORD=1234 run 0 box rename lab Secure Vault --user alice
run 2 box set lab Vault --user alice
printf '5678\n' >"$WORK/new"
VESK_BOX_PASSWORD=1234 run 0 box set lab Vault --name Safe --new-box-password-file "$WORK/new" --type 1 --owner alice --user alice --json
json "d['name'] == 'Safe' and d['protected'] and d['owner'] == 'alice'"
VESK_BOX_PASSWORD=1234 run 3 docs lab Safe --user alice

# ---- bind: whole or nothing -----------------------------------------------------------------
run 2 bind lab 1 1 --format bmp -o "$WORK/b.pdf" --user alice
run 0 bind lab 1 1 12 --format tiff -o "$WORK/b.tif" --user alice --json
json "d['documents'] == [1, 12] and d['bytes'] > 0"
cp "$WORK/b.tif" "$WORK/kept"
run 6 bind lab 1 1 -o "$WORK/b.tif" --user alice
has "$ERR" "--overwrite"
printf 'error.DocStream = 8090\n' >"$DEV/faults.ini"
run 1 bind lab 1 1 12 -o "$WORK/b.tif" --overwrite --user alice
rm "$DEV/faults.ini"
cmp -s "$WORK/b.tif" "$WORK/kept" || fail "a failed bind changed the file it was to replace"
[ -z "$(find "$VESK_PROFILE" -path '*QBOXTRANS*' -type f)" ] || fail "transfer files left behind"
run 0 bind lab 1 1 -o "$WORK/b.tif" --overwrite --user alice
[ "$(head -c 4 "$WORK/b.tif")" = "%PDF" ] || fail "--overwrite did not replace the file"
echo "PASS"
