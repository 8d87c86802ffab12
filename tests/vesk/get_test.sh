#!/usr/bin/env bash
# vesk get, cp and mv against the device emulator run as its own program: downloads
# byte for byte as the device serves them, every page of a JPEG document, progress
# lines, refusals and their exit status, Ctrl-C in the middle of a slow large download
# (no final file, the earlier file intact), and copies and moves to a box and a folder.
# Usage: get_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: get_test.sh BUILD_DIR}" && pwd)
VESK=$BUILD/vesk
MFPSIM=$BUILD/mfpsim
for p in "$VESK" "$MFPSIM"; do
  [ -x "$p" ] || { echo "missing $p (build the vesk and mfpsim targets)"; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-get-test.XXXXXX")
SIM_PID=
GET_PID=
cleanup() {
  for p in $GET_PID $SIM_PID; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
export VESK_PROFILE=$WORK/profile
unset VESK_ACCOUNT_PASSWORD VESK_BOX_PASSWORD
export VESK_PASSWORD=alice
DEV=$WORK/device
DOCS=$DEV/boxes/1/docs
OUT=$WORK/out
ERR=$WORK/err
. "$(dirname "$0")/lib.sh"
VESK_ARGS=()
more_logs() { echo "--- mfpsim log"; tail -20 "$WORK/sim.log"; }
same() { cmp -s "$1" "$2" || fail "step $STEP: $2 differs from $1"; }
# listed BOX: the file names the box lists, from vesk docs --json.
listed() {
  run 0 docs lab "$1" --user alice --json
  python3 -c "import json,sys; print(' '.join(d['file_name'] for d in json.load(open(sys.argv[1]))['documents']))" "$OUT"
}

# ---- the sample device, and a large generated document in box 1 ----------------------
"$MFPSIM" --init "$DEV" >/dev/null 2>&1 || fail "mfpsim --init failed"
BIG=$((24 * 1024 * 1024))
mkdir "$DOCS/900"
sed -e 's/^id = .*/id = 900/' -e 's/^name = .*/name = Big/' -e 's/^pages = .*/pages = 1/' \
  "$DOCS/3/doc.ini" >"$DOCS/900/doc.ini"
echo "synthetic_size = $BIG" >>"$DOCS/900/doc.ini"
"$MFPSIM" --root "$DEV" --port 0 --tls-port 0 --port-file "$WORK/ports" >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
PORT=$(sed -n 's/^port=//p' "$WORK/ports")
[ -n "$PORT" ] || fail "mfpsim did not start"
run 0 device add lab 127.0.0.1 --port "$PORT"
G=(--user alice)

# ---- formats: own and asked for, several documents in one run, progress as lines -----
mkdir "$WORK/a"
run 0 get lab 1 "Invoice 2024-001" Report.docx 2 Brochure "a:b <c>&d" -o "$WORK/a" "${G[@]}"
same "$DOCS/1/page-0001.jpg" "$WORK/a/Invoice 2024-001.jpg"
same "$DOCS/9/content.bin" "$WORK/a/Report.docx"
file "$WORK/a/Contract.tif" | grep -q "TIFF image data" || fail "Contract.tif is no TIFF"
[ "$(head -c 5 "$WORK/a/Brochure.pdf")" = "%PDF-" ] || fail "Brochure.pdf is no PDF"
[ "$(ls "$WORK/a" | wc -l)" -eq 5 ] || fail "not five files: $(ls "$WORK/a")"
has "$ERR" "has 2 pages"
[ "$(grep -c '^.*100%  .* done in ' "$ERR")" -eq 5 ] || fail "not a progress line at 100% for each"
has "$OUT" "saved document 9 \"Report.docx\" as $WORK/a/Report.docx ($(stat -c %s "$WORK/a/Report.docx") bytes"
run 0 get lab 1 Memo --format xps -o "$WORK/a" --quiet "${G[@]}"
[ "$(head -c 2 "$WORK/a/Memo.xps")" = "PK" ] || fail "Memo.xps is no package"
[ ! -s "$ERR" ] || fail "--quiet still wrote progress"

# ---- every page, refusals, the file that is there already --------------------------------
cd "$WORK/a" || fail "no folder"
run 0 get lab 1 "Long scan" --all-pages "${G[@]}"
for n in $(seq -w 1 12); do same "$DOCS/12/page-00$n.jpg" "Long scan_$n.jpg"; done
has "$OUT" "as 12 page files"
cd "$WORK" || fail "no folder"
run 1 get lab 1 "Invoice 2024-001" --format tiff -o "$WORK/a" "${G[@]}"
has "$ERR" "it is a JPEG document"
run 2 get lab 1 Contract --all-pages --format pdf "${G[@]}"
run 1 get lab 1 Contract -o "$WORK/nowhere" "${G[@]}"
run 1 get lab 1 Nothing "${G[@]}"
echo mine >"$WORK/a/Contract.tif"
run 6 get lab 1 Contract -o "$WORK/a" "${G[@]}"
[ "$(cat "$WORK/a/Contract.tif")" = mine ] || fail "the existing file was changed"

# ---- Ctrl-C in a slow download: exit 130 soon, the earlier file as it was, nothing left ----
printf 'link.bandwidth = 2097152\n' >"$DEV/faults.ini"
mkdir "$WORK/c"
echo earlier >"$WORK/c/Big.pdf"
"$VESK" get lab 1 Big -o "$WORK/c" --overwrite "${G[@]}" >"$OUT" 2>"$ERR" </dev/null &
GET_PID=$!
for _ in $(seq 200); do grep -q "of 24.0 MiB" "$ERR" && break; sleep 0.05; done
grep -q "of 24.0 MiB" "$ERR" || fail "no progress line from the slow download"
kill -INT "$GET_PID"
START=$(date +%s%N)
for _ in $(seq 100); do kill -0 "$GET_PID" 2>/dev/null || break; sleep 0.05; done
wait "$GET_PID"
RC=$?
GET_PID=
MS=$((($(date +%s%N) - START) / 1000000))
[ "$RC" -eq 130 ] || fail "the interrupted get exited $RC, expected 130"
[ "$MS" -lt 3000 ] || fail "the interrupted get took $MS ms to stop"
has "$ERR" "interrupted"
[ "$(cat "$WORK/c/Big.pdf")" = earlier ] || fail "the earlier file was changed"
[ "$(ls "$WORK/c")" = Big.pdf ] || fail "files left in the folder: $(ls "$WORK/c")"
[ -z "$(find "$VESK_PROFILE" -name '*Big*' -o -name '*.dig')" ] || fail "partial files left: $(find "$VESK_PROFILE" -name '*Big*' -o -name '*.dig')"
rm "$DEV/faults.ini"
run 0 get lab 1 900 -o "$WORK/c" --overwrite --quiet "${G[@]}"
[ "$(stat -c %s "$WORK/c/Big.pdf")" -eq "$BIG" ] || fail "Big.pdf is not $BIG bytes"

# ---- copy and move: to a box (done by the device) and to a folder ------------------------
run 0 cp lab 1 Photo Memo --to-box Alice "${G[@]}"
has "$OUT" "copied documents 11, 4 from box 1 \"Shared Scans\" to box 2 \"Alice\""
IN2=" $(listed 2) "
[[ $IN2 == *" Photo.jpg "* && $IN2 == *" Memo.pdf "* ]] || fail "box 2 lacks the copies: $IN2"
run 0 mv lab 1 Photo --to-box 2 "${G[@]}"
[[ " $(listed 1) " != *" Photo.jpg "* ]] || fail "the moved document is still in box 1"
run 2 cp lab 1 Memo --to-box 1 "${G[@]}"
run 2 cp lab 1 Memo "${G[@]}"
run 2 cp lab 1 Memo --to-box 2 --overwrite "${G[@]}"
printf 'error.CopyDoc = 8004\n' >"$DEV/faults.ini"
run 4 cp lab 1 Memo --to-box 2 "${G[@]}"
rm "$DEV/faults.ini"
mkdir "$WORK/m"
run 0 mv lab 1 Memo --to "$WORK/m" "${G[@]}"
[ "$(head -c 5 "$WORK/m/Memo.pdf")" = "%PDF-" ] || fail "Memo.pdf is no PDF"
[[ " $(listed 1) " != *" Memo.pdf "* ]] || fail "the moved document is still in box 1"
run 6 cp lab 2 Memo --to "$WORK/m" "${G[@]}"
printf 'error.RemoveDoc = 8004\n' >"$DEV/faults.ini"
run 4 mv lab 1 Catalogue --to "$WORK/m" "${G[@]}"
has "$ERR" "did not delete"
[ -s "$WORK/m/Catalogue.xps" ] || fail "the local file of a refused move is gone"
rm "$DEV/faults.ini"
[[ " $(listed 1) " == *" Catalogue.xps "* ]] || fail "the refused move deleted the document"

# ---- two documents of one name in one run: the second never replaces the first ----------
run 0 doc rename lab 1 Archive Brochure "${G[@]}"
mkdir "$WORK/d"
run 6 get lab 1 3 5 -o "$WORK/d" --overwrite --quiet "${G[@]}"
has "$ERR" "was saved from document 3 in this run"
same "$WORK/a/Brochure.pdf" "$WORK/d/Brochure.pdf"

echo "PASS: $STEP vesk runs"
