#!/usr/bin/env bash
# vesk search against real SNMP agents (Debian's snmpd) on loopback: the filter file
# keeps the printer and drops the other agent, registered devices are marked, and a
# found device can be registered. Usage: search_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: search_test.sh BUILD_DIR}" && pwd)
VESK=$BUILD/vesk
[ -x "$VESK" ] || { echo "missing $VESK"; exit 1; }
SNMPD=$(PATH=$PATH:/usr/sbin:/sbin command -v snmpd) || { echo "snmpd missing (scripts/deps)"; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-search-test.XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
export VESK_PROFILE=$WORK/profile
export VESK_SNMP_LOOPBACK_ONLY=1
unset VESK_SNMP_TARGETS VESK_SNMP_PORT VESK_SNMP_COMMUNITY

OUT=$WORK/out
ERR=$WORK/err
. "$(dirname "$0")/lib.sh"
more_logs() { for f in "$WORK"/agent*/log; do echo "--- $f"; cat "$f"; done; }

# agent N ADDRESS OID DESCR: starts snmpd on ADDRESS and a free UDP port; sets PORT.
agent() {
  local dir=$WORK/agent$1
  mkdir -p "$dir/state"
  for _ in 1 2 3 4 5; do
    PORT=$((20000 + RANDOM % 40000))
    cat >"$dir/conf" <<CONF
agentaddress udp:$2:$PORT
rocommunity quorle 127.0.0.0/8
sysObjectID .$3
sysDescr $4
[snmp] persistentDir $dir/state
CONF
    MIBS= MIBDIRS=/nonexistent "$SNMPD" -f -Lo -C -c "$dir/conf" >"$dir/log" 2>&1 &
    local pid=$!
    for _ in $(seq 100); do
      if grep -q "NET-SNMP version" "$dir/log"; then PIDS+=("$pid"); return 0; fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  done
  fail "snmpd on $2 did not start"
}


agent 1 127.0.0.1 1.3.6.1.4.1.59731.1.2.1.2.1.140 "Test MFP 140"
P1=$PORT
agent 2 127.0.0.2 1.3.6.1.4.1.8072.3.2.10 "Some Linux host"
P2=$PORT
TARGETS=127.0.0.1:$P1,127.0.0.2:$P2

run 0 search --targets "$TARGETS" --timeout 500 --retries 1
grep -qE "^127\.0\.0\.1 +Test MFP 140 +- +1\.3\.6\.1\.4\.1\.59731\.1\.2\.1\.2\.1\.140" "$OUT" ||
  fail "the printer is not listed"
! grep -q "127.0.0.2" "$OUT" || fail "the filter file let the other agent through"
# vesk recorded where its filter file lives.
[ -s "$WORK/profile/registry/hklm.db" ] || fail "no application folder recorded"

run 2 search --targets "$TARGETS" --register 127.0.0.1
run 1 search --targets "$TARGETS" --timeout 500 --register 127.0.0.9 --name ghost
grep -q "did not find 127.0.0.9" "$ERR" || fail "no reason for the refused registration"
run 0 search --targets "$TARGETS" --timeout 500 --register 127.0.0.1 --name found
grep -q "registered found (id 1): 127.0.0.1" "$OUT" || fail "not registered"
run 0 search --targets "$TARGETS" --timeout 500
grep -qE "^127\.0\.0\.1 +Test MFP 140 +found " "$OUT" || fail "the registered device is not marked"
run 1 search --targets "$TARGETS" --timeout 500 --register 127.0.0.1 --name again
grep -q "already registered as found" "$ERR" || fail "registered twice"

# Nobody answers: nothing found is not an error.
run 0 search --targets 127.0.0.3:$P1 --timeout 200 --retries 0
grep -q "no devices found" "$ERR" || fail "silence not reported"
# Targets outside loopback are refused here; the search says SNMP cannot be used.
run 1 search --targets 192.0.2.1 --timeout 200 --retries 0
echo "PASS"
