#!/bin/bash
# The fuzz targets, run longer than `make test` runs them: each over its
# committed corpus, then FUZZ_SECONDS (default 45) of fuzzing. Prints a line
# per target (executions, coverage and features from libFuzzer's final
# stats, crashes) and the time taken; exits non-zero when a target crashed.
# New inputs stay in build/linux-fuzz/fuzz/<target>/new; a crashing input is
# saved beside it: mend the fault, then add the input to tests/fuzz/<target>/.
#   scripts/fuzz.sh [target...]   (default: every target; FUZZ_SECONDS=N)
set -uo pipefail
case "${1:-}" in
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
esac
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-45}

scripts/install-deps.sh || exit 1
cmake --preset linux-fuzz >/dev/null && cmake --build --preset linux-fuzz -j2 >/dev/null || {
    echo "linux-fuzz: build failed" >&2; exit 1; }

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for d in tests/fuzz/*/; do targets+=("$(basename "$d")"); done
fi
echo "=== fuzzing ${#targets[@]} targets, ${seconds} s each after their corpus"
start=$SECONDS
status=0
for t in "${targets[@]}"; do
  bash tests/fuzz/run_fuzz.sh "build/linux-fuzz/bin/fuzz_$t" "tests/fuzz/$t" "$seconds" "build/linux-fuzz/fuzz/$t" \
    || status=1
done
echo "=== $((SECONDS - start)) s"
exit $status
