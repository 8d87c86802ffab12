#!/usr/bin/env bash
# vesk's box and document commands against the device emulator run as its own program:
# the box list as a table and as JSON, creating, re-keying and removing boxes with
# passwords from the non-interactive sources, a box's documents, renaming one, and the
# exit status of every refusal. Usage: boxes_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: boxes_test.sh BUILD_DIR}" && pwd)
VESK=$BUILD/vesk
MFPSIM=$BUILD/mfpsim
for p in "$VESK" "$MFPSIM"; do
  [ -x "$p" ] || { echo "missing $p (build the vesk and mfpsim targets)"; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-boxes-test.XXXXXX")
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
# has FILE PATTERN: an extended regular expression here.
has() { grep -qE -- "$2" "$1" || fail "step $STEP: /$2/ not in $(basename "$1")"; }
# json EXPR: a Python expression over the JSON the last run printed (d) holds.
json() {
  python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if ($1) else 1)" "$OUT" ||
    fail "step $STEP: JSON does not satisfy: $1"
}

# ---- the emulator's sample device, with room for one more box -----------------------
"$MFPSIM" --init "$DEV" >/dev/null 2>&1 || fail "mfpsim --init failed"
printf 'limits.max_box_number = 6\n' >>"$DEV/device.ini"
"$MFPSIM" --root "$DEV" --port 0 --tls-port 0 --port-file "$WORK/ports" >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
PORT=$(sed -n 's/^port=//p' "$WORK/ports")
[ -n "$PORT" ] || fail "mfpsim did not start: $(cat "$WORK/sim.log")"
run 0 device add lab 127.0.0.1 --port "$PORT"

# ---- the box list ------------------------------------------------------------------------
run 1 boxes lab
has "$ERR" "needs a user login"
run 0 boxes lab --user alice
has "$OUT" "^NUMBER +NAME +OWNER +TYPE +PROTECTED$"
has "$OUT" "^0 +Memory RX User Box +Public +memory-rx +yes$"
has "$OUT" "^3 +Secure +- +shared +yes$"
has "$OUT" "^1001 +Filing 1001 +- +filing +no$"
run 0 boxes lab --user alice --json
json "[b['number'] for b in d['boxes']] == [0, 1, 2, 3, 4, 5, 1001]"
json "d['boxes'][2]['owner'] == 'alice' and d['boxes'][4]['type_name'] == 'account'"
json "[b['protected'] for b in d['boxes']] == [True, False, False, True, False, True, False]"
VESK_PASSWORD=admin run 0 boxes lab --boxadmin --json
json "not any(b['protected'] for b in d['boxes'])"

# ---- careless names and secrets on the command line: exit 2, nothing sent ---------------
LONG=$(printf 'b%.0s' $(seq 61))
for name in "" "  " "$(printf 'a\tb')" "$(printf 'a\033[2Jb')" 42 -x "$LONG" "$(printf 'a\xffb')"; do
  run 2 box create lab "$name" --user alice
done
run 2 box rm lab 3 --user alice --box-password 1234
run 2 box create lab X --user alice --box-password-file /dev/null
run 2 box rm lab 2 --user alice
has "$ERR" "--yes"
run 0 boxes lab --user alice --json
json "len(d['boxes']) == 7"

# ---- create: one box fits, then the limit; names in use and refusals ---------------------
VESK_BOX_PASSWORD=pw1 run 0 box create lab Projects --user alice --owner alice --protect
has "$OUT" '^created box 6 "Projects" on lab with a password$'
run 0 boxes lab --user alice
has "$OUT" "^6 +Projects +alice +user +yes$"
run 5 box create lab Overflow --user alice
has "$ERR" "no room for another box"
run 4 box create lab Secure --user alice
has "$ERR" "already has box 3"
printf 'error.CreateBox = 8004\n' >"$DEV/faults.ini"
run 4 box create lab Other --user alice
has "$ERR" "refused to create the box.*8004"
rm "$DEV/faults.ini"

