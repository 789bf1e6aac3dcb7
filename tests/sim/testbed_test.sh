#!/bin/bash
# The test bed with each ready-made topology, the probe host finding and
# measuring the boards; and its teardown when the command fails or the run
# is interrupted.
#   testbed_test.sh [--wine] <vesk_sim> <vesk_probe[.exe]>
# Exit 77 (skip) when the test bed cannot be built here, or the probe is a
# program this machine cannot run under Wine.
set -u
wine=()
if [ "${1:-}" = --wine ]; then wine=(--wine); shift; fi
sim=$1 probe=$2
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tb=$root/tools/testbed/testbed.sh

reason=$("$tb" check 2>&1) || { echo "$reason"; exit 77; }
[ -x "$sim" ] || { echo "SKIP: no native simulator at $sim"; exit 77; }
if [ ${#wine[@]} -gt 0 ]; then
    "$root/cmake/wine-select.sh" runnable "$probe" || exit 77
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run <topology> [round trips]: the probe's output in $out, the test bed's in $err.
run() {
    out=$("$tb" run "${wine[@]}" --sim "$sim" --topology "$1" -- "$probe" --rtt "${2:-200}" 2>/tmp/testbed_test.$$)
    rc=$?
    out=${out//$'\r'/}  # a Windows console ends lines with CR LF
    err=$(cat /tmp/testbed_test.$$)
    rm -f /tmp/testbed_test.$$
    echo "== $1 (exit $rc)"
    echo "$out"
    echo "$err" | grep -E 'host addresses up|board ' | sed 's/^/   /'
    [ "$rc" = 0 ] || fail "$1: exit $rc: $err"
}
expect() {  # expect <topology> <pattern>: a line of the probe's output matches
    echo "$out" | grep -qE "$2" || fail "$1: no line matching '$2'"
}
count() {  # count <topology> <pattern> <n>
    local n
    n=$(echo "$out" | grep -cE "$2")
    [ "$n" = "$3" ] || fail "$1: $n lines matching '$2', expected $3"
}

run one-board
count one-board '^link ' 1
expect one-board '^board fe80::5e5c:1 via fe80::76:68ff:fe00:1 name=VESK-ONE slots=2$'
expect one-board '^rtt fe80::5e5c:1 n=200 lost=0 '

run two-boards
expect two-boards '^link fe80::76:68ff:fe00:1 boards 2$'
expect two-boards '^board fe80::5e5c:1 .* name=VESK-A slots=1$'
expect two-boards '^board fe80::5e5c:2 .* name=VESK-B slots=2$'

run two-links
count two-links '^link .* boards 1$' 2
expect two-links '^board fe80::5e5c:1 via fe80::76:68ff:fe00:1 name=VESK-LINK0 '
expect two-links '^board fe80::5e5c:11 via fe80::76:68ff:fe00:101 name=VESK-LINK1 '

run no-chips
expect no-chips '^board fe80::5e5c:1 .* name=VESK-EMPTY slots=2$'

run discovery-only 5  # each unanswered sync costs the 200 ms time-out
expect discovery-only '^link fe80::76:68ff:fe00:1 boards 1$'
expect discovery-only '^board fe80::5e5c:1 .* name= slots=-1$'
expect discovery-only '^rtt fe80::5e5c:1 n=0 lost=5$'

if [ ${#wine[@]} = 0 ]; then
    # A failing command: its exit code comes back, nothing is left behind.
    "$tb" run --quiet --sim "$sim" --topology one-board -- sh -c 'exit 3' 2>/dev/null &
    pid=$!
    wait $pid
    rc=$?
    [ "$rc" = 3 ] || fail "failing command: exit $rc, expected 3"
    ip netns list | grep -q "vsk[hb]$pid" && fail "failing command: namespaces of $pid left behind"

    # An interrupted run: the command and the simulator end, namespaces go.
    "$tb" run --sim "$sim" --topology one-board -- sleep 60 2>/tmp/testbed_test.$$ &
    pid=$!
    for _ in $(seq 100); do grep -q 'running:' /tmp/testbed_test.$$ && break; sleep 0.1; done
    ip netns list | grep -q "vskh$pid" || fail "interrupted run: namespace vskh$pid not there while running"
    kill -TERM $pid
    wait $pid
    rc=$?
    rm -f /tmp/testbed_test.$$
    [ "$rc" = 143 ] || fail "interrupted run: exit $rc, expected 143"
    ip netns list | grep -q "vsk[hb]$pid" && fail "interrupted run: namespaces of $pid left behind"
    pgrep -f "vsk.$pid" >/dev/null && fail "interrupted run: processes of $pid left behind"

    # A configuration error stops the run before anything is built.
    bad=$(mktemp /tmp/testbed_bad.XXXXXX.toml)
    printf '[[board]]\nlink = "vb0"\naddress = "fe80::1"\nbogus = 1\n' > "$bad"
    msg=$("$tb" run --sim "$sim" --config "$bad" -- true 2>&1)
    rc=$?
    rm -f "$bad"
    [ "$rc" = 2 ] || fail "bad configuration: exit $rc, expected 2"
    echo "$msg" | grep -q ':4: board\[0\].bogus: unknown key' || fail "bad configuration: message was: $msg"
fi

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
