#!/bin/bash
# Runs the tray test program under Wine in the test bed, serving its
# screenshot requests from the bed's display, then checks the screenshots
# are not blank. Exit 77 when no test bed can be built here.
#   tray_bed.sh <testbed.sh> <vesk_sim> <config> <shots dir> <test.exe> [gtest args...]
set -u
testbed=$1 sim=$2 config=$3 shots=$4 exe=$5
shift 5
[ -x "$sim" ] || { echo "SKIP: no native vesk_sim at $sim"; exit 77; }
mkdir -p "$shots"
rm -f "$shots"/*.req "$shots"/*.done "$shots"/browser.txt
export VESK_TRAY_SHOTS=$shots
export PYTHONPATH="$(cd "$(dirname "$0")/../.." && pwd)/pylib${PYTHONPATH:+:$PYTHONPATH}"   # vesktools
# Serves "<name>.req" with "<name>.png" of the whole screen, then "<name>.done".
serve='while :; do
  for r in "$VESK_TRAY_SHOTS"/*.req; do
    [ -e "$r" ] || continue
    n=${r%.req}
    import -window root "$n.png" 2>/dev/null
    mv "$r" "$n.done"
  done
  sleep 0.1
done'
# A Japanese system links its CJK font to the dialog font; this prefix gets
# the same link to the installed IPA Gothic, so that screenshots show the
# Japanese texts as a user sees them (without it they show as boxes).
prefix_opt=()
cache=${VESK_TESTBED_CACHE:-/tmp/vesk-testbed-cache}/wine
if [ -f "$cache/.ready" ] && fc-list | grep -q ipag.ttf; then
    prefix=$shots/wineprefix
    rm -rf "$prefix"
    cp -al "$cache" "$prefix"
    for f in "$prefix"/*.reg; do cp --remove-destination "$cache/$(basename "$f")" "$f"; done
    sed -i 's|^"Tahoma"=str(7):"|"Tahoma"=str(7):"ipag.ttf,IPAGothic\\0|' "$prefix/system.reg"
    prefix_opt=(--wineprefix "$prefix")
fi
record=$shots/record.jsonl
"$testbed" run --quiet --sim "$sim" --config "$config" --record "$record" --wine "${prefix_opt[@]}" \
    --alongside "$serve" -- "$exe" "$@"
rc=$?
[ -n "${prefix:-}" ] && rm -rf "$prefix"
[ $rc -eq 0 ] || exit $rc
# A board that dropped a datagram for want of buffer fails the run.
python3 -m vesktools.bed --overflowed "$record" || exit 1
for done in "$shots"/*.done; do
    [ -e "$done" ] || continue
    png=${done%.done}.png
    # A blank screen has no variation at all.
    sd=$(convert "$png" -format '%[fx:standard_deviation]' info: 2>/dev/null)
    if [ -z "$sd" ] || awk -v s="$sd" 'BEGIN { exit !(s < 0.01) }'; then
        echo "FAILED: screenshot $png is blank or unreadable (sd=$sd)"
        exit 1
    fi
    echo "screenshot $png: standard deviation $sd"
done
exit 0
