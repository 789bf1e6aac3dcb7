#!/bin/bash
# check_exports.sh <objdump> <scci2vesk.dll>
# The adapter imports Windows system DLLs only (never vesk.dll, which it
# loads at run time) and exports getSoundInterfaceManager undecorated.
set -u
objdump=$1 dll=$2
dump=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }
rc=0
allowed='^(kernel32|user32|gdi32|shell32|shlwapi|comctl32|ws2_32|iphlpapi|winmm|advapi32|ole32|msvcrt|api-ms-win-.*)\.dll$'
while read -r name; do
  lower=$(echo "$name" | tr 'A-Z' 'a-z')
  if ! [[ $lower =~ $allowed ]]; then echo "$(basename "$dll") imports $name"; rc=1; fi
done < <(echo "$dump" | sed -n 's/^\s*DLL Name: //p')
if ! echo "$dump" | grep -Eq '^\s*\[\s*[0-9]+\]\s+getSoundInterfaceManager$'; then
  echo "getSoundInterfaceManager is not exported undecorated"; rc=1
fi
echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p'
exit $rc
