#!/bin/bash
# Pictures of the tray for the user guide, taken from the real thing: two
# simulated boards on the test bed (tools/vesk_sim/examples/demo.toml),
# vesk_play.exe playing the project's demo tune to the second one under Wine,
# and xdotool clicking the library's tray icons on the bed's display. Writes
# tray-icons.png, tray-menu.png, board-info.png, delay-dialog.png and
# volume-dialog.png, each cropped to what it shows and reduced to a palette.
# Needs root (network namespaces); exit 77 when no test bed can be built.
#   scripts/tray_screenshots.sh [--build DIR] [--sim PATH] [--out DIR]
#     --build  the Windows build tree with vesk.dll and vesk_play.exe (build/win64)
#     --sim    the native simulator (build/linux/bin/vesk_sim)
#     --out    where the pictures go (docs/images)
set -uo pipefail
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; }

# ---------------------------------------------------------------- driver
# Runs inside the test bed beside the player, on its display:
#   tray_screenshots.sh --drive <work dir> <out dir>
if [ "${1:-}" = --drive ]; then
    work=$2 out=$3
    log() { echo "tray_screenshots: $*" >> "$work/drive.log"; }
    # Waits up to 20 s for a window titled exactly $1; prints its id.
    window() {
        local id
        for _ in $(seq 200); do
            id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
            [ -n "$id" ] && { echo "$id"; return 0; }
            sleep 0.1
        done
        log "no window '$1'"
        return 1
    }
    # Saves the screen cropped to $2 (WxH+X+Y) as $out/$1.png with a small
    # palette. With "desktop" as $3, the crop is trimmed to what is not the
    # display's black background, and the background left around and between
    # the windows becomes a desktop's blue (flooded from the corner, so that
    # black text stays black).
    shot() {
        sleep 0.6  # let the window finish painting
        import -window root "$work/screen.png" 2>/dev/null
        local look=()
        [ "${3:-}" = desktop ] && look=(-bordercolor black -border 1 -trim +repage -bordercolor black -border 6
                                        -fill '#3a6ea5' -draw 'color 0,0 floodfill')
        convert "$work/screen.png" -crop "$2" +repage "${look[@]}" -strip -dither None -colors 64 "PNG8:$out/$1.png"
        log "$1.png $(identify -format '%wx%h' "$out/$1.png")"
    }
    geometry() {  # the window's WxH+X+Y
        eval "$(xdotool getwindowgeometry --shell "$1")"
        echo "${WIDTH}x${HEIGHT}+$X+$Y"
    }
    # Opens icon $1's menu and chooses item $2 (1-based) with the keyboard.
    choose() {
        xdotool mousemove "$((ix + 20 * $1))" "$iy" click 3
        sleep 1
        for _ in $(seq "$2"); do xdotool key Down; sleep 0.1; done
        xdotool key Return
    }
    # Closes dialog $1 with Escape (each of them takes it as Cancel or Close).
    dismiss() {
        xdotool key Escape
        for _ in $(seq 50); do
            xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
            sleep 0.1
        done
        log "'$1' stayed open"
    }
    tray=$(window "Wine System Tray") || exit 1
    # Away from the screen's corner, so that the menu and the dialogs, which
    # open centred on the pointer, fit on the screen.
    xdotool windowmove "$tray" 420 40
    sleep 0.5
    eval "$(xdotool getwindowgeometry --shell "$tray")"
    # The icons, 20 pixels apart, fill the row under the window's title bar:
    # (ix, iy) is the first one's centre.
    ix=$((X + 12)) iy=$((Y + HEIGHT - 12))
    sleep 3  # the tune has begun: the playing board's icon blinks
    xdotool mousemove "$((ix + 20))" "$iy"
    sleep 2.5  # the tooltip
    shot tray-icons "300x50+$((ix - 14))+$((iy - 12))" desktop
    xdotool click 3
    sleep 1
    shot tray-menu "300x160+$((ix - 14))+$((iy - 12))" desktop
    xdotool key Escape
    sleep 0.5
    choose 1 1
    info=$(window "VESK Board Info.") && { sleep 1.5; shot board-info "$(geometry "$info")"; dismiss "VESK Board Info."; }
    choose 1 2
    delay=$(window "遅延設定") && { shot delay-dialog "$(geometry "$delay")"; dismiss "遅延設定"; }
    choose 0 3
    volume=$(window "出力ボリューム設定") && { shot volume-dialog "$(geometry "$volume")"; dismiss "出力ボリューム設定"; }
    log done
    exit 0
