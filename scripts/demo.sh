#!/bin/bash
# make demo: two simulated boards on a virtual network link, played end to
# end by vesk_test.exe (the x64 Windows build, under Wine) through vesk.dll,
# then what the boards received. Needs root for the network namespaces.
#   scripts/demo.sh
#   scripts/demo.sh --snapshot DIR   (internal: runs beside vesk_test.exe and
#                                     saves the display between passes 2 and 3)
set -uo pipefail
case "${1:-}" in
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    ""|--snapshot) ;;
    *) echo "usage: scripts/demo.sh" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

config=tools/vesk_sim/examples/demo.toml
sim=build/linux/bin/vesk_sim

if [ "${1:-}" = --snapshot ]; then
    # Waits for the 16 display writes of the second pass to reach the board,
    # then has the simulator dump its state during the one-second pause.
    for _ in $(seq 300); do
        n=$(grep -c '"name":"i2c_write".*"i2c_addr":60' "$VESK_SIM_RECORD" 2>/dev/null)
        [ "${n:-0}" -ge 32 ] && break
        sleep 0.05
    done
    sleep 0.3
    kill -USR1 "$VESK_SIM_PID" && sleep 0.2 && cp "$VESK_SIM_DUMP_DIR/board0-display-3c.pbm" "$2/"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "make demo needs root to build its virtual network (network namespaces): run 'sudo make demo'"
    exit 1
fi

if [ -t 1 ]; then B=$'\e[1m' D=$'\e[2m' N=$'\e[0m'; else B= D= N=; fi
step() { echo; echo "${B}== $*${N}"; }
note() { echo "${D}$*${N}"; }
started=$SECONDS

step "1/4 Prerequisites"
scripts/install-deps.sh || exit 1
if ! why=$(tools/testbed/testbed.sh check 2>&1); then
    echo "no virtual network can be built here: $why"
    exit 1
fi
echo "packages present, network namespaces available"
# Only x64 programs run here, so the demo works whether or not this kernel
# runs 32-bit programs.
. cmake/wine-select.sh
if ! vesk_wine_select; then
    echo "Wine cannot run here"
    exit 1
fi
if [ "$VESK_WINE_MODE" = win64 ]; then
    echo "Wine: 64-bit programs only ($VESK_WINE_WHY), which is all the demo needs"
fi

step "2/4 Build (the simulator natively, vesk_test.exe and vesk.dll for Windows x64)"
log=build/demo-build.log
mkdir -p build
: > "$log"
build() {  # preset, targets...
    local preset=$1; shift
    if ! [ -f "build/$preset/build.ninja" ]; then
        cmake --preset "$preset" >> "$log" 2>&1 || return 1
    fi
    cmake --build "build/$preset" -j2 --target "$@" >> "$log" 2>&1
}
t=$SECONDS
if ! build linux vesk_sim || ! build win64 vesk_test vesk box_dismisser; then
    echo "build failed; the end of $log:"
    tail -20 "$log"
    exit 1
fi
echo "built in $((SECONDS - t)) s (log: $log)"
bin=build/win64/bin

step "3/4 Run vesk_test.exe against two simulated boards"
note "The boards (from $config), each on its own IPv6 link-local address:"
python3 scripts/demo_show.py boards "$config"
note "vesk_test.exe loads vesk.dll, which finds the boards by multicast, asks them"
note "what they hold, then the program lists it all, talks to the first board's"
note "I2C bus and opens a YM2151 and a YM2149 at 4 MHz. Its \"pause\" is answered"
note "with Enter. Its output:"
echo
work=$(mktemp -d /tmp/vesk-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/dump" "$work/snap"
cp "$bin/vesk_test.exe" "$bin/vesk.dll" "$bin/box_dismisser.exe" "$work/"
winpath() { echo "Z:${1//\//\\}"; }
alongside="wine $(winpath "$work/box_dismisser.exe") '$(winpath "$work/boxes.txt")' & $PWD/scripts/demo.sh --snapshot $work/snap; wait"
t=$SECONDS
echo | timeout 180 tools/testbed/testbed.sh run --quiet --sim "$sim" --config "$config" --wine \
    --record "$work/record.jsonl" --dump-dir "$work/dump" --alongside "$alongside" \
    -- "$work/vesk_test.exe" > "$work/out.txt" 2> "$work/bed.txt"
rc=$?
tr -d '\r' < "$work/out.txt" | sed 's/^/  │ /'
echo
if [ $rc -ne 0 ]; then
    echo "vesk_test.exe or the test bed failed (exit code $rc):"
    sed 's/^/  /' "$work/bed.txt" | tail -20
    exit 1
fi
out=$(tr -d '\r' < "$work/out.txt")
nboards=$(sed -n 's/^\[ボードの数 = \(.*\)\]$/\1/p' <<< "$out")
nchips=$(sed -n 's/^\[チップの数 = \(.*\)\]$/\1/p' <<< "$out")
opened=$(grep -c '^chip[01] name = ' <<< "$out")
echo "${B}vesk_test.exe found ${nboards:-?} boards and ${nchips:-?} chips, opened $opened of its 2 chips${N}, and exited with 0"
echo "after $((SECONDS - t)) s (network set-up and Wine start included)."
if [ -s "$work/boxes.txt" ]; then
    echo "message boxes it showed (clicked away):"
    sed 's/^/  /' "$work/boxes.txt"
fi

step "4/4 What the boards received"
note "Commands per board, by kind and by slot (vesk_sim --summary of the simulator's record):"
"$sim" --summary "$work/record.jsonl" | sed 's/^/  /'
note "At start-up the library resets every slot and writes each chip silent (write_reg,"
note "write_port); the YM2149's last set_clock is vesk_test opening it at 4 MHz. Syncs,"
note "waits and keep-alives time the stream; i2c_* are the program's I2C exercise."
echo
note "Output attenuator of VESK-DEMO-A (I2C 0x28), configured to start at level 20 on both channels:"
python3 scripts/demo_show.py attenuator "$work/record.jsonl" VESK-DEMO-A "$work/dump/board0-attenuator.txt"
echo
note "Display of VESK-DEMO-A (I2C 0x3C, 128 x 64 pixels, one character = 4 x 8 pixels):"
python3 scripts/demo_show.py passes "$work/record.jsonl" VESK-DEMO-A 0x3C
panels=()
if [ -f "$work/snap/board0-display-3c.pbm" ]; then
    panels+=("after pass 2 (0xFF)" "$work/snap/board0-display-3c.pbm")
fi
panels+=("at the end (pass 3, 0x00)" "$work/dump/board0-display-3c.pbm")
python3 scripts/demo_show.py display "${panels[@]}"
echo
echo "${B}Done in $((SECONDS - started)) s.${N} The virtual network and the simulator are gone."
note "Next: 'make test' builds every configuration and runs all suites; tools/vesk_sim/README.md"
note "explains the simulator and the test bed."
exit 0
