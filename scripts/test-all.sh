#!/bin/bash
# The project's test command: installs what is missing, builds the native
# configuration, its two sanitizer builds (AddressSanitizer + UBSan,
# ThreadSanitizer) and both Windows configurations (benchmarks included, so
# they cannot rot; they are not run), and runs every suite (the Windows ones
# under Wine).
# Exits non-zero when any build or suite fails; suites that skip (no root,
# no 32-bit programs on this kernel) do not fail it.
# linux-fuzz builds the fuzz targets with clang and runs each over its
# corpus and briefly beyond (make fuzz runs them longer).
#   scripts/test-all.sh [preset...]   (default: linux linux-asan linux-tsan linux-fuzz win64 win32)
set -uo pipefail
case "${1:-}" in
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    -*) echo "usage: scripts/test-all.sh [preset...]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(linux linux-asan linux-tsan linux-fuzz win64 win32)

scripts/install-deps.sh || exit 1
# How Wine runs here is decided once for every suite (exported). Where the
# kernel runs no 32-bit programs, win32 is still built and its checks that
# need no Wine run; its suites under Wine report themselves skipped.
. cmake/wine-select.sh
vesk_wine_select || echo "Wine cannot run here: the Windows suites will fail"

declare -A result
status=0
for p in "${presets[@]}"; do
  echo "=== $p: configure and build"
  start=$SECONDS
  if ! cmake --preset "$p" >/dev/null || ! cmake --build --preset "$p" -j2; then
    result[$p]="BUILD FAILED"; status=1; continue
  fi
  echo "=== $p: tests"
  no32=
  if [ "$p" = win32 ] && [ "${VESK_WINE_MODE:-}" = win64 ]; then
    no32=$VESK_WINE_WHY
    echo "=== $p: $no32; its suites under Wine will be skipped"
  fi
  # ThreadSanitizer runs what exercises the library's threads; the reader,
  # simulator and test-bed suites start none and run natively and under ASan.
  skip=()
  [ "$p" = linux-tsan ] && skip=(-E '^(vgm_reader_test|sim_unit_test|testbed_topologies|tool_usage|bed_harness)$')
  if ctest --preset "$p" --timeout 300 "${skip[@]}"; then
    if [ -n "$no32" ]; then
      result[$p]="built; suites skipped: $no32"
    else
      result[$p]="passed ($((SECONDS - start)) s)"
    fi
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
