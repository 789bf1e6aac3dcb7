#!/bin/bash
# Network test bed: simulated boards and a host in network namespaces of
# their own, joined by veth links, so that the library talks to boards over
# real IPv6 link-local UDP exactly as it would on a LAN.
#
#   testbed.sh run [options] -- <command> [args...]
#   testbed.sh check          exit 0 when a test bed can be built here, 77 when not
#   testbed.sh topologies     list the ready-made topologies
#   testbed.sh clean          remove what runs killed with SIGKILL left behind
#   testbed.sh --help         this text (a usage error prints it to standard
#                             error and exits 2)
#
# Options of run:
#   --config FILE        simulator configuration (the boards and their links)
#   --topology NAME      a ready-made configuration from topologies/ instead
#   --record FILE        the simulator's record (default: in the work directory)
#   --dump-dir DIR       where the simulator dumps registers, display and
#                        attenuator at the end (and on SIGUSR1)
#   --sim PATH           vesk_sim binary (default $VESK_SIM, else the build's or the
#                        installed one)
#   --wine               run the command under Wine: a prefix of its own, and a
#                        wineserver and an Xvfb display started inside the host
#                        namespace (Wine's sockets live in wineserver); Wine is
#                        started as cmake/wine-select.sh decides, and a program
#                        this machine cannot run (32-bit where the kernel runs
#                        no 32-bit programs) is a skip (77), not attempted
#   --wineprefix DIR     use this prefix for --wine (default: a per-run copy of a
#                        cached one, made on first use, ~20 s)
#   --workdir DIR        keep the run's files there (default: a temporary
#                        directory, removed at the end)
#   --quiet              no progress lines
#   --alongside CMD      run the shell command CMD beside the command, in the
#                        same namespace and environment (under --wine with its
#                        wineserver and display); it is ended with the command
#   --before CMD         run the shell command CMD in the host namespace, and
#                        wait for it, before the command starts; what it leaves
#                        running (a process holding a port) is ended with the bed
#   --through CMD        start the command through CMD (words split on blanks, the
#                        command appended), under --wine outside Wine: a driver
#                        of the terminal the program runs on, which Wine turns
#                        into the program's console
#
# Topology: every distinct "link" of the configuration, in order of first
# appearance, becomes veth pair i: the host end "vh<i>" in the host
# namespace with MAC 02:76:68:00:<i>:01 (so its link-local address is
# fe80::76:68ff:fe00:<i>01, i in hex), the board end named as in the
# configuration in the boards' namespace. Addresses are added without
# duplicate address detection (DAD) at both ends, as no other node is on the
# links; a test that wants it back turns accept_dad on for its link.
#
# The command runs in the host namespace with these in its environment
# (tools/testbed/testbed_env.h reads them for C++ tests):
#   VESK_TESTBED_LINKS     host link names, space-separated ("vh0 vh1")
#   VESK_TESTBED_HOSTS     host link-local addresses, same order
#   VESK_TESTBED_BOARD_ADDRS  board addresses, space-separated, configuration order
#   VESK_TESTBED_BOARD_LINKS  the host link of each of them, same order
#   VESK_TESTBED_BOARDS    file: one line per board, "<host link> <address> <name>"
#   VESK_SIM_CONFIG, VESK_SIM_RECORD, VESK_SIM_DUMP_DIR, VESK_SIM_PID
#                          (VESK_SIM_PID takes SIGUSR1: dump the state now)
# Progress and the board addresses go to standard error; standard output is
# the command's own. The exit code is the command's; 77 when the test bed
# cannot be built here (not root, no network namespaces), which ctest takes
# as a skip; 2 when the simulator refuses the configuration; 1 when the test
# bed itself failed.
set -u

here=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)
repo=$(cd "$here/../.." && pwd)

