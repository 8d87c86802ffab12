#!/usr/bin/env bash
# vesk thumb: the thumbnail of a local image (--file) as the library makes it for an older
# device, in each output format, read back by an independent reader (Python's struct);
# the refusals and exit codes; no device and no state touched by --file; and a
# document's thumbnail from the emulator run as its own program, speaking an older
# protocol, so that the library makes it from the page. Usage: thumb_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: thumb_test.sh BUILD_DIR}" && pwd)
VESK=$BUILD/vesk
MFPSIM=$BUILD/mfpsim
for p in "$VESK" "$MFPSIM"; do
  [ -x "$p" ] || { echo "missing $p (build the vesk and mfpsim targets)"; exit 1; }
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-thumb-test.XXXXXX")
SIM_PID=
cleanup() {
  if [ -n "$SIM_PID" ]; then
    kill "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
unset VESK_BOX_PASSWORD VESK_ACCOUNT_PASSWORD
export VESK_PROFILE=$WORK/profile
OUT=$WORK/out
ERR=$WORK/err
. "$(dirname "$0")/lib.sh"

# bmp W H FILE: a 24-bit BMP, top half red, bottom half blue.
bmp() {
  python3 - "$@" <<'EOF'
import struct, sys
w, h, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
stride = (w * 3 + 3) & ~3
rows = b''.join((b'\xff\0\0' if y < h // 2 else b'\0\0\xff') * w + b'\0' * (stride - w * 3)
                for y in range(h))  # bottom-up: the first rows stored are the bottom ones
head = struct.pack('<2sIHHIIiiHHIIiiII', b'BM', 54 + len(rows), 0, 0, 54, 40, w, h, 1, 24, 0,
                   len(rows), 2835, 2835, 0, 0)
open(path, 'wb').write(head + rows)
EOF
}
# size FILE: "W H" of a JPEG (its SOF marker), PNG (IHDR) or BMP (information header).
size() {
  python3 - "$1" <<'EOF'
import struct, sys
d = open(sys.argv[1], 'rb').read()
if d[:2] == b'\xff\xd8':
    i = 2
    while d[i] == 0xff and not 0xc0 <= d[i + 1] <= 0xc3:
        i += 2 + struct.unpack('>H', d[i + 2:i + 4])[0]
    h, w = struct.unpack('>HH', d[i + 5:i + 9])
elif d[:8] == b'\x89PNG\r\n\x1a\n':
    w, h = struct.unpack('>II', d[16:24])
elif d[:2] == b'BM':
    w, h = struct.unpack('<ii', d[18:26])
else:
    w = h = 'unknown'
print(w, h)
EOF
}

bmp 300 100 "$WORK/wide.bmp"
bmp 100 320 "$WORK/tall.bmp"
bmp 50 50 "$WORK/square.bmp"
cp "$(dirname "$0")/../fuzz/seeds/images/colour.jpg" "$WORK/small.jpg"  # 24 x 16

# source, options, output, expected size
while read -r src opts target want; do
  [ "$opts" = - ] && opts=
  # shellcheck disable=SC2086
  run 0 thumb --file "$WORK/$src" $opts -o "$WORK/$target"
  got=$(size "$WORK/$target" | tr ' ' _)
  [ "$got" = "$want" ] || fail "$src $opts -> $target: $got, expected $want"
done <<'EOF'
wide.bmp - w.jpg 240_80
wide.bmp --double-height wd.jpg 240_160
tall.bmp - t.png 75_240
square.bmp - s.bmp 240_240
small.jpg - c.jpeg 240_160
EOF

# Colours and orientation survive: in the BMP (rows bottom-up) the first row is blue,
# the last red; the PNG says 8-bit RGB.
python3 - "$WORK/s.bmp" "$WORK/t.png" <<'EOF' || fail "colours or orientation wrong"
import struct, sys
d = open(sys.argv[1], 'rb').read()
off = struct.unpack('<I', d[10:14])[0]
w, h = struct.unpack('<ii', d[18:26])
bits = struct.unpack('<H', d[28:30])[0]
stride = (w * bits // 8 + 3) & ~3
def px(row, x):
    p = off + row * stride + x * bits // 8
    return tuple(d[p:p + 3])  # blue, green, red
near = lambda a, b: all(abs(x - y) <= 3 for x, y in zip(a, b))
assert bits == 24, bits
assert near(px(0, 120), (255, 0, 0)), px(0, 120)
assert near(px(h - 1, 120), (0, 0, 255)), px(h - 1, 120)
p = open(sys.argv[2], 'rb').read()
assert p[24:26] == b'\x08\x02', p[24:26]
EOF

# Refusals: each leaves no output behind.
run 6 thumb --file "$WORK/wide.bmp" -o "$WORK/w.jpg"
has "$ERR" "--overwrite replaces it"
run 1 thumb --file "$WORK/missing.jpg" -o "$WORK/m.jpg"
has "$ERR" "no file $WORK/missing.jpg"
run 0 thumb --file "$WORK/tall.bmp" -o "$WORK/w.jpg" --overwrite
[ "$(size "$WORK/w.jpg")" = "75 240" ] || fail "--overwrite did not replace the file"
printf 'not an image' >"$WORK/text.jpg"
while read -r rc args; do
  # shellcheck disable=SC2086
  run "$rc" thumb $args
  [ ! -e "$WORK/no.jpg" ] && [ ! -e "$WORK/no.png" ] || fail "thumb $args left a file"
done <<EOF
1 --file $WORK/text.jpg -o $WORK/no.jpg
1 --file $WORK/text.jpg -o $WORK/no.png
2 --file $WORK/wide.bmp -o $WORK/no.gif
2 --file $WORK/wide.bmp
2 --file $WORK/wide.bmp office 1 2 -o $WORK/no.jpg
2 -o $WORK/no.jpg
EOF
[ -z "$(ls "$WORK" | grep '^no\.')" ] || fail "files left behind: $(ls "$WORK")"
# A local thumbnail opens no store: the profile holds no file.
[ -z "$(find "$WORK/profile" -type f)" ] || fail "thumb --file wrote $(find "$WORK/profile" -type f)"

# ---- a document of a device below protocol 3.0: made from its first page ---------------
"$MFPSIM" --init "$WORK/device" >/dev/null 2>&1 || fail "mfpsim --init failed"
"$MFPSIM" --root "$WORK/device" --port 0 --tls-port 0 --version 2.5 --port-file "$WORK/ports" \
  >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
PORT=$(sed -n 's/^port=//p' "$WORK/ports")
[ -n "$PORT" ] || fail "mfpsim did not start"
run 0 device add lab 127.0.0.1 --port "$PORT"
export VESK_PASSWORD=alice
run 0 thumb lab 1 "Invoice 2024-001" -o "$WORK/doc.png" --user alice
read -r pw ph < <(size "$WORK/device/boxes/1/docs/1/page-0001.jpg")
want=$(python3 -c "import sys; w, h = int(sys.argv[1]), int(sys.argv[2]); print(*((240, max(1, 240 * h // w)) if w >= h else (max(1, 240 * w // h), 240)))" "$pw" "$ph")
[ "$(size "$WORK/doc.png")" = "$want" ] || fail "document thumbnail $(size "$WORK/doc.png"), expected $want"
has "$OUT" "${want/ / x } thumbnail of document 1"
run 1 thumb lab 1 "No such document" -o "$WORK/none.png" --user alice
[ ! -e "$WORK/none.png" ] || fail "a failed thumb left its file"
echo "thumb_test: ok"
