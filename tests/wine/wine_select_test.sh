#!/bin/bash
# The choice of cmake/wine-select.sh, with the 32-bit loader replaced by a
# file the kernel refuses to run ("Exec format error"), as on a kernel
# booted with ia32_emulation=off; then with the real loader.
#   wine_select_test.sh <cmake dir> <x64 vesk_probe.exe> <x86 vesk_probe.exe>
set -u
cmake=$1 x64=$2 x86=$3
[ -f "$x64" ] || { echo "SKIP: no x64 program at $x64 (build the win64 preset first)"; exit 77; }
work=$(mktemp -d /tmp/vesk-wine-select.XXXXXX)
trap 'WINEPREFIX=$work/prefix wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# An ELF header for a machine the kernel cannot run.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000' > "$work/wine32"
chmod +x "$work/wine32"

# expect <name> <exit code> <output pattern> <command...>, in a fresh decision.
expect() {
    local name=$1 rc=$2 pattern=$3 out got
    shift 3
    out=$(env -u VESK_WINE_MODE -u VESK_WINE_WHY "$@" 2>&1 < /dev/null)
    got=$?
    echo "== $name: exit $got"
    [ "$got" = "$rc" ] || fail "$name: exit $got, expected $rc: $(tail -3 <<< "$out")"
    grep -q -- "$pattern" <<< "$out" || fail "$name: no '$pattern' in: $(tail -3 <<< "$out")"
}

no32=(VESK_WINE_LOADER32="$work/wine32")
expect "mode without 32-bit" 0 "^win64: this kernel runs no 32-bit programs" \
    "${no32[@]}" "$cmake/wine-select.sh" mode
# A prefix of its own, so that making one without the 32-bit loader is tried too.
expect "x64 program without 32-bit" 0 "usage: vesk_probe" \
    "${no32[@]}" VESK_WINEPREFIX="$work/prefix" "$cmake/wine-run.sh" "$x64" --help
[ -f "$work/prefix/system.reg" ] || fail "no prefix made at $work/prefix"
# Not attempted: it is refused before any prefix exists.
expect "x86 program without 32-bit" 77 "this kernel runs no 32-bit programs" \
    "${no32[@]}" VESK_WINEPREFIX="$work/prefix86" "$cmake/wine-run.sh" "$x86" --help
[ -e "$work/prefix86" ] && fail "a prefix was made for the refused x86 program"
# The wine command the scripts and the test bed's helpers call, by Windows path.
expect "wine wrapper, x86 by Windows path" 77 "a 32-bit Windows program" \
    "${no32[@]}" WINEPREFIX="$work/prefix86" bash -c \
    '. "$0/wine-select.sh" && vesk_wine_select && wine "Z:${1//\//\\}" --help' "$cmake" "$x86"
[ -e "$work/prefix86" ] && fail "wine made a prefix for the refused x86 program"
expect "the seam variable" 0 "^win64: this kernel runs no 32-bit programs" \
    VESK_WINE_NO32=1 "$cmake/wine-select.sh" mode

# The real loader: where it runs, nothing changes and x86 programs run.
if [ "$("$cmake/wine-select.sh" mode)" = wow64 ]; then
    expect "x86 program with 32-bit" 0 "usage: vesk_probe" "$cmake/wine-run.sh" "$x86" --help
else
    echo "== this machine runs no 32-bit programs: the real loader's case is the one above"
fi

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
