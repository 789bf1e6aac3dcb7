#!/bin/bash
# check_imports.sh <objdump> <binary>...
# Every binary may import only Windows system DLLs (no MinGW runtime), and a
# DLL named vesk.dll must export getManager, getTimedWrites and getInitReport
# undecorated (hosts look them up by these names), except the stand-in of an
# older library (a vesk.dll in a folder named untimed), which must export
# only the first.
set -u
objdump=$1; shift
allowed='^(kernel32|user32|gdi32|shell32|shlwapi|comctl32|ws2_32|iphlpapi|winmm|advapi32|ole32|msvcrt|api-ms-win-.*)\.dll$'
rc=0
for f in "$@"; do
  dump=$("$objdump" -p "$f") || { echo "cannot read $f"; rc=1; continue; }
  while read -r dll; do
    lower=$(echo "$dll" | tr 'A-Z' 'a-z')
    if ! [[ $lower =~ $allowed ]]; then echo "$(basename "$f") imports $dll"; rc=1; fi
  done < <(echo "$dump" | sed -n 's/^\s*DLL Name: //p')
  if [ "$(basename "$f" | tr 'A-Z' 'a-z')" = vesk.dll ]; then
    for name in getManager getVeskVersion; do
      if ! echo "$dump" | grep -Eq "^\\s*\\[\\s*[0-9]+\\]\\s+$name\$"; then
        echo "$f does not export $name undecorated"; rc=1
      fi
    done
    timed=yes; [ "$(basename "$(dirname "$f")")" = untimed ] && timed=no
    for export in getTimedWrites getInitReport; do
      if echo "$dump" | grep -Eq "^\s*\[\s*[0-9]+\]\s+$export\$"; then found=yes; else found=no; fi
      if [ "$found" != "$timed" ]; then
        echo "$f: $export exported undecorated: $found, expected $timed"; rc=1
      fi
    done
  fi
  echo "$(basename "$f"): $(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')"
done
exit $rc
