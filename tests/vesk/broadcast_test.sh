#!/usr/bin/env bash
# vesk search as users run it, by broadcast, over a private network of namespaces: three
# bridged segments of four devices, each device a real snmpd on port 161, one of them
# also the emulator. Needs root; skipped (exit 77) where namespaces cannot be made.
# Usage: broadcast_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: broadcast_test.sh BUILD_DIR}" && pwd)
VESK=$BUILD/vesk
MFPSIM=$BUILD/mfpsim
for p in "$VESK" "$MFPSIM"; do
  [ -x "$p" ] || { echo "missing $p (build the vesk and mfpsim targets)"; exit 1; }
done
PATH=$PATH:/usr/sbin:/sbin command -v snmpd >/dev/null || { echo "snmpd missing (scripts/deps)"; exit 1; }

. "$(dirname "$0")/../support/netns_lab.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-broadcast-test.XXXXXX")
trap 'lab_cleanup; rm -rf "$WORK"' EXIT
lab_init

export VESK_PROFILE=$WORK/profile
unset VESK_SNMP_TARGETS VESK_SNMP_PORT VESK_SNMP_COMMUNITY VESK_SNMP_INTERFACES \
  VESK_SNMP_LOOPBACK_ONLY VESK_PASSWORD
OUT=$WORK/out
ERR=$WORK/err
. "$(dirname "$0")/lib.sh"
more_logs() { tail -n 5 "$WORK"/*/snmpd.log "$WORK"/sim.log 2>/dev/null; }
# Every vesk runs inside the client namespace.
VESK_ARGS=(netns exec "$LAB_CLIENT" "$VESK")
VESK=$(command -v ip)
SEARCH=(search --timeout 1000 --retries 0)

# ---- the network ------------------------------------------------------------------
# Device X of segment K is 10.218.K.X. Devices 11-13 pass the filter file; device 14
# does not (another maker, one component too many, another family). 10.218.3.13 answers
# late while $WORK/slow exists; 10.218.1.12 also runs the emulator.
oid_of() {
  case $1.$2 in
    1.14) echo 1.3.6.1.4.1.8072.3.2.10 ;;
    2.14) echo 1.3.6.1.4.1.59731.1.2.1.2.1.140.1.2.3.4 ;;
    3.14) echo 1.3.6.1.4.1.59731.1.3.1.2.1.140 ;;
    1.12) echo 1.3.6.1.4.1.59731.1.1.1.2.1.40.1 ;;
    *) echo "1.3.6.1.4.1.59731.1.2.1.2.1.$1$2" ;;
  esac
}
# The late device's description comes from this helper, which snmpd waits for (a
# persistent one: snmpd would cache a plain one's answer).
cat >"$WORK/late-descr" <<EOF
#!/bin/sh
while read -r cmd; do
  case \$cmd in
    PING) echo PONG ;;
    get) read -r oid
      [ -e "$WORK/slow" ] && sleep 1.5
      if [ "\$oid" = .1.3.6.1.2.1.1.1.0 ]; then printf '%s\n' "\$oid" string "Test MFP 3-13"
      else echo NONE; fi ;;
    getnext) read -r oid; echo NONE ;;
    set) read -r oid; read -r value; echo not-writable ;;
  esac
done
EOF
chmod +x "$WORK/late-descr"

for k in 1 2 3; do
  lab_segment "$k" || fail "segment $k not made"
  for x in 11 12 13 14; do
    lab_device "$k" "$x" || fail "device $k.$x not made"
    extra=()
    [ "$k.$x" = 3.13 ] && extra=("pass_persist -p 1 .1.3.6.1.2.1.1.1 $WORK/late-descr")
    lab_snmpd "$DEV_NS" "$WORK/$k.$x" "$(oid_of "$k" "$x")" "Test MFP $k-$x" \
      ${extra[@]+"${extra[@]}"} || fail "snmpd $k.$x not started"
  done
done
lab_start "$LAB-d1-12" "$WORK/sim.log" "$MFPSIM" --root "$WORK/device" --host 10.218.1.12 \
  --port 59158 --tls-port 59159
for f in "$WORK"/*/snmpd.log; do
  lab_wait_log "$f" "NET-SNMP version" || fail "snmpd did not start: $f"
done
lab_wait_log "$WORK/sim.log" "ready" || fail "mfpsim did not start"

# expect K.X[=NAME]...: the last search listed exactly these devices, in this order.
expect() {
  local item
  {
    echo "ADDRESS DESCRIPTION REGISTERED-AS OBJECT-ID"
    for item in "$@"; do
      local kx=${item%%=*} name=-
      [ "$item" != "$kx" ] && name=${item#*=}
      echo "10.218.$kx Test MFP ${kx%%.*}-${kx#*.} $name $(oid_of "${kx%%.*}" "${kx#*.}")"
    done
  } >"$WORK/want"
  awk '{$1=$1; print}' "$OUT" | diff "$WORK/want" - >"$WORK/diff" ||
    fail "step $STEP: unexpected devices: $(cat "$WORK/diff")"
}
ms() { echo $(($(date +%s%N) / 1000000)); }
ALL=(1.11 1.12 1.13 2.11 2.12 2.13 3.11 3.12 3.13)

# ---- all twelve answer at once; the filter keeps nine -------------------------------
# One broadcast per segment, all waited for together: the search takes one time-out,
# however many devices answer (the limit is generous for a busy machine).
t0=$(ms)
run 0 "${SEARCH[@]}"
elapsed=$(($(ms) - t0))
echo "search of 3 segments x 4 agents: ${elapsed} ms (time-out 1000 ms)"
[ "$elapsed" -lt 3500 ] || fail "the search took ${elapsed} ms"
expect "${ALL[@]}"
for k in 1 2 3; do has "$ERR" "br$k 10.218.$k.1/24"; done
lacks "$ERR" " lo "

# ---- the interfaces the user names ------------------------------------------------
run 0 "${SEARCH[@]}" --interface br2
expect 2.11 2.12 2.13
has "$ERR" "broadcasting to 255.255.255.255 port 161 from br2 10.218.2.1/24"
run 0 "${SEARCH[@]}" --interface br3,br1
expect 1.11 1.12 1.13 3.11 3.12 3.13
run 1 "${SEARCH[@]}" --interface nosuch
has "$ERR" "interface nosuch has no IPv4 address"
in_client ip link set br2 down
run 0 "${SEARCH[@]}"
expect 1.11 1.12 1.13 3.11 3.12 3.13
lacks "$ERR" "br2"
in_client ip link set br2 up
run 2 "${SEARCH[@]}" --interface br1 --targets 10.218.1.11

# ---- a found device is registered and reached -------------------------------------
run 0 "${SEARCH[@]}" --register 10.218.1.12 --name found
has "$OUT" "registered found (id 1): 10.218.1.12"
run 0 connect found
grep -qE "^ +identifier +1\.3\.6\.1\.4\.1\.59731\." "$OUT" || fail "no identifier from the emulator"

# ---- a late answer is not listed and does not disturb the next search ---------------
touch "$WORK/slow"
t0=$(ms)
run 0 "${SEARCH[@]}"
elapsed=$(($(ms) - t0))
[ "$elapsed" -lt 3500 ] || fail "the late device held the search for ${elapsed} ms"
expect 1.11 1.12=found 1.13 2.11 2.12 2.13 3.11 3.12
rm "$WORK/slow"
# Its answer to that search arrives during this one.
run 0 "${SEARCH[@]}"
expect 1.11 1.12=found 1.13 2.11 2.12 2.13 3.11 3.12 3.13
echo "PASS"
