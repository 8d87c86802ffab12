#!/usr/bin/env bash
# vesk against the device emulator run as its own program: registration, listing,
# renaming, connecting (plain and TLS), logging in, info, print and removal, with the
# exit codes a script relies on. Usage: cli_test.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: cli_test.sh BUILD_DIR}" && pwd)
VESK=$BUILD/vesk
MFPSIM=$BUILD/mfpsim
for p in "$VESK" "$MFPSIM"; do
  [ -x "$p" ] || { echo "missing $p (build the vesk and mfpsim targets)"; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vesk-cli-test.XXXXXX")
SIM_PID=
OLD_PID=
cleanup() {
  if [ -n "$OLD_PID" ]; then
    kill "$OLD_PID" 2>/dev/null
    wait "$OLD_PID" 2>/dev/null
  fi
  if [ -n "$SIM_PID" ]; then
    kill "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# Every run of vesk works in this test's own profile, never the user's.
export VESK_PROFILE=$WORK/profile
unset VESK_PASSWORD VESK_ACCOUNT_PASSWORD VESK_BOX_PASSWORD
unset VESK_SNMP_TARGETS VESK_SNMP_PORT VESK_SNMP_COMMUNITY

OUT=$WORK/out
ERR=$WORK/err
SIM_LOG=$WORK/mfpsim.log

. "$(dirname "$0")/lib.sh"
more_logs() { echo "--- mfpsim log"; cat "$SIM_LOG" 2>/dev/null; }
# row FIELD VALUE: the last run printed the line "  FIELD   VALUE".
row() { grep -qE "^ +$1 +$2\$" "$OUT" || fail "step $STEP: no row '$1 ... $2'"; }

# ---- the emulator, on free ports chosen by the kernel ---------------------------
"$MFPSIM" --root "$WORK/device" --port 0 --tls-port 0 --port-file "$WORK/ports" \
  >"$SIM_LOG" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do
  [ -s "$WORK/ports" ] && break
  kill -0 "$SIM_PID" 2>/dev/null || fail "mfpsim did not start"
  sleep 0.1
done
[ -s "$WORK/ports" ] || fail "mfpsim wrote no port file"
PORT=$(sed -n 's/^port=//p' "$WORK/ports")
TLS_PORT=$(sed -n 's/^tls-port=//p' "$WORK/ports")
[ "$PORT" -gt 0 ] && [ "$TLS_PORT" -gt 0 ] || fail "bad ports: $(cat "$WORK/ports")"

# ---- usage errors: exit 2, nothing changed ---------------------------------------
run 0 --help
has "$OUT" "device add"
run 2
run 2 frobnicate
has "$ERR" "unknown command"
run 2 device
run 2 device add onlyname
run 2 device add lab 127.0.0.1 --port notanumber
run 2 device add lab 127.0.0.1 --port 70000
run 2 device add lab 127.0.0.1 --colour
run 2 device add 42 127.0.0.1
run 2 device add lab ../etc
run 0 device add --help
has "$OUT" "--ssl-port"
run 0 device list
[ ! -s "$OUT" ] || fail "an empty registry lists something"

# ---- passwords are refused on the command line -----------------------------------
run 2 login lab --user alice --password alice
has "$ERR" "not taken on the command line"
lacks "$ERR" "alice"
run 2 login lab --user alice --password=alice
run 2 print lab 1 --box 1 --user alice -p alice
run 2 login lab --account sales --account-password 1111

# ---- registration, listing, renaming -----------------------------------------------
run 0 device add lab 127.0.0.1 --port "$PORT" --ssl-port "$TLS_PORT"
has "$OUT" "registered lab (id 1)"
run 1 device add LAB 127.0.0.2
has "$ERR" "already has that name"
run 0 device add spare 127.0.0.1 --port 1 --ssl-port 1
run 0 device list
grep -qE "^1 +lab +127\.0\.0\.1 +$PORT +$TLS_PORT +auto" "$OUT" || fail "lab not listed right"
grep -qE "^2 +spare " "$OUT" || fail "spare not listed"
run 0 device rename lab office
run 1 device rename spare OFFICE
has "$ERR" "already has that name"
run 2 device rename spare 7
run 1 device rename nosuch other
has "$ERR" "no registered device"
run 0 device list
grep -qE "^1 +office " "$OUT" || fail "rename not kept"
lacks "$OUT" " lab "
run 2 device set spare
run 0 device set 2 --port 4242 --mode tls
run 0 device list
grep -qE "^2 +spare +127\.0\.0\.1 +4242 +1 +tls" "$OUT" || fail "device set not kept"

# ---- connect ------------------------------------------------------------------------
run 0 connect office
row "protocol" "4\.11 \(number 49, class CTcpCoreV31\)"
row "TLS used" "no"
row "TLS trust" "none .*"
row "login needed" "user login .*"
row "identifier" "1\.3\.6\.1\.4\.1\.59731\.1\.1\.1\.2\.1\.140.*"
run 0 connect 1 --tls
row "TLS used" "yes"
has "$OUT" "certificate"
row "TLS trust" "new .*"
# The mode that worked is remembered for the next time, the certificate too.
run 0 device list
grep -qE "^1 +office .* tls +pinned$" "$OUT" || fail "TLS mode or certificate not remembered"
run 0 connect office --plain
row "TLS used" "yes"
row "TLS trust" "trusted .*"
run 0 device trust office
has "$OUT" "already trusted"
# Spare is TLS only, and nothing listens there: it fails, quickly.
run 1 connect spare
has "$ERR" "cannot connect to spare"
# A certificate pinned ahead of time that the device does not have is refused, and
# only the user's explicit accept changes that.
run 2 device add pinned 127.0.0.1 --ssl-port "$TLS_PORT" --fingerprint 12:34
run 0 device add pinned 127.0.0.1 --port "$PORT" --ssl-port "$TLS_PORT" \
  --fingerprint "$(printf 'ab%.0s' $(seq 32))"
run 1 connect pinned
has "$ERR" "another TLS certificate"
has "$ERR" "presented sha256"
run 1 device trust pinned </dev/null
has "$ERR" "stays as it was"
run 0 device trust pinned --yes
has "$OUT" "new certificate is trusted"
run 0 connect pinned
row "TLS trust" "trusted .*"
run 0 device rm pinned
# Plain TCP for a device known by its certificate only once allowed.
run 0 device set office --allow-plain yes
run 0 device list
grep -qE "^1 +office .* pinned, plain allowed$" "$OUT" || fail "plain TCP not allowed"

# ---- login ------------------------------------------------------------------------
VESK_PASSWORD=alice run 0 login office --user alice
has "$OUT" "logged in to office as alice over TLS"
row "colour" "allowed"
row "create boxes" "yes"
printf 'bob\n' >"$WORK/bob.pw"
run 0 login office --user bob --password-file "$WORK/bob.pw" --plain
has "$OUT" "over plain TCP"
row "colour" "forbidden"
row "colour print" "forbidden"
row "copy" "allowed"
lacks "$OUT" "bob.pw"
VESK_PASSWORD=s3cr3t-Wr0ng run 1 login office --user alice
has "$ERR" "refused"
lacks "$ERR" "s3cr3t-Wr0ng"
# No password source and no terminal: a usage error, not a hang.
run 2 login office --user alice
has "$ERR" "VESK_PASSWORD"
STEP=$((STEP + 1))
printf 'alice\n' | timeout 30 "$VESK" login office --user alice --password-file - >"$OUT" 2>"$ERR" ||
  fail "step $STEP: a password on standard input was not taken"
has "$OUT" "logged in to office as alice"
VESK_PASSWORD=admin run 0 login office --boxadmin
has "$OUT" "boxadmin (box administrator)"
run 2 login office
run 2 login office --user alice --boxadmin
VESK_ACCOUNT_PASSWORD=1111 run 1 login office --account sales
has "$ERR" "no account tracking"

# Ctrl-C cancels a login the device never answers, at once and with the reason.
printf 'stall.on = UserLogin\n' >"$WORK/device/faults.ini"
STEP=$((STEP + 1))
# --foreground: timeout passes the one Ctrl-C on; otherwise it also signals its
# whole group, and a second Ctrl-C rightly stops vesk without waiting.
VESK_PASSWORD=alice timeout --foreground 30 "$VESK" login office --user alice \
  >"$OUT" 2>"$ERR" </dev/null &
VESK_PID=$!
# Interrupt once vesk talks to the device (its handler is in place by then).
for _ in $(seq 200); do
  [ -n "$(ss -Htn state established "( dport = :$PORT or dport = :$TLS_PORT )" 2>/dev/null)" ] &&
    break
  sleep 0.05
done
sleep 0.5
kill -INT "$VESK_PID"
T0=$SECONDS
wait "$VESK_PID"
rc=$?
[ "$rc" -eq 130 ] || fail "step $STEP: an interrupted login exited $rc, expected 130"
[ $((SECONDS - T0)) -le 3 ] || fail "step $STEP: the interrupt was not honoured at once"
has "$ERR" "interrupted"
rm -f "$WORK/device/faults.ini"

# ---- info --------------------------------------------------------------------------
run 0 info office
row "searchable PDF" "yes"
row "hard disks" "1"
row "enhanced security" "off"
row "RX data" "secured \(1\)"
VESK_PASSWORD=admin run 0 info office --boxadmin
row "RX data" "box administrator \(2\)"

# ---- print (document 1 is a colour JPEG in the shared box 1) -----------------------
VESK_PASSWORD=alice run 0 print office 1 --box 1 --user alice --copies 2 --pages 1-1
has "$OUT" "sent to the printer of office"
[ -f "$WORK/device/jobs/1.ini" ] || fail "the emulator recorded no print job"
grep -qE "^print *= *2[ ,]" "$WORK/device/jobs/1.ini" ||
  fail "job without 2 copies: $(cat "$WORK/device/jobs/1.ini")"
VESK_PASSWORD=bob run 1 print office 1 --box 1 --user bob --colour colour
has "$ERR" "colour printing is forbidden"
VESK_PASSWORD=carol run 1 print office 1 --box 1 --user carol
has "$ERR" "printing is forbidden for this login"
VESK_PASSWORD=alice run 0 print office 1 --box 1 --user alice --dry-run
has "$OUT" "would print with:"
[ ! -f "$WORK/device/jobs/2.ini" ] || fail "a dry run printed"
VESK_PASSWORD=alice run 1 print office 9999 --box 1 --user alice
has "$ERR" "cannot select document 9999"
# Box 3 has a password; without one and without a terminal the print stops.
VESK_PASSWORD=alice run 2 print office 20 --box 3 --user alice
has "$ERR" "VESK_BOX_PASSWORD"
VESK_PASSWORD=alice VESK_BOX_PASSWORD=4321 run 3 print office 20 --box 3 --user alice
has "$ERR" "refused the box password"
VESK_PASSWORD=alice VESK_BOX_PASSWORD=1234 run 0 print office 20 --box 3 --user alice
run 2 print office 1 --user alice
# On a terminal the box password is asked for, and what is typed is not echoed.
if command -v script >/dev/null; then
  STEP=$((STEP + 1))
  mkfifo "$WORK/tty-in"
  VESK_PASSWORD=alice timeout 30 script -qec "$VESK print office 21 --box 3 --user alice" \
    /dev/null <"$WORK/tty-in" >"$OUT" 2>&1 &
  TTY_PID=$!
  exec 7>"$WORK/tty-in"
  for _ in $(seq 300); do grep -q "Password for box 3" "$OUT" && break; sleep 0.05; done
  printf '1234\n' >&7
  exec 7>&-
  wait "$TTY_PID" || fail "step $STEP: print with a prompted box password failed"
  has "$OUT" 'Password for box 3 "Secure" on office:'
  has "$OUT" "document 21 of box 3 sent"
  lacks "$OUT" "1234"
fi

# ---- options, and the last user name they let the disconnect keep --------------------
run 0 options show
grep -qE "^time-limit +10 " "$OUT" || fail "time-limit not at its default"
run 2 options set save-user-name maybe
run 2 options set nosuchkey 1
run 0 options set save-user-name yes
has "$OUT" "save-user-name = 1"
VESK_PASSWORD=alice run 0 login office --user alice
REG=$(find "$WORK/profile" -name '*.xml' | head -n 1)
grep -q "<LastUserName>alice</LastUserName>" "$REG" || fail "user name not kept: $(cat "$REG")"
run 0 options set save-user-name 0
VESK_PASSWORD=alice run 0 login office --user alice
grep -q "<LastUserName></LastUserName>" "$REG" || fail "user name kept against the option"
run 0 options show save-user-name
grep -qE "^save-user-name +0 " "$OUT" || fail "save-user-name not shown as 0"

# ---- removal -------------------------------------------------------------------------
run 0 device rm spare
has "$OUT" "removed spare (id 2)"
run 1 device rm spare
run 0 device list
lacks "$OUT" "spare"
# The last-login fields were written by the sessions' disconnects.
REG=$(find "$WORK/profile" -name '*.xml' | head -n 1)
grep -q "<LastTCPComm>0</LastTCPComm>" "$REG" || fail "last mode not in $REG: $(cat "$REG")"

# ---- an older device (protocol 3.0) with account tracking ------------------------------
# Older devices are accepted only through the filter file, which vesk finds by itself.
"$MFPSIM" --init "$WORK/old" >"$WORK/old-init.log" 2>&1 || fail "mfpsim --init failed"
sed -i 's/^auth.account = 0$/auth.account = 1/' "$WORK/old/device.ini"
grep -q "^auth.account = 1$" "$WORK/old/device.ini" || fail "cannot turn on account tracking"
"$MFPSIM" --root "$WORK/old" --version 3.0 --port 0 --tls-port 0 --port-file "$WORK/old-ports" \
  >>"$SIM_LOG" 2>&1 &
OLD_PID=$!
for _ in $(seq 300); do [ -s "$WORK/old-ports" ] && break; sleep 0.1; done
OLD_PORT=$(sed -n 's/^port=//p' "$WORK/old-ports")
[ -n "$OLD_PORT" ] || fail "the older emulator did not start"
run 0 device add old 127.0.0.1 --port "$OLD_PORT"
run 0 connect old
row "protocol" "3\.0 \(number 30, class CTcpCoreV20\)"
row "authentication" "user type 1, account type 1, .*"
VESK_PASSWORD=alice run 1 login old --user alice
has "$ERR" "needs an account login"
VESK_ACCOUNT_PASSWORD=2222 run 1 login old --account eng
has "$ERR" "needs a user login before the account login"
VESK_PASSWORD=alice VESK_ACCOUNT_PASSWORD=9999 run 1 login old --user alice --account eng
has "$ERR" "account login as eng refused"
printf '2222\n' >"$WORK/eng.pw"
VESK_PASSWORD=alice run 0 login old --user alice --account eng --account-password-file "$WORK/eng.pw"
has "$OUT" "as alice, account eng"
row "colour" "forbidden"
kill "$OLD_PID"; wait "$OLD_PID" 2>/dev/null; OLD_PID=
run 0 device rm old

# ---- a device that stops answering ------------------------------------------------------
kill "$SIM_PID"; wait "$SIM_PID" 2>/dev/null; SIM_PID=
run 1 connect office
has "$ERR" "cannot connect to office"
run 0 device rm office
run 0 device list
[ ! -s "$OUT" ] || fail "devices left after removal"

echo "PASS: $STEP vesk runs"
