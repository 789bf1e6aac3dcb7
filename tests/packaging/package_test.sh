#!/bin/bash
# The packages as a user gets them (make dist):
#   zip: both architectures complete, each binary importing system DLLs only
#        and carrying the version, the documents, SHA256SUMS that verify, and
#        the packed x64 vesk_play.exe playing a short tune to a simulated
#        board under Wine from the unpacked folder;
#   deb: its version and Depends:, its files, installable here (apt, as a
#        simulation) and installed into a throw-away root (dpkg --root), from
#        which the installed test bed runs the installed vesk_play --list
#        against a simulated board.
# Exit 0 passed, 1 failed, 77 when a part cannot run here (said why).
#   tests/packaging/package_test.sh ZIP DEB
set -u
[ $# -eq 2 ] || { echo "usage: package_test.sh ZIP DEB" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
export PYTHONPATH="$repo/pylib${PYTHONPATH:+:$PYTHONPATH}"   # the tools' package (vesktools)
zip=$(readlink -f "$1") deb=$(readlink -f "$2")
version=$(sed -n 's/^project(vesk VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
work=$(mktemp -d /tmp/vesk-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0 skipped=
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# ---- the zip
unzip -q "$zip" -d "$work/zip" || { echo "FAIL: $zip cannot be unpacked"; exit 1; }
root=$work/zip/vesk-$version-windows
[ -d "$root" ] || fail "the zip does not hold vesk-$version-windows/"
for f in LICENSE user-guide.md user-guide.html SHA256SUMS examples/vesk_config.toml examples/scci2vesk.ini; do
    [ -s "$root/$f" ] || fail "zip: $f missing or empty"
done
(cd "$root" && sha256sum --quiet -c SHA256SUMS) && ok "zip: SHA256SUMS verify" || fail "zip: SHA256SUMS do not verify"
for arch in "x64 x86_64" "x86 i686"; do
    read -r dir triple <<< "$arch"
    files=()
    for f in vesk.dll scci2vesk.dll vesk_test.exe vesk_tray.exe vesk_play.exe; do
        if [ -f "$root/$dir/$f" ]; then files+=("$root/$dir/$f"); else fail "zip: $dir/$f missing"; fi
        product=$(strings -el "$root/$dir/$f" 2>/dev/null | grep -A1 -x ProductVersion | tail -n 1)
        [[ "$product" == "$version"* ]] || fail "zip: $dir/$f: product version '$product', expected $version"
    done
    if "$repo/tests/host/check_imports.sh" "$triple-w64-mingw32-objdump" "${files[@]}" > "$work/imports.txt"; then
        ok "zip: $dir: ${#files[@]} binaries, system DLLs only, versioned"
    else
        fail "zip: $dir: $(grep -v ': [A-Z]' "$work/imports.txt" | head -3)"
    fi
done

testbed=$repo/tools/testbed/testbed.sh
sim=$repo/build/linux/bin/vesk_sim
if ! why=$("$testbed" check 2>&1); then
    skipped="no test bed here ($why)"
elif [ ! -x "$sim" ]; then
    skipped="no simulator built ($sim)"
else
    python3 "$repo/scripts/make_demo_tune.py" "$work/tune.vgm" > /dev/null
    winpath() { echo "Z:${1//\//\\}"; }
    timeout 180 "$testbed" run --quiet --wine --sim "$sim" --config "$repo/tools/vesk_sim/examples/demo.toml" \
        --record "$work/zip-record.jsonl" -- "$root/x64/vesk_play.exe" --quiet --seconds 3 "$(winpath "$work/tune.vgm")" \
        > "$work/play.txt" 2>&1
    rc=$?
    # What the player says it wrote, against what the boards received (their
    # own silences at start-up come on top).
    played=$(tr -d '\r' < "$work/play.txt" | sed -n 's/^tune.vgm: .* \([0-9][0-9]*\) writes on .*/\1/p')
    received=$("$sim" --summary "$work/zip-record.jsonl" 2>/dev/null |
               awk '$1 == "write_reg" || $1 == "write_port" { n += $2 } END { print n + 0 }')
    if [ $rc -eq 77 ]; then
        skipped="Wine cannot run the packed vesk_play.exe here"
    elif [ $rc -ne 0 ] || [ -z "$played" ] || [ "$played" = 0 ] || [ "$received" -lt "$played" ]; then
        fail "zip: x64/vesk_play.exe (exit $rc) wrote ${played:-nothing}, the boards received $received: $(tail -3 "$work/play.txt")"
    else
        ok "zip: x64/vesk_play.exe played the tune from the unpacked folder: $played writes, $received received"
    fi
fi

# ---- the deb
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "deb: version $(dpkg-deb -f "$deb" Version), expected $version"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libgcc-s1 zlib1g; do
    [[ "$depends" == *"$lib"* ]] || fail "deb: Depends: lacks $lib ($depends)"
done
contents=$(dpkg-deb -c "$deb")
for f in usr/lib/vesk/libvesk.so usr/lib/vesk/vesk_play usr/lib/vesk/vesk_test usr/lib/vesk/vesk_sim \
         usr/lib/vesk/testbed/testbed.sh usr/bin/vesk_play usr/bin/vesk_testbed usr/include/vesk/vesk.h \
         usr/share/man/man1/vesk_play.1.gz usr/share/man/man1/vesk_sim.1.gz usr/share/doc/vesk/user-guide.md; do
    grep -q " \./$f\( \|$\)" <<< "$contents" || fail "deb: $f missing"
done
apt-get install -s "$deb" > "$work/apt.txt" 2>&1 && ok "deb: apt would install it here ($depends)" ||
    fail "deb: apt would not install it: $(tail -3 "$work/apt.txt")"
r=$work/root
mkdir -p "$r/var/lib/dpkg/info" "$r/var/lib/dpkg/updates" "$r/var/lib/dpkg/triggers"
touch "$r/var/lib/dpkg/status"
# The throw-away root holds only this package: its dependencies are the
# machine's own, so they are not looked for in it.
if dpkg --root="$r" --force-depends --force-script-chrootless -i "$deb" > "$work/dpkg.txt" 2>&1; then
    ok "deb: installed into a throw-away root"
    out=$(cd / && "$r/usr/bin/vesk_play" --version)
    [[ "$out" == *"library $r/usr/lib/vesk/libvesk.so $version"* ]] && ok "deb: vesk_play --version: $(echo $out)" ||
        fail "deb: vesk_play from /usr/bin does not find its library: $out"
    if [ -z "$skipped" ]; then
        out=$(cd / && timeout 120 "$r/usr/bin/vesk_testbed" run --quiet --topology one-board -- "$r/usr/bin/vesk_play" --list "$work/tune.vgm" 2>&1)
        [[ "$out" == *"1 board(s)"* ]] && ok "deb: the installed test bed and vesk_play --list: 1 board" ||
            fail "deb: vesk_play --list on the installed test bed: $(echo "$out" | tail -5)"
    fi
else
    fail "deb: dpkg --root failed: $(tail -3 "$work/dpkg.txt")"
fi

[ -n "$skipped" ] && echo "skipped: $skipped"
[ $failures -eq 0 ] || exit 1
[ -n "$skipped" ] && exit 77
exit 0
