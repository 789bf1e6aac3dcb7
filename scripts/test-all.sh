#!/bin/bash
# The project's test command: installs what is missing, builds the native
# and both Windows configurations, and runs every suite (the Windows ones
# under Wine). Exits non-zero when any build or suite fails.
#   scripts/test-all.sh [preset...]   (default: linux linux-asan win64 win32)
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(linux linux-asan win64 win32)

scripts/install-deps.sh || exit 1

declare -A result
status=0
for p in "${presets[@]}"; do
  echo "=== $p: configure and build"
  start=$SECONDS
  if ! cmake --preset "$p" >/dev/null || ! cmake --build --preset "$p" -j2; then
    result[$p]="BUILD FAILED"; status=1; continue
  fi
  echo "=== $p: tests"
  if ctest --preset "$p" --timeout 300; then
    result[$p]="passed ($((SECONDS - start)) s)"
  else
    result[$p]="TESTS FAILED"; status=1
  fi
  # Persistent wineservers of this build end with the run.
  [ -d "build/$p/wine" ] && WINEPREFIX="$PWD/build/$p/wine" wineserver -k 2>/dev/null
done

echo
echo "=== summary"
for p in "${presets[@]}"; do printf '  %-12s %s\n' "$p" "${result[$p]}"; done
exit $status