say() { [ "$quiet" = 1 ] || echo "testbed: $*" >&2; }
die() { echo "testbed: $*" >&2; exit 1; }
skip() { echo "testbed: SKIP: $*" >&2; exit 77; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

can_build() {
    [ "$(id -u)" = 0 ] || { echo "needs root for network namespaces"; return 1; }
    command -v ip >/dev/null || { echo "the ip command (iproute2) is missing"; return 1; }
    local probe="vskprobe$$"
    ip netns add "$probe" 2>/dev/null || { echo "cannot create network namespaces here"; return 1; }
    if ! ip -n "$probe" link add vskp0 type veth peer name vskp1 2>/dev/null; then
        ip netns del "$probe"
        echo "cannot create veth links here"
        return 1
    fi
    ip netns del "$probe"
    if [ ! -e /proc/sys/net/ipv6 ]; then echo "IPv6 is disabled"; return 1; fi
    return 0
}

# Namespaces are named vskh<pid> / vskb<pid> after the run's process; those
# whose run is gone (killed with SIGKILL, so no trap ran) are removed along
# with what still runs in them.
clean_stale() {
    local ns pid
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^vsk[hb][0-9]+$'); do
        pid=${ns#vsk?}
        kill -0 "$pid" 2>/dev/null && continue
        for p in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
        ip netns del "$ns" 2>/dev/null && echo "testbed: removed stale namespace $ns" >&2
    done
}

usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}"; }

cmd=${1:-}
shift || true
quiet=0
case "$cmd" in
    -h|--help)
        usage
        exit 0 ;;
    clean)
        [ "$(id -u)" = 0 ] || skip "needs root for network namespaces"
        clean_stale
        exit 0 ;;
    check)
        reason=$(can_build) || skip "$reason"
        echo "testbed: usable" >&2
        exit 0 ;;
    topologies)
        for f in "$here"/topologies/*.toml; do
            printf '%-16s %s\n' "$(basename "$f" .toml)" "$(sed -n '1s/^# *//p' "$f")"
        done
        exit 0 ;;
    run) ;;
    *) usage >&2; exit 2 ;;
esac

config= record= dumpdir= sim=${VESK_SIM:-} wine=0 wineprefix= workdir= keep=0 alongside= before= through=
while [ $# -gt 0 ]; do
    case "$1" in
        --config) config=$2; shift 2 ;;
        --topology) config=$here/topologies/$2.toml; shift 2 ;;
        --record) record=$2; shift 2 ;;
        --dump-dir) dumpdir=$2; shift 2 ;;
        --sim) sim=$2; shift 2 ;;
        --wine) wine=1; shift ;;
        --wineprefix) wineprefix=$2; shift 2 ;;
        --workdir) workdir=$2; keep=1; shift 2 ;;
        --quiet) quiet=1; shift ;;
        --alongside) alongside=$2; shift 2 ;;
        --before) before=$2; shift 2 ;;
        --through) through=$2; shift 2 ;;
        --) shift; break ;;
        -h|--help) usage; exit 0 ;;
        *) echo "testbed: unknown option $1 (testbed.sh --help)" >&2; exit 2 ;;
    esac
