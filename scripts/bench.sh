#!/bin/bash
# make bench: builds the benchmarks in the release presets (linux-release,
# win64-release, win32-release) and runs them, natively and the Windows
# builds under Wine (x86 where this kernel runs 32-bit programs), then prints
# one table: benchmark, platform, figures. Outputs stay in build/bench/.
#   scripts/bench.sh [seconds]   (how long each sustained stream runs, default 3)
# Figures, not pass/fail: exits non-zero only when a build fails.
set -uo pipefail
seconds=${1:-3}
case $seconds in
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *[!0-9.]*) echo "usage: scripts/bench.sh [seconds]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1
. cmake/wine-select.sh
vesk_wine_select || echo "Wine cannot run here: the Windows benchmarks will not run"

out=build/bench
mkdir -p "$out"
rm -f "$out"/*.txt "$out"/*.json
for p in linux-release win64-release win32-release; do
    echo "=== $p: configure and build"
    if ! cmake --preset "$p" > "$out/$p-build.log" 2>&1 || ! cmake --build --preset "$p" -j2 >> "$out/$p-build.log" 2>&1; then
        echo "build of $p failed; the end of $out/$p-build.log:"
        tail -20 "$out/$p-build.log"
        exit 1
    fi
done

# run <platform> <benchmark> <command...>: output to $out/<platform>.<benchmark>.txt
run() {
    local platform=$1 name=$2
    shift 2
    echo "=== $platform: $name"
    "$@" > "$out/$platform.$name.txt" 2> "$out/$platform.$name.err"
    local rc=$?
    [ $rc = 0 ] || echo "exit $rc" >> "$out/$platform.$name.txt"
}
bin=build/linux-release/bin
run linux-x64 push_bench "$bin/push_bench" --benchmark_out="$out/linux-x64.push_bench.json" \
    --benchmark_out_format=json
run linux-x64 transport_timing "$bin/transport_timing" "$seconds"
run linux-x64 chip_write_bench "$bin/chip_write_bench"
for arch in win64 win32; do
    bin=build/$arch-release/bin
    for b in transport_timing chip_write_bench; do
        exe=$bin/$b.exe
        if why=$(vesk_wine_runnable "$exe"); then
            args=()
            [ $b = transport_timing ] && args=("$seconds")
            run "$arch-wine" $b cmake/wine-run.sh "$exe" "${args[@]}"
        else
            echo "skipped: $why" > "$out/$arch-wine.$b.txt"
        fi
    done
    [ -d "build/$arch-release/wine" ] && WINEPREFIX="$PWD/build/$arch-release/wine" wineserver -k 2>/dev/null
done

echo
echo "=== benchmarks on $(uname -srm), $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
python3 scripts/bench_table.py "$out"
