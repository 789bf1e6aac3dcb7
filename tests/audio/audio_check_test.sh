#!/bin/bash
# The audio check judges what it should: the demo tune against copies of
# itself, made explicit as a board's recording is, intact, with timing
# errors a board may have, and damaged.
#   audio_check_test.sh VGM_RENDER
set -u
render=$1
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
export PYTHONPATH="$repo/pylib${PYTHONPATH:+:$PYTHONPATH}"   # the tools' package (vesktools)
command -v python3 >/dev/null || { echo "SKIP: python3 is missing"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

python3 "$repo/scripts/make_demo_tune.py" "$tmp/tune.vgm" >/dev/null || exit 1
failures=0
# name | expected | vgm_edit options
while IFS='|' read -r name expect opts; do
    [ -n "$name" ] || continue
    # shellcheck disable=SC2086
    python3 "$here/vgm_edit.py" "$tmp/tune.vgm" "$tmp/$name.vgm" $opts >/dev/null || { echo "$name: edit failed"; exit 1; }
    line=$("$render" --compare "$tmp/tune.vgm" "$tmp/$name.vgm" --seconds 8)
    rc=$?
    got=pass; [ $rc -eq 1 ] && got=fail; [ $rc -gt 1 ] && got="error $rc"
    if [ "$got" = "$expect" ]; then echo "ok   $name: $line"
    else echo "FAIL $name: expected $expect: $line"; failures=$((failures + 1)); fi
done <<'CASES'
explicit|pass|
one-sample jitter on 5% of the writes|pass|--jitter 1 0.05 1
writes of one second 3 ms late|fail|--shift 3 5.0 6.0
one DAC write of a snare left out|fail|--drop-dac-at 0.506
CASES
exit $((failures > 0))
