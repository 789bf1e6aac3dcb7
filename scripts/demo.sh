#!/bin/bash
# make demo: music from a simulated board. Two simulated boards on a virtual
# network link; vesk_test.exe (the x64 Windows build, under Wine) lists what
# the library finds, then vesk_play.exe plays the project's demo tune through
# vesk.dll to the board with its chips; then what the boards received, how
# close to the file's timing they played it, the player's CPU share while it
# played, and the music itself: the
# board's playing rendered to build/demo/demo.wav, and build/demo/demo.png,
# the spectrograms of the tune and of what the board played. Needs root for
# the network namespaces.
#   scripts/demo.sh
set -uo pipefail
case "${1:-}" in
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    "") ;;
    *) echo "usage: scripts/demo.sh" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
export PYTHONPATH="$PWD/pylib${PYTHONPATH:+:$PYTHONPATH}"   # the tools' package (vesktools)

config=tools/vesk_sim/examples/demo.toml
sim=build/linux/bin/vesk_sim
render=build/linux/bin/vgm_render
out=build/demo

if [ "$(id -u)" -ne 0 ]; then
    echo "make demo needs root to build its virtual network (network namespaces): run 'sudo make demo'"
    exit 1
fi

if [ -t 1 ]; then B=$'\e[1m' D=$'\e[2m' N=$'\e[0m'; else B= D= N=; fi
step() { echo; echo "${B}== $*${N}"; }
note() { echo "${D}$*${N}"; }
started=$SECONDS

step "1/5 Prerequisites"
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

step "2/5 Build (the simulator and the renderer natively, vesk_test.exe, vesk_play.exe and vesk.dll for Windows x64)"
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
if ! build linux vesk_sim vgm_render || ! build win64 vesk_test vesk_play vesk box_dismisser; then
    echo "build failed; the end of $log:"
    tail -20 "$log"
    exit 1
fi
echo "built in $((SECONDS - t)) s (log: $log)"
bin=build/win64/bin

