# Sourced by the vesk scenario scripts: runs vesk and checks its exit status and output.
# The script sets VESK, OUT and ERR first; it may set VESK_ARGS (arguments put before
# each command), RUN_TIMEOUT (seconds, default 30) and define more_logs (called on a
# failure to show further logs).
STEP=0
VESK_ARGS=()

fail() {
  echo "FAIL: $*"
  echo "--- vesk stdout"; cat "$OUT" 2>/dev/null
  echo "--- vesk stderr"; cat "$ERR" 2>/dev/null
  if declare -F more_logs >/dev/null; then more_logs; fi
  exit 1
}
# run RC ARGS... : vesk with a time limit; checks its exit status.
run() {
  local want=$1; shift
  STEP=$((STEP + 1))
  timeout "${RUN_TIMEOUT:-30}" "$VESK" ${VESK_ARGS[@]+"${VESK_ARGS[@]}"} "$@" >"$OUT" 2>"$ERR" </dev/null
  local rc=$?
  [ "$rc" -eq "$want" ] || fail "step $STEP: vesk $* exited $rc, expected $want"
}
# has FILE TEXT / lacks FILE TEXT: output checks of the last run.
has() { grep -qF -- "$2" "$1" || fail "step $STEP: '$2' not in $(basename "$1")"; }
lacks() { ! grep -qF -- "$2" "$1" || fail "step $STEP: '$2' should not be in $(basename "$1")"; }