# ---- documents ------------------------------------------------------------------------------
run 0 docs lab "shared scans" --user alice
has "$OUT" "^ID +NAME +PAGES +TYPE +SIZE \(PIXELS\) +COLOUR +DATE$"
has "$OUT" "^[0-9]+ +Invoice 2024-001\.jpg +2 +JPEG +[0-9]+×[0-9]+ +colour +2024/03/0[0-9] "
has "$OUT" " Sealed\.pdf +1 +PDF, encrypted "
run 0 docs lab 1 --user alice --json
json "len(d['documents']) == 14 and d['box']['name'] == 'Shared Scans'"
json "[x for x in d['documents'] if x['name'] == 'Contract'][0]['file_name'] == 'Contract.tif'"
json "all(x['width'] > 0 and x['height'] > 0 and x['pages'] > 0 for x in d['documents'])"
run 2 docs lab 6 --user alice
has "$ERR" "VESK_BOX_PASSWORD"
VESK_BOX_PASSWORD=wrong run 3 docs lab Projects --user alice
VESK_BOX_PASSWORD=pw1 run 0 docs lab Projects --user alice --json
json "d['documents'] == []"
printf '1234\n' >"$WORK/secure.pw"
run 0 docs lab 3 --user alice --box-password-file "$WORK/secure.pw"
has "$OUT" "^[0-9]+ +Payroll\.xlsx +1 +Excel "
run 1 docs lab 99 --user alice
has "$ERR" "no box number 99"

# ---- rename: by name (with or without extension), by id; ambiguous names refused ------------
run 0 doc rename lab 1 Contract.tif Memo --user alice
run 1 doc rename lab 1 memo Notes --user alice
has "$ERR" "2 documents of the box are named memo \(ids [0-9]+, [0-9]+\); give the id"
run 0 docs lab 1 --user alice --json
MEMO=$(python3 -c "import json; print([x['id'] for x in json.load(open('$OUT'))['documents'] if x['file_name'] == 'Memo.tif'][0])")
run 0 doc rename lab 1 "$MEMO" Agreement.TIF --user alice
has "$ERR" "extension"
run 2 doc rename lab 1 Memo "$(printf 'n%.0s' $(seq 91))" --user alice
run 1 doc rename lab 1 Nothing Else --user alice
run 0 docs lab 1 --user alice --json
json "sorted(x['file_name'] for x in d['documents'] if x['name'] in ('Memo', 'Agreement')) == ['Agreement.tif', 'Memo.pdf']"

# ---- box passwords ---------------------------------------------------------------------------
VESK_BOX_PASSWORD=nope VESK_NEW_BOX_PASSWORD=pw2 run 3 box passwd lab Projects --user alice
has "$ERR" "refused the present password"
VESK_BOX_PASSWORD=pw1 run 2 box passwd lab Projects --user alice
printf 'pw2\n' >"$WORK/new.pw"
VESK_BOX_PASSWORD=pw1 run 0 box passwd lab Projects --user alice --new-box-password-file "$WORK/new.pw"
VESK_BOX_PASSWORD=pw1 run 3 docs lab Projects --user alice
printf 'error.ChangeBox = 8195\n' >"$DEV/faults.ini"
VESK_BOX_PASSWORD=pw2 run 4 box passwd lab Projects --user alice --clear
rm "$DEV/faults.ini"
VESK_BOX_PASSWORD=pw2 run 0 box passwd lab Projects --user alice --clear
run 0 docs lab Projects --user alice

# ---- removal -----------------------------------------------------------------------------------
VESK_BOX_PASSWORD=bob run 4 box rm lab 5 --user alice --yes
VESK_BOX_PASSWORD=4321 run 3 box rm lab Secure --user alice --yes
run 0 box rm lab Projects --user alice --yes
has "$OUT" '^removed box 6 "Projects" from lab$'
run 0 boxes lab --user alice --json
json "6 not in [b['number'] for b in d['boxes']]"

echo "PASS: $STEP vesk runs"