fi

# ---------------------------------------------------------------- main
cd "$(dirname "$0")/.."
export PYTHONPATH="$PWD/pylib${PYTHONPATH:+:$PYTHONPATH}"   # the tools' package (vesktools)
build=build/win64 sim=build/linux/bin/vesk_sim out=docs/images
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --build) build=$2; shift 2 ;;
        --sim) sim=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        *) usage >&2; exit 2 ;;
    esac
done
for tool in xdotool import convert identify; do
    command -v "$tool" >/dev/null || { echo "tray_screenshots: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
if ! why=$(tools/testbed/testbed.sh check 2>&1); then
    echo "tray_screenshots: SKIP: no test bed here: $why"
    exit 77
fi
bin=$build/bin
for f in "$bin/vesk.dll" "$bin/vesk_play.exe" "$sim"; do
    [ -e "$f" ] || { echo "tray_screenshots: $f is missing: build it first" >&2; exit 1; }
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d /tmp/vesk-shots.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$bin/vesk.dll" "$bin/vesk_play.exe" "$work/"
python3 scripts/make_demo_tune.py "$work/tune.vgm" >/dev/null || exit 1
config=tools/vesk_sim/examples/demo.toml

# The bed's cached Wine prefix is made by its first Wine run.
cache=${VESK_TESTBED_CACHE:-/tmp/vesk-testbed-cache}/wine
if ! [ -f "$cache/.ready" ]; then
    tools/testbed/testbed.sh run --quiet --sim "$sim" --config "$config" --wine -- "$work/vesk_play.exe" --help \
        >/dev/null || exit 1
fi
# A copy of it in which the dialog font falls back to IPA Gothic, as a
# Japanese system's does (the menu and two dialogs are in Japanese), and in
# which Wine draws the player's title bars itself: the bed's display has no
# window manager to draw them.
prefix=$work/wineprefix
cp -al "$cache" "$prefix"
for f in "$prefix"/*.reg; do cp --remove-destination "$cache/$(basename "$f")" "$f"; done
if fc-list | grep -q ipag.ttf; then
    sed -i 's|^"Tahoma"=str(7):"|"Tahoma"=str(7):"ipag.ttf,IPAGothic\\0|' "$prefix/system.reg"
else
    echo "tray_screenshots: no IPA Gothic font (fonts-ipafont-gothic): Japanese texts will show as boxes" >&2
fi
# Only the player's windows: the tray window, Wine's own, stays managed,
# so that Wine follows it when xdotool moves it.
printf '\n[Software\\\\Wine\\\\AppDefaults\\\\vesk_play.exe\\\\X11 Driver]\n"Managed"="N"\n' >> "$prefix/user.reg"

# Taken into the work directory: the pictures in out are replaced only when
# every one was made.
mkdir -p "$work/shots"
tools/testbed/testbed.sh run --quiet --sim "$sim" --config "$config" --wine --wineprefix "$prefix" \
    --alongside "bash '$PWD/scripts/tray_screenshots.sh' --drive '$work' '$work/shots'" \
    -- "$work/vesk_play.exe" --quiet --board fe80::5e5c:b "$work/tune.vgm" "$work/tune.vgm" > "$work/play.txt" 2>&1
rc=$?
cat "$work/drive.log" 2>/dev/null
missing=0
for name in tray-icons tray-menu board-info delay-dialog volume-dialog; do
    [ -s "$work/shots/$name.png" ] || { echo "tray_screenshots: $name.png was not made"; missing=1; }
done
if [ $rc -ne 0 ] || [ $missing -ne 0 ]; then
    echo "tray_screenshots: the player exited with $rc:"
    tr -d '\r' < "$work/play.txt" | tail -5
    exit 1
fi
cp "$work"/shots/*.png "$out/"
echo "tray_screenshots: pictures in $out"