done
[ $# -gt 0 ] || { echo "testbed: no command given (testbed.sh run [options] -- <command>)" >&2; exit 2; }
[ -n "$config" ] || { echo "testbed: no --config or --topology given" >&2; exit 2; }
[ -f "$config" ] || die "$config: no such configuration"
config=$(cd "$(dirname "$config")" && pwd)/$(basename "$config")
# Installed (the Linux package), the simulator is beside the bed's folder.
[ -n "$sim" ] || { sim=$repo/build/linux/bin/vesk_sim; [ -x "$here/../vesk_sim" ] && sim=$here/../vesk_sim; }
[ -x "$sim" ] || die "$sim: simulator not built (cmake --build build/linux --target vesk_sim)"

if [ "$wine" = 1 ]; then
    . "$repo/cmake/wine-select.sh"
    vesk_wine_select || die "Wine cannot run here"
    reason=$(vesk_wine_runnable "$1") || skip "$(basename "$1"): $reason"
fi
reason=$(can_build) || skip "$reason"
clean_stale

# Validate before building anything; the simulator names file, line and key.
boards=$("$sim" --list-boards "$config") || exit 2

if [ -z "$workdir" ]; then workdir=$(mktemp -d /tmp/vesk-testbed.XXXXXX); else mkdir -p "$workdir"; fi
workdir=$(cd "$workdir" && pwd)
[ -n "$record" ] || record=$workdir/record.jsonl
[ -n "$dumpdir" ] || dumpdir=$workdir/dump
mkdir -p "$dumpdir" "$(dirname "$record")"
record=$(cd "$(dirname "$record")" && pwd)/$(basename "$record")
dumpdir=$(cd "$dumpdir" && pwd)

hns=vskh$$ bns=vskb$$
simpid= cmdpid=
cleanup() {
    local rc=$?
    trap - EXIT INT TERM HUP
    [ -n "$cmdpid" ] && kill -TERM "$cmdpid" 2>/dev/null
    if [ -n "$simpid" ]; then
        kill -TERM "$simpid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$simpid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$simpid" 2>/dev/null
    fi
    # Whatever still runs in our namespaces was started by this run
    # (wineserver, Xvfb, children of the command).
    for ns in "$hns" "$bns"; do
        if ip netns list 2>/dev/null | grep -qw "$ns"; then
            for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -TERM "$pid" 2>/dev/null; done
            sleep 0.2
            for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
            ip netns del "$ns" 2>/dev/null
        fi
    done
    [ "$keep" = 1 ] || rm -rf "$workdir"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

ip netns add "$hns" || die "cannot create namespace $hns"
ip netns add "$bns" || die "cannot create namespace $bns"
ip -n "$hns" link set lo up
ip -n "$bns" link set lo up
# The host ends take their addresses without duplicate address detection:
# nobody else is on these links, and its probes held every run 1.6 s.
ip netns exec "$hns" sh -c 'for c in all default; do echo 0 > /proc/sys/net/ipv6/conf/$c/accept_dad; done' \
    || die "cannot turn off duplicate address detection in $hns"

# One veth pair per distinct link, in order of first appearance.
links=()
declare -A hostof
while read -r link addr name; do
    if [ -z "${hostof[$link]:-}" ]; then
        i=${#links[@]}
        [ "$i" -lt 256 ] || die "too many links"
        links+=("$link")
        hostof[$link]=vh$i
        hex=$(printf '%02x' "$i")
        ip -n "$hns" link add "vh$i" address "02:76:68:00:$hex:01" type veth \
            peer name "$link" address "02:76:68:00:$hex:02" netns "$bns" || die "cannot create link vh$i/$link"
        # Host end: address from the fixed MAC (EUI-64), the way a PC's NIC
        # gets it. Board end: only the boards' own addresses.
        ip -n "$hns" link set "vh$i" addrgenmode eui64
        ip -n "$bns" link set "$link" addrgenmode none
        ip -n "$bns" link set "$link" up
        ip -n "$hns" link set "vh$i" up
    fi
    ip -n "$bns" -6 addr add "$addr/64" dev "$link" nodad || die "cannot add $addr to $link"
done <<< "$boards"

# Wait for the host ends' link-local addresses (none is tentative).
t0=$(now_ms)
hosts=()
for i in "${!links[@]}"; do
    for _ in $(seq 200); do
        out=$(ip -n "$hns" -6 addr show dev "vh$i" scope link 2>/dev/null)
        if echo "$out" | grep -q 'inet6 fe80' && ! echo "$out" | grep -q tentative; then break; fi
        sleep 0.02
    done
    echo "$out" | grep -q tentative && die "vh$i: DAD did not finish"
    hosts+=("$(echo "$out" | sed -n 's/.*inet6 \(fe80[^/]*\)\/.*/\1/p' | head -1)")
done
addr_ms=$(( $(now_ms) - t0 ))
say "host addresses up in ${addr_ms} ms"

boardfile=$workdir/boards.txt
: > "$boardfile"
while read -r link addr name; do
    h=${hostof[$link]}
    i=${h#vh}
    say "board $name $addr on $h (host ${hosts[$i]})"
    echo "$h $addr $name" >> "$boardfile"
done <<< "$boards"

rm -f "$workdir/sim.ready"
# The simulator stands in for a board, which has a processor of its own: it
# runs before the host's programs, so that a busy host delays what the host
# sends, never when the stand-in takes it. Starved beside a busy player
# under Wine, it took datagrams late, its buffer looked fuller than the
# board's would be, and datagrams were dropped that a board would have kept.
ip netns exec "$bns" nice -n -15 "$sim" --config "$config" --record "$record" --dump-dir "$dumpdir" \
    --ready-file "$workdir/sim.ready" --quiet > "$workdir/sim.log" 2>&1 &
simpid=$!
for _ in $(seq 100); do
    [ -s "$workdir/sim.ready" ] && break
    kill -0 "$simpid" 2>/dev/null || break
    sleep 0.05
done
if ! [ -s "$workdir/sim.ready" ]; then
    cat "$workdir/sim.log" >&2
    die "simulator did not start"
fi

VESK_TESTBED_LINKS=$(for i in "${!links[@]}"; do printf 'vh%s ' "$i"; done)
export VESK_TESTBED_LINKS=${VESK_TESTBED_LINKS% }
export VESK_TESTBED_HOSTS="${hosts[*]}"
export VESK_TESTBED_BOARDS=$boardfile
VESK_TESTBED_BOARD_ADDRS=$(awk '{printf "%s ", $2}' "$boardfile")
VESK_TESTBED_BOARD_LINKS=$(awk '{printf "%s ", $1}' "$boardfile")
export VESK_TESTBED_BOARD_ADDRS=${VESK_TESTBED_BOARD_ADDRS% } VESK_TESTBED_BOARD_LINKS=${VESK_TESTBED_BOARD_LINKS% }
export VESK_SIM_CONFIG=$config VESK_SIM_RECORD=$record VESK_SIM_DUMP_DIR=$dumpdir VESK_SIM_PID=$simpid

if [ "$wine" = 1 ]; then
    if [ -z "$wineprefix" ]; then
        # A cached prefix made once, copied per run with hard links (the
        # registry files are written, so they are real copies).
        cache=${VESK_TESTBED_CACHE:-/tmp/vesk-testbed-cache}
        mkdir -p "$cache"
        (flock 9
         if ! [ -f "$cache/wine/.ready" ]; then
             say "making the cached Wine prefix (once)"
             rm -rf "$cache/wine"
             WINEPREFIX=$cache/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
             WINEPREFIX=$cache/wine wineserver -w
             touch "$cache/wine/.ready"
         fi) 9>"$cache/wine.lock"
        wineprefix=$workdir/wine
        cp -al "$cache/wine" "$wineprefix" || die "cannot copy the Wine prefix"
        for f in "$wineprefix"/*.reg; do cp --remove-destination "$cache/wine/$(basename "$f")" "$f"; done
    fi
    export WINEPREFIX=$wineprefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
    # A display number nobody uses; the X socket's abstract name belongs to
    # the namespace, so Xvfb runs in it too.
    disp=$(( 200 + $$ % 700 ))
    while [ -e "/tmp/.X$disp-lock" ]; do disp=$((disp + 1)); done
    runner=(bash -c '
        Xvfb ":$1" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
        xpid=$!
        for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$1" ] && break; sleep 0.05; done
        export DISPLAY=":$1"
        shift
        wineserver -p >/dev/null 2>&1 </dev/null
        if [ -n "$VESK_TESTBED_ALONGSIDE" ]; then bash -c "$VESK_TESTBED_ALONGSIDE" & apid=$!; fi
        $VESK_TESTBED_THROUGH wine "$@"
        rc=$?
        [ -n "${apid:-}" ] && { kill "$apid" 2>/dev/null; wait "$apid" 2>/dev/null; }
        wineserver -k >/dev/null 2>&1
        kill "$xpid" 2>/dev/null
        exit $rc' testbed-wine "$disp")
elif [ -n "$alongside" ]; then
    runner=(bash -c '
        bash -c "$VESK_TESTBED_ALONGSIDE" & apid=$!
        $VESK_TESTBED_THROUGH "$@"
        rc=$?
        kill "$apid" 2>/dev/null; wait "$apid" 2>/dev/null
        exit $rc' testbed-alongside)
else
    read -r -a runner <<< "$through"
fi
export VESK_TESTBED_ALONGSIDE=$alongside VESK_TESTBED_THROUGH=$through

if [ -n "$before" ]; then
    ip netns exec "$hns" bash -c "$before" || die "the --before command failed"
fi
say "running: $*"
t0=$(now_ms)
ip netns exec "$hns" "${runner[@]}" "$@" &
cmdpid=$!
wait "$cmdpid"
rc=$?
cmdpid=
say "command exited with $rc after $(( $(now_ms) - t0 )) ms"

kill -TERM "$simpid" 2>/dev/null
wait "$simpid" 2>/dev/null
simpid=
if grep -q . "$workdir/sim.log"; then sed 's/^/testbed: sim: /' "$workdir/sim.log" >&2; fi
exit "$rc"
