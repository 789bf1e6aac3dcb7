#!/bin/bash
# How this machine runs Windows programs, decided once and shared by every
# script that starts Wine (wine-run.sh, the test bed, make demo, make test,
# make bench).
#
# Debian's wine and wineboot scripts start the 32-bit loader whenever wine32
# is installed. A kernel without 32-bit emulation (ia32_emulation=off)
# refuses it ("Exec format error"), so not even a prefix gets made, although
# the 64-bit loader runs 64-bit programs fine there. So the 32-bit loader is
# tried once: when it runs, nothing changes ("wow64"); when it does not
# ("win64"), wine, wineboot and wineserver are put first on PATH as wrappers
# that go through the 64-bit loader, and 32-bit programs are reported as not
# runnable here (exit 77) instead of attempted.
#
# Sourced by bash scripts:
#   . cmake/wine-select.sh && vesk_wine_select
#       exports VESK_WINE_MODE (wow64 | win64), VESK_WINE_WHY (why win64,
#       empty otherwise) and, for win64, PATH and WINELOADER. Children that
#       inherit VESK_WINE_MODE do not probe again.
#   vesk_wine_runnable <program.exe>   (after vesk_wine_select, whose
#       exports a $(...) subshell would lose)
#       returns 0 when the program can run here; 1 with the reason on
#       standard output when it cannot (a 32-bit program on a win64 machine).
# Run as a command:
#   wine-select.sh mode               "wow64", or "win64: <reason>"
#   wine-select.sh runnable <exe>     exit 0, or 77 with the reason
#   wine-select.sh --help
# Environment:
#   VESK_WINE_LOADER32  the 32-bit loader to try (default /usr/lib/wine/wine)
#   VESK_WINE_LOADER64  the 64-bit loader (default /usr/lib/wine/wine64)
#   VESK_WINE_NO32=1    test seam: behave as on a kernel without 32-bit
#                       support, whatever the 32-bit loader does

VESK_WINE_NO32_REASON="this kernel runs no 32-bit programs"

# Prints the machine of a PE file ("i386", "x64", "arm64", "other"), or
# nothing when the file is not a PE image.
vesk_pe_machine() {
    local f=$1 off sig m
    [ -f "$f" ] || return 0
    off=$(od -An -tu4 -j60 -N4 "$f" 2>/dev/null | tr -d ' ')
    [ -n "$off" ] || return 0
    sig=$(od -An -tx1 -j"$off" -N4 "$f" 2>/dev/null | tr -d ' ')
    [ "$sig" = 50450000 ] || return 0
    m=$(od -An -tx1 -j$((off + 4)) -N2 "$f" | tr -d ' ')
    case $m in
        4c01) echo i386 ;;
        6486) echo x64 ;;
        64aa) echo arm64 ;;
        *) echo other ;;
    esac
}

# Writes the wrappers of the win64 mode into a directory of their own and
# prints it. Made in a temporary directory and
# renamed, so concurrent callers never see half a wrapper.
vesk_wine_wrappers() {
    local loader64=$1 self key dir tmp
    self=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
    # Keyed by the loader, this file's path and its contents: a changed
    # script never finds the wrappers of an older one.
    key=$( (printf '%s\n%s\n' "$loader64" "$self"; cat "$self") | cksum | cut -d' ' -f1)
    dir=${TMPDIR:-/tmp}/vesk-wine64-$(id -u)-$key
    if ! [ -x "$dir/wine" ]; then
        tmp=$(mktemp -d "$dir.XXXXXX") || return 1
        cat > "$tmp/wine" <<EOF
#!/bin/bash
# wine where only 64-bit programs run: the 64-bit loader directly, and
# 32-bit programs refused with exit 77 (made by $self).
. "$self"
for a in "\$@"; do
    case \$a in -*) continue ;; esac
    p=\$a
    case \$p in [Zz]:\\\\*) p=\${p#??}; p=\${p//\\\\//} ;; esac
    if [ "\$(vesk_pe_machine "\$p")" = i386 ]; then
        echo "wine: \$a: a 32-bit Windows program; $VESK_WINE_NO32_REASON" >&2
        exit 77
    fi
    break
done
export WINELOADER="$loader64" WINEDEBUG=\${WINEDEBUG:-fixme-all}
exec "$loader64" "\$@"
EOF
        cat > "$tmp/wineboot" <<EOF
#!/bin/sh
exec "$dir/wine" wineboot.exe "\$@"
EOF
        # The server is a 64-bit program already; the wrapper only makes
        # sure the one beside the 64-bit loader is used, as Debian starts it.
        local server
        server=$(dirname "$loader64")/wineserver64
        [ -x "$server" ] || server=$(dirname "$loader64")/wineserver
        cat > "$tmp/wineserver" <<EOF
#!/bin/sh
exec "$server" -p0 "\$@"
EOF
        chmod 755 "$tmp"/*
        mv -T "$tmp" "$dir" 2>/dev/null || rm -rf "$tmp"
    fi
    echo "$dir"
}

# Decides once; see the top of this file.
vesk_wine_select() {
    if [ -n "${VESK_WINE_MODE:-}" ]; then return 0; fi
    local loader32=${VESK_WINE_LOADER32:-/usr/lib/wine/wine}
    local loader64=${VESK_WINE_LOADER64:-/usr/lib/wine/wine64}
    local out why=
    if [ "${VESK_WINE_NO32:-0}" = 1 ]; then
        why=$VESK_WINE_NO32_REASON
    elif ! [ -e "$loader32" ]; then
        why="no 32-bit Wine loader at $loader32 (wine32:i386)"
    elif ! out=$("$loader32" --version 2>&1 < /dev/null); then
        case $out in
            *"Exec format error"*) why=$VESK_WINE_NO32_REASON ;;
            *) why="the 32-bit Wine loader fails: $(head -1 <<< "$out")" ;;
        esac
    fi
    if [ -z "$why" ]; then
        export VESK_WINE_MODE=wow64 VESK_WINE_WHY=
        return 0
    fi
    export VESK_WINE_MODE=win64 VESK_WINE_WHY=$why
    if ! [ -x "$loader64" ]; then
        echo "wine-select: no 64-bit Wine loader at $loader64 either" >&2
        return 1
    fi
    local dir
    dir=$(vesk_wine_wrappers "$loader64") || return 1
    export PATH=$dir:$PATH WINELOADER=$loader64
}

vesk_wine_runnable() {
    vesk_wine_select || { echo "Wine cannot run here"; return 1; }
    if [ "$VESK_WINE_MODE" = win64 ] && [ "$(vesk_pe_machine "$1")" = i386 ]; then
        echo "$VESK_WINE_WHY"
        return 1
    fi
    return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    case "${1:-}" in
        mode)
            vesk_wine_select || exit 1
            if [ "$VESK_WINE_MODE" = win64 ]; then echo "win64: $VESK_WINE_WHY"; else echo wow64; fi ;;
        runnable)
            [ $# = 2 ] || { echo "usage: wine-select.sh runnable <program.exe>" >&2; exit 2; }
            why=$(vesk_wine_runnable "$2") || { echo "SKIP: $why"; exit 77; } ;;
        -h|--help)
            awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0" ;;
        *)
            echo "usage: wine-select.sh mode | runnable <program.exe> | --help" >&2
            exit 2 ;;
    esac
fi
