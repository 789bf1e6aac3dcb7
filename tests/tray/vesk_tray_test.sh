#!/bin/bash
# vesk_tray under Wine in the test bed: with the library it shows its box
# and, however the box is dismissed, releases the library and exits 0;
# without the library, or without its export, it shows its error box and
# exits with -1 (255).
#   vesk_tray_test.sh <testbed.sh> <vesk_sim> <config> <vesk_tray.exe> <vesk.dll> <box_dismisser.exe> <other.dll>
set -u
testbed=$1 sim=$2 config=$3 tray=$4 dll=$5 dismisser=$6 other=$7
[ -x "$sim" ] || { echo "SKIP: no native vesk_sim at $sim"; exit 77; }
work=$(mktemp -d /tmp/vesk-tray-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail=0
run() {  # <case> <expected rc> <expected box line> <file to use as vesk.dll, or ""> [ok|close|esc]
    local dir=$work/$1
    mkdir -p "$dir"
    cp "$tray" "$dismisser" "$dir/"
    [ -n "$4" ] && cp "$4" "$dir/vesk.dll"
    local log="Z:${dir//\//\\}\\boxes.txt"
    "$testbed" run --quiet --sim "$sim" --config "$config" --wine \
        --alongside "wine $dir/$(basename "$dismisser") '$log' ${5:-ok}" -- "$dir/$(basename "$tray")"
    local rc=$?
    [ $rc -eq 77 ] && exit 77
    local boxes
    boxes=$(cat "$dir/boxes.txt" 2>/dev/null)
    if [ $rc -ne "$2" ] || [ "$boxes" != "$3" ]; then
        echo "FAILED: $1: exit $rc (expected $2), boxes [$boxes] (expected [$3])"
        fail=1
    else
        echo "$1: exit $rc, box [$boxes]"
    fi
}
box=$'Message\tタスクトレイにアイコンを表示しています。OK で終了します'
for how in ok close esc; do run "dismissed-$how" 0 "$box" "$dll" "$how"; done
run without-library 255 $'DLL loading error\tDLL load error' ""
# Another DLL under the library's name: no getManager in it.
run without-export 255 $'error\tgetManager 取得ミス' "$other"
exit $fail
