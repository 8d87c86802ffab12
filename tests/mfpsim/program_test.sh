#!/usr/bin/env bash
# The mfpsim program: --init writes a sample device (and refuses to overwrite one),
# serving prints the chosen ports and answers on them, SIGTERM and SIGINT stop it.
set -euo pipefail
build=${1:?build dir}
bin="$build/mfpsim"
work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$bin" --init "$work/dev" --dpi 20 > "$work/init.out"
[ -f "$work/dev/device.ini" ] || fail "no device.ini after --init"
[ -d "$work/dev/boxes/0" ] || fail "no memory-RX box"
if "$bin" --init "$work/dev" --dpi 20 2> "$work/init2.err"; then fail "second --init succeeded"; fi
grep -q "already" "$work/init2.err" || fail "no reason given for refusing --init"
mkdir "$work/foreign" && echo keep > "$work/foreign/file.txt"
if "$bin" --init "$work/foreign" --force 2>/dev/null; then fail "--force cleared a foreign folder"; fi
[ -f "$work/foreign/file.txt" ] || fail "foreign file removed"
"$bin" --init "$work/dev" --force --dpi 20 > /dev/null || fail "--force on a device folder"
if "$bin" --root "$work/dev" --version 4 2>/dev/null; then fail "bad --version accepted"; fi

for sig in TERM INT; do
    "$bin" --root "$work/dev" --port 0 --tls-port 0 --model 40 --version 3.1 \
        --port-file "$work/ports" > "$work/serve.out" 2>&1 &
    pid=$!
    for _ in $(seq 1 100); do
        grep -q '^ready' "$work/serve.out" 2>/dev/null && break
        sleep 0.1
    done
    grep -q '^ready' "$work/serve.out" || { cat "$work/serve.out" >&2; fail "not ready"; }
    port=$(sed -n 's/^port \([0-9]*\)$/\1/p' "$work/serve.out")
    tls=$(sed -n 's/^tls-port \([0-9]*\)$/\1/p' "$work/serve.out")
    [ -n "$port" ] && [ -n "$tls" ] || fail "ports not printed"
    grep -q "port=$port" "$work/ports" || fail "port file"
    grep -q "59731.1.1.1.2.1.40.1, version 3.1" "$work/serve.out" || fail "identity options ignored"
    # Something answers on both ports (a TCP connect suffices here; the protocol is
    # covered by the gtest suite).
    (exec 3<>"/dev/tcp/127.0.0.1/$port") || fail "plain port closed"
    (exec 3<>"/dev/tcp/127.0.0.1/$tls") || fail "TLS port closed"
    kill "-$sig" "$pid"
    for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then fail "still running after SIG$sig"; fi
    wait "$pid" || fail "exit status $? after SIG$sig"
    pid=
    grep -q "stopping on SIG$sig" "$work/serve.out" || fail "no stop message"
done
echo ok
