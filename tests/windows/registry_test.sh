#!/usr/bin/env bash
# What vesk.exe writes through the DLL lands in the system registry at the keys the
# application and other tools read, as DWORD values, seen from outside with reg query:
# the options it sets, and the key of the cache settings a new root item makes.
set -euo pipefail
build=$1
run=$build/wine-run
vesk=$build/vesk.exe
[ -x "$run" ] && [ -f "$vesk" ] || { echo "skipped: no vesk.exe in $build"; exit 77; }

key='HKCU\Software\Orvane\HALD3.1'
cleanup() {
  for sub in cache Box General Login; do "$run" reg delete "$key\\$sub" /f >/dev/null 2>&1 || true; done
}
trap cleanup EXIT
cleanup

# No --profile: that would keep the values in a private key, away from the application's keys.
vesk() { "$run" "$vesk" "$@"; }
query() { "$run" reg query "$key\\$1" | tr -d '\r'; }
expect() {  # expect SUBKEY NAME TYPE [VALUE]
  local out
  out=$(query "$1")
  grep -Eq "^ +$2 +$3( +${4:-.*})?\$" <<<"$out" ||
    { echo "FAIL: $key\\$1 has no $2 $3 ${4:-}"; echo "$out"; exit 1; }
}

vesk options set timeout 4242 >/dev/null
vesk options set display-rx-box yes >/dev/null
vesk options set save-user-name 1 >/dev/null
query General
expect General TIMEOUT REG_DWORD 0x1092
expect General FILE_FORMAT REG_DWORD 0x1
expect General TIMELIMIT REG_DWORD 0xa
expect Box DISPLAY_RX_BOX REG_DWORD 0x1
expect Box OPEN_BOX REG_DWORD 0x1
expect Login SAVE_USER_NAME REG_DWORD 0x1
expect Login DISPLAY_CONFIRMATION REG_DWORD 0x1
# Each root made the key of the cache settings, which it found missing.
"$run" reg query "$key\\cache" >/dev/null || { echo "FAIL: no key $key\\cache"; exit 1; }

# A value changed from outside is what the DLL reads next.
"$run" reg add "$key\\General" /v TIMEOUT /t REG_DWORD /d 77 /f >/dev/null
vesk options show timeout | tr -d '\r' | grep -Eq '^timeout +77 ' ||
  { echo "FAIL: the DLL did not read the value reg add wrote"; exit 1; }
echo "registry values in place"
