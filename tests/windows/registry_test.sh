#!/usr/bin/env bash
# The cache settings a Windows process saves are in the system registry, at the key the
# application and other tools read, as DWORD values: seen from outside with reg query.
set -euo pipefail
build=$1
run=$build/wine-run
probe=$build/tests/vesk_probe.exe
[ -x "$run" ] && [ -f "$probe" ] || { echo "skipped: no Windows build in $build"; exit 77; }

"$run" reg delete 'HKCU\Software\Orvane\HALD3.1\cache' /f >/dev/null 2>&1 || true
"$run" "$probe" save-cache-settings 2 1
out=$("$run" reg query 'HKCU\Software\Orvane\HALD3.1\cache' | tr -d '\r')
echo "$out"
grep -Eq 'CACHE_MODE[[:space:]]+REG_DWORD[[:space:]]+0x2$' <<<"$out"
grep -Eq 'DELETE_TYPE[[:space:]]+REG_DWORD[[:space:]]+0x1$' <<<"$out"
grep -Eq 'AVAIL_CACHE_SIZE[[:space:]]+REG_DWORD' <<<"$out"
grep -Eq 'CACHE_ROOT_DIR[[:space:]]+REG_SZ' <<<"$out"
"$run" reg delete 'HKCU\Software\Orvane\HALD3.1\cache' /f >/dev/null
echo "registry values in place"
