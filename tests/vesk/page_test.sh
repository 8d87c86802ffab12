#!/usr/bin/env bash
# vesk page against the device emulator run as its own program: a frame of a TIFF
# document and a JPEG page as PNG files, read back by an independent reader (Python's
# zlib and struct), and the refusals with their exit status.
# Usage: page_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: page_test.sh BUILD_DIR}" && pwd)
VESK=$BUILD/vesk
MFPSIM=$BUILD/mfpsim
for p in "$VESK" "$MFPSIM"; do
  [ -x "$p" ] || { echo "missing $p (build the vesk and mfpsim targets)"; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-page-test.XXXXXX")
SIM_PID=
cleanup() {
  [ -n "$SIM_PID" ] && { kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; }
  rm -rf "$WORK"
}
trap cleanup EXIT
export VESK_PROFILE=$WORK/profile
unset VESK_ACCOUNT_PASSWORD VESK_BOX_PASSWORD
export VESK_PASSWORD=alice
DEV=$WORK/device
OUT=$WORK/out
ERR=$WORK/err
. "$(dirname "$0")/lib.sh"
more_logs() { echo "--- mfpsim log"; tail -20 "$WORK/sim.log"; }

# png FILE: "width height colour-type x-pixels-per-metre" of a PNG whose every row
# inflates to its full length and whose pixels are not all alike; fails otherwise.
png() {
  python3 - "$1" <<'PY' || fail "step $STEP: $1 is not a sound PNG"
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n"
pos, chunks = 8, {}
while pos < len(data):
    n, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + n]
    assert zlib.crc32(kind + body) == struct.unpack(">I", data[pos + 8 + n:pos + 12 + n])[0]
    chunks[kind] = chunks.get(kind, b"") + body
    pos += 12 + n
w, h, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
raw = zlib.decompress(chunks[b"IDAT"])
channels = {0: 1, 2: 3}[colour]
assert depth == 8 and len(raw) == h * (1 + w * channels)
assert len(set(raw[1:1 + w * channels * h // 2])) > 2
ppm = struct.unpack(">IIB", chunks[b"pHYs"])[0] if b"pHYs" in chunks else 0
print(w, h, colour, ppm)
PY
}
# listed NAME: "width height x-pixels-per-metre" of a document as the box lists it.
listed() {
  run 0 docs lab 1 --user alice --json
  python3 -c "import json,sys; d=[d for d in json.load(open(sys.argv[1]))['documents'] if d['name']==sys.argv[2]][0]; print(d['width'], d['height'], int(d['x_resolution']/0.0254))" "$OUT" "$1"
}

# "Contract" (three bilevel pages) made in a mode whose pages are shown from the TIFF
# document; "Invoice 2024-001" has two colour JPEG pages.
"$MFPSIM" --init "$DEV" >/dev/null 2>&1 || fail "mfpsim --init failed"
sed -i 's/^mode = .*/mode = 5/' "$DEV/boxes/1/docs/2/doc.ini"
"$MFPSIM" --root "$DEV" --port 0 --port-file "$WORK/ports" >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
PORT=$(sed -n 's/^port=//p' "$WORK/ports")
[ -n "$PORT" ] || fail "mfpsim did not start"
run 0 device add lab 127.0.0.1 --port "$PORT"

read -r W H PPM <<<"$(listed Contract)"
run 0 page lab 1 Contract --page 3 -o "$WORK/c3.png" --user alice
has "$OUT" "page 3 of document 2 ($W x $H) written to"
[ "$(png "$WORK/c3.png")" = "$W $H 0 $PPM" ] || fail "c3.png: $(png "$WORK/c3.png"), want $W $H 0 $PPM"
run 0 page lab 1 Contract -o "$WORK/c1.png" --user alice
cmp -s "$WORK/c1.png" "$WORK/c3.png" && fail "pages 1 and 3 gave the same picture"

read -r W H PPM <<<"$(listed "Invoice 2024-001")"
run 0 page lab 1 1 --page 2 -o "$WORK/i2.png" --user alice
[ "$(png "$WORK/i2.png")" = "$W $H 2 $PPM" ] || fail "i2.png: $(png "$WORK/i2.png"), want $W $H 2 $PPM"

# A page the document does not have, an existing file, and command lines that are wrong.
run 1 page lab 1 Contract --page 4 -o "$WORK/c4.png" --user alice
has "$ERR" "it has 3 pages"
[ -e "$WORK/c4.png" ] && fail "c4.png written for a page that does not exist"
cp "$WORK/c1.png" "$WORK/keep.png"
run 6 page lab 1 Contract --page 3 -o "$WORK/c1.png" --user alice
cmp -s "$WORK/c1.png" "$WORK/keep.png" || fail "an existing file was changed without --overwrite"
run 0 page lab 1 Contract --page 3 -o "$WORK/c1.png" --overwrite --user alice
cmp -s "$WORK/c1.png" "$WORK/c3.png" || fail "--overwrite did not replace the file"
run 2 page lab 1 Contract --page 0 -o "$WORK/x.png" --user alice
run 2 page lab 1 Contract --user alice
run 2 page lab 1 Contract -o "$WORK/x.png" --password alice
echo "PASS"
