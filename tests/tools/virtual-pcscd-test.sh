#!/usr/bin/env bash
# virtual-pcscd: the PID it prints is the daemon, the daemon holds the pcscd lock while it runs,
# its reader is listed with the card in it, and stop ends that daemon and nothing else.
set -euo pipefail
script=$1
vcard=$2
port=36230
dir=$(mktemp -d /tmp/korvan-virtual-pcscd-XXXXXX)
pid=
card=
cleanup() {
    [[ -n $card ]] && kill "$card" 2>/dev/null
    [[ -n $pid ]] && "$script" stop "$pid"
    rm -rf "$dir"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

pid=$("$script" start "$dir/conf" "$port" "Korvan Script Test")
[[ $(cat "/proc/$pid/comm") == pcscd ]] || fail "PID $pid is not pcscd"
ls -l "/proc/$pid/fd" | grep -q '/tmp/korvan-pcscd.lock' || fail "the daemon does not hold the lock"

"$vcard" --port "$port" >"$dir/card.out" </dev/null &
card=$!
for _ in $(seq 100); do
    grep -q '^inserted$' "$dir/card.out" && break
    sleep 0.1
done
grep -q '^inserted$' "$dir/card.out" || fail "the card did not reach the reader"
for _ in $(seq 50); do
    pcsc_scan -r 2>/dev/null | grep -q 'Korvan Script Test 00 00' && break
    sleep 0.1
done
pcsc_scan -r 2>/dev/null | grep -q 'Korvan Script Test 00 00' || fail "the reader is not listed"

if "$script" stop "$card" 2>/dev/null; then
    fail "stop accepted a process that is not pcscd"
fi
kill -0 "$card" || fail "stop ended a process that is not pcscd"

"$script" stop "$pid"
if kill -0 "$pid" 2>/dev/null; then
    fail "the daemon still runs after stop"
fi
pid=
echo "virtual-pcscd: ok"
