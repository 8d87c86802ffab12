#!/usr/bin/env bash
# Two Wine processes share the library's named mutex: the second waits while the first
# holds it and goes on once it is released; a holder that dies leaves it abandoned, and
# the next waiter owns it all the same.
set -euo pipefail
build=$1
run=$build/wine-run
probe=$build/tests/vesk_probe.exe
[ -x "$run" ] && [ -f "$probe" ] || { echo "skipped: no Windows build in $build"; exit 77; }

dir=$(mktemp -d)
trap 'touch "$dir/release"; wait; rm -rf "$dir"' EXIT
"$run" "$probe" hold "$dir/held" "$dir/release" &
holder=$!
for _ in $(seq 300); do [ -e "$dir/held" ] && break; sleep 0.1; done
[ -e "$dir/held" ] || { echo "the holder never took the lock"; exit 1; }

"$run" "$probe" take "$dir/opened" "$dir/taken" &
taker=$!
for _ in $(seq 300); do [ -e "$dir/opened" ] && break; sleep 0.1; done
sleep 1
[ ! -e "$dir/taken" ] || { echo "the second process took the lock while the first held it"; exit 1; }
touch "$dir/release"
wait "$holder"
wait "$taker"
[ -e "$dir/taken" ] || { echo "the second process never took the lock"; exit 1; }

# A holder killed while a waiter has the mutex open: the waiter gets it, abandoned.
"$run" "$probe" hold "$dir/held2" "$dir/never" &
holder=$!
for _ in $(seq 300); do [ -e "$dir/held2" ] && break; sleep 0.1; done
"$run" "$probe" wait "$dir/opened2" >"$dir/waited" &
waiter=$!
# Only a process that has the mutex open sees it abandoned: with no handle left the
# system destroys a named mutex.
for _ in $(seq 300); do [ -e "$dir/opened2" ] && break; sleep 0.1; done
kill -KILL "$holder"
wait "$holder" || true
wait "$waiter"
[ "$(tr -d '\r' <"$dir/waited")" = abandoned ] || { echo "an abandoned lock was not reported"; exit 1; }
echo "named mutex shared between processes"
