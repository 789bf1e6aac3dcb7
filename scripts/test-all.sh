#!/bin/bash
# The project's test command: installs what is missing, builds the native
# configuration, its two sanitizer builds (AddressSanitizer + UBSan,
# ThreadSanitizer) and both Windows configurations (benchmarks included, so
# they cannot rot; they are not run), and runs every suite (the Windows ones
# under Wine; x86 the suites where it can differ from x64), then makes the
# packages (make dist) and checks them.
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

# Each configuration is built before its suites run, never behind them: a
# build running behind the suites, even as idle work (SCHED_IDLE), stalled a
# player or the simulator beside it by 65-93 ms in two runs out of two (its
# disk writes, most likely: CPU priority did not help).
declare -A result
status=0
for p in "${presets[@]}"; do
  echo "=== $p: configure and build"
  start=$SECONDS
  if ! cmake --preset "$p" >/dev/null || ! cmake --build --preset "$p" -j2; then
    result[$p]="BUILD FAILED"; status=1; continue
  fi
  tests=$SECONDS
  echo "=== $p: tests"
  no32=
  if [ "$p" = win32 ] && [ "${VESK_WINE_MODE:-}" = win64 ]; then
    no32=$VESK_WINE_WHY
    echo "=== $p: $no32; its suites under Wine will be skipped"
  fi
  # ThreadSanitizer runs what exercises the library's threads; the reader,
  # simulator and test-bed suites start none and run natively and under ASan.
  which=()
  [ "$p" = linux-tsan ] && which=(-E '^(vgm_reader_test|sim_unit_test|testbed_topologies|tool_usage|bed_harness)$')
  # x86 runs what can differ from x64, and every suite runs under x64: the
  # unit suites (32-bit sizes and atomics), the records' layout and the
  # calling conventions as hosts see them (host_*), the imports and exports,
  # the SCCI host, and one play end to end.
  [ "$p" = win32 ] && which=(-R '^(platform_test|core_test|discovery_test|transport_protocol_test|transport_test|chips_test|scci_test|tray_unit_test|vgm_reader_test|host_cpp|host_c|windows_imports|scci_exports|scci_e2e|play_e2e)$')
  # Suites run two at a time, each test bed in namespaces of its own. Where
  # programs run slow or wake late (the sanitizer builds, Wine) the suites
  # that time the music run one at a time beside the others, and those that
  # play dense music alone (vesk_timed in tests/).
  if ctest --preset "$p" --timeout 300 -j2 "${which[@]}"; then
    if [ -n "$no32" ]; then
      result[$p]="built; suites skipped: $no32"
    else
      result[$p]="passed (build and tests $((SECONDS - start)) s; tests $((SECONDS - tests)) s)"
    fi
  else
    result[$p]="TESTS FAILED"; status=1
  fi
  # Persistent wineservers of this build end with the run.
  [ -d "build/$p/wine" ] && WINEPREFIX="$PWD/build/$p/wine" wineserver -k 2>/dev/null
done

# The packages, from the trees just built and tested.
if [[ " ${presets[*]} " == *" linux "* && " ${presets[*]} " == *" win64 "* && " ${presets[*]} " == *" win32 "* ]]; then
  presets+=(dist)
  start=$SECONDS
  echo "=== dist: make the packages and check them"
  if ! scripts/dist.sh; then
    result[dist]="PACKAGING FAILED"; status=1
  else
    tests/packaging/package_test.sh dist/vesk-*-windows.zip dist/vesk_*_amd64.deb
    case $? in
      0) result[dist]="passed ($((SECONDS - start)) s)" ;;
      77) result[dist]="passed, a part skipped ($((SECONDS - start)) s)" ;;
      *) result[dist]="TESTS FAILED"; status=1 ;;
    esac
  fi
fi

echo
echo "=== summary"
for p in "${presets[@]}"; do printf '  %-12s %s\n' "$p" "${result[$p]}"; done
exit $status