step "3/5 The boards, as vesk_test.exe sees them"
note "Simulated from $config, each on its own IPv6 link-local address. vesk_test.exe"
note "loads vesk.dll, which finds them by multicast and asks what they hold; it"
note "also sets the first board's attenuator, draws on its display and opens"
note "its YM2151 and YM2149 (its \"pause\" is answered with Enter)."
work=$(mktemp -d /tmp/vesk-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$bin/vesk_test.exe" "$bin/vesk_play.exe" "$bin/vesk.dll" "$bin/box_dismisser.exe" "$work/"
winpath() { echo "Z:${1//\//\\}"; }
t=$SECONDS
echo | timeout 180 tools/testbed/testbed.sh run --quiet --sim "$sim" --config "$config" --wine \
    --alongside "wine $(winpath "$work/box_dismisser.exe") '$(winpath "$work/boxes.txt")'" \
    -- "$work/vesk_test.exe" > "$work/test-out.txt" 2> "$work/test-bed.txt"
rc=$?
if [ $rc -ne 0 ]; then
    echo "vesk_test.exe or the test bed failed (exit code $rc):"
    tr -d '\r' < "$work/test-out.txt" | tail -20
    sed 's/^/  /' "$work/test-bed.txt" | tail -20
    exit 1
fi
tr -d '\r' < "$work/test-out.txt" | python3 scripts/demo_show.py listing
echo "vesk_test.exe exited with 0 after $((SECONDS - t)) s (network set-up and Wine start included)."
if [ -s "$work/boxes.txt" ]; then
    echo "message boxes it showed (clicked away):"
    sed 's/^/  /' "$work/boxes.txt"
fi

step "4/5 vesk_play.exe plays the demo tune"
mkdir -p "$out"
python3 scripts/make_demo_tune.py "$out/tune.vgm" | sed 's/^/  /'
note "A tune this project composes (scripts/make_demo_tune.py): FM melody and bass"
note "on the YM2612, a PSG part on the SN76489, drums on the YM2612's DAC. vesk_play.exe"
note "takes the chips it needs from the boards found and plays it in real time:"
echo
# Beside it, a sampler of the player's CPU time: every 50 ms the user and
# system time of vesk_play.exe's process (all its threads: the program, the
# library and Wine's code running in it) from /proc. wineserver and Wine's
# other processes are not counted.
python3 scripts/demo_show.py sampler > "$work/sampler.py"
t=$SECONDS
timeout 120 tools/testbed/testbed.sh run --quiet --sim "$sim" --config "$config" --wine \
    --record "$work/record.jsonl" --alongside "python3 $work/sampler.py $work/record.jsonl $work/cpu.txt" \
    -- "$work/vesk_play.exe" --report "$(winpath "$work/report.json")" --write-times "$(winpath "$work/times.txt")" \
    "$(winpath "$PWD/$out/tune.vgm")" \
    2> "$work/play-bed.txt"
rc=$?
echo
if [ $rc -ne 0 ]; then
    echo "vesk_play.exe or the test bed failed (exit code $rc):"
    sed 's/^/  /' "$work/play-bed.txt" | tail -20
    exit 1
fi
echo "vesk_play.exe exited with 0 after $((SECONDS - t)) s."

step "5/5 What the boards played"
note "Commands per board, by kind and by slot (vesk_sim --summary of the simulator's record):"
"$sim" --summary "$work/record.jsonl" | sed 's/^/  /'
echo
note "Timing: each write's time at the board (its datagram's arrival plus the waits"
note "before it) against its time in the file, after aligning the first write, and"
note "against the time vesk_play.exe gave the library for it (the transport's part); and"
note "vesk_play.exe's CPU share while the tune played:"
python3 scripts/demo_show.py fidelity "$work/record.jsonl" "$work/report.json" "$out/tune.vgm" "$config" \
    "$work/times.txt" "$work/cpu.txt"
echo
# The board's recording from the tune's first write on (the library's
# start-up writes to the chips cut), so that it lines up with the file.
mkdir -p "$work/vgm"
python3 scripts/demo_show.py cut "$work/record.jsonl" "$work/report.json" "$work/tune-record.jsonl" &&
    "$sim" --vgm "$work/vgm" --config "$config" --from-record "$work/tune-record.jsonl" > "$work/vgm.txt" 2>&1
played=$work/vgm/board1.vgm
seconds=$(python3 -c 'import struct,sys; b=open(sys.argv[1],"rb").read(); print("%.1f" % (struct.unpack_from("<I", b, 0x18)[0] / 44100 + 0.5))' "$out/tune.vgm")
if ! [ -f "$played" ] || ! "$render" "$played" "$out/demo.wav" --seconds "$seconds" > "$work/render.txt" 2>&1 \
        || ! "$render" "$out/tune.vgm" "$work/tune.wav" --seconds "$seconds" >> "$work/render.txt" 2>&1; then
    echo "the board's recording could not be rendered:"
    cat "$work/vgm.txt" "$work/render.txt" | sed 's/^/  /'
    exit 1
fi
# The two renders as the channels of one file: sox draws one spectrogram per
# channel, the tune above, the board's playing below, on one time axis.
sox -M "$work/tune.wav" "$out/demo.wav" "$work/both.wav" remix 1,2 3,4 2> /dev/null
sox "$work/both.wav" -n rate 22050 spectrogram -x 1200 -y 257 -z 90 \
    -t "vesk demo: the tune (top) and what VESK-DEMO-B played (bottom)" -c "" -o "$out/demo.png"
echo
echo "${B}Done in $((SECONDS - started)) s.${N} The virtual network and the simulator are gone."
echo "  $out/demo.wav  what VESK-DEMO-B played, ${seconds} s (the simulator's recording, rendered by libgme)"
echo "  $out/demo.png  spectrograms: the tune as composed (top) and as the board played it (bottom)"
echo "  $out/tune.vgm  the tune as composed"
note "Next: 'make test' builds every configuration and runs all suites; 'make fidelity' plays"
note "excerpts of real songs and measures them; tools/vesk_sim/README.md explains the simulator."
exit 0
