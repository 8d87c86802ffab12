#!/usr/bin/env bash
# vesk and the device registry file under hostile use: twenty registrations at once,
# files no writer could have made, a folder that cannot be written, input that must
# not reach the file, and private permissions. Usage: registry_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: registry_test.sh BUILD_DIR}" && pwd)
VESK=$BUILD/vesk
[ -x "$VESK" ] || { echo "missing $VESK (build the vesk target)"; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-registry-test.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export USERNAME=tester
unset VESK_PROFILE
P=$WORK/profile
HALD=$P/allusers/ORVANE/HALD/3.1
REG=$HALD/tester.xml
OUT=$WORK/out
ERR=$WORK/err
. "$(dirname "$0")/lib.sh"
VESK_ARGS=(--profile "$P")
RUN_TIMEOUT=60
# rows: the devices the last 'device list' printed (lines after the header).
rows() { tail -n +2 "$OUT"; }

# ---- twenty registrations at once, five times over ----------------------------------
for round in 1 2 3 4 5; do
  rm -rf "$P"
  pids=()
  for i in $(seq 1 20); do
    "$VESK" --profile "$P" device add "dev$i" "10.0.$round.$i" >/dev/null 2>"$WORK/add$i" &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || { cat "$WORK/add$((i + 1))"; fail "round $round: add $((i + 1)) failed"; }
  done
  run 0 device list  # a list that parses: the file is well-formed
  [ "$(rows | wc -l)" -eq 20 ] || fail "round $round: $(rows | wc -l) of 20 devices kept"
  [ "$(rows | awk '{print $1}' | sort -u | wc -l)" -eq 20 ] || fail "round $round: ids repeat"
  [ "$(rows | awk '{print $2}' | sort -u | wc -l)" -eq 20 ] || fail "round $round: names lost"
done

# ---- careless input: exit 2, nothing written -----------------------------------------
rm -rf "$P"
LONG=$(printf 'n%.0s' $(seq 1 256))
while IFS='|' read -r name host; do
  printf -v name '%b' "$name"
  printf -v host '%b' "$host"
  run 2 device add "$name" "$host"
  [ ! -e "$REG" ] || fail "step $STEP: '$name' '$host' wrote the registry file"
done <<TABLE
|10.0.0.1
   |10.0.0.1
\t|10.0.0.1
$LONG|10.0.0.1
lab|printer:9100
lab|C:
lab|CON
lab|lpt1.example
lab|10.0.0.1\n
lab|bad\thost
lab|999.1.1.1
lab|-host
lab|a..b
TABLE
run 0 device add "$(printf 'n%.0s' $(seq 1 255))" printer.example
run 0 device add lab 10.0.0.1
run 0 device add six fe80::1
run 2 device set lab --host printer:9100
run 2 device rename lab "   "
STEP=$((STEP + 1))
for empty in --profile= "--profile "; do
  # shellcheck disable=SC2086
  timeout 30 "$VESK" $empty "" device list >"$OUT" 2>"$ERR" </dev/null
  [ $? -eq 2 ] || fail "'$empty \"\"' was not refused"
done

# ---- private files whatever the umask -------------------------------------------------
rm -rf "$P"
(umask 000; "$VESK" --profile "$P" device add lab 10.0.0.1 >/dev/null) || fail "add under umask 000"
[ -z "$(find "$P" -type d ! -perm 700)" ] || fail "folders not 0700: $(find "$P" -type d ! -perm 700)"
[ -z "$(find "$P" -type f ! -perm 600)" ] || fail "files not 0600: $(find "$P" -type f ! -perm 600)"

# ---- a damaged file is reported, kept aside, and replaced --------------------------------
printf '<MFPList><MFP><ID>1</ID>' >"$REG"
run 1 device list
has "$ERR" "$REG is unreadable"
has "$ERR" "$REG.bak"
# 50,000 levels deep: registration keeps it aside and writes a small file, quickly.
awk 'BEGIN { printf "<MFPList><MFP><ID>1</ID>"; for (i = 0; i < 50000; i++) printf "<a>";
             for (i = 0; i < 50000; i++) printf "</a>"; printf "</MFP></MFPList>" }' >"$REG"
cp "$REG" "$WORK/deep.xml"
start=$(date +%s%N)
run 0 device add new 10.0.0.2
elapsed=$((($(date +%s%N) - start) / 1000000))
[ "$elapsed" -lt 5000 ] || fail "registration over a deep file took $elapsed ms"
cmp -s "$REG.bak" "$WORK/deep.xml" || fail "the deep file was not kept as $REG.bak"
[ "$(stat -c %s "$REG")" -lt 1000 ] || fail "the new file is $(stat -c %s "$REG") bytes"
run 0 device list
[ "$(rows | wc -l)" -eq 1 ] || fail "the new file lists $(rows | wc -l) devices"

# ---- a folder that cannot be written: every writer fails, the list agrees -----------------
rm -rf "$HALD"
printf 'in the way' >"$HALD"
run 1 device add lab 10.0.0.1
has "$ERR" "cannot register lab"
run 0 device list
[ "$(rows | wc -l)" -eq 0 ] || fail "a failed registration is listed"

echo "PASS"
