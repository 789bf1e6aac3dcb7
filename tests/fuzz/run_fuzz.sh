#!/bin/bash
# Runs one libFuzzer target over its committed corpus (every input once),
# then fuzzes it for SECONDS more. New inputs go to a scratch folder under
# WORKDIR, never into the committed corpus; a crashing input is saved as
# WORKDIR/crash-* (or timeout-*, oom-*) and named. Prints one line:
#   <target>  <executions> execs  cov <n>  ft <n>  corpus <files>  crashes <0|1>
# and exits 1 on a crash, with the end of libFuzzer's log.
#   run_fuzz.sh BINARY CORPUS SECONDS WORKDIR
set -uo pipefail
if [ $# -ne 4 ]; then echo "usage: run_fuzz.sh BINARY CORPUS SECONDS WORKDIR" >&2; exit 2; fi
bin=$1 corpus=$2 seconds=$3 work=$4
name=$(basename "$bin")
rm -rf "$work/new"
mkdir -p "$work/new"
log=$work/log.txt

# Leaks count as crashes; an input running 90 s is a hang (the VGM reader
# accepts logs of up to 8 Mi writes, which take 10-20 s under ASan on a busy
# machine). UBSan's findings abort (-fno-sanitize-recover) with a stack.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
"$bin" -max_total_time="$seconds" -print_final_stats=1 -timeout=90 -rss_limit_mb=2048 \
    -artifact_prefix="$work/" "$work/new" "$corpus" >"$log" 2>&1
rc=$?

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
stats=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1)
cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$stats")
ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$stats")
files=$(find "$corpus" -type f | wc -l)
crashes=0
[ $rc -ne 0 ] && crashes=1
printf '%-20s %10s execs  cov %5s  ft %6s  corpus %3s  crashes %s\n' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" \
    "$files" "$crashes"
if [ $rc -ne 0 ]; then
  tail -40 "$log"
  ls "$work"/crash-* "$work"/timeout-* "$work"/oom-* "$work"/leak-* 2>/dev/null | sed 's/^/saved: /'
  exit 1
fi
