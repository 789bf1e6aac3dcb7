#!/bin/bash
# make dist: the packages, in dist/:
#   vesk-<version>-windows.zip  x64/ and x86/ (library, adapter, programs),
#                               the user guide, examples, licence, SHA256SUMS
#   vesk_<version>_amd64.deb    for Linux hosts
# Builds what the packages hold from the linux, win64 and win32 presets (the
# trees the test command builds; what is built already is not built again).
#   scripts/dist.sh
set -euo pipefail
case "${1:-}" in
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    "") ;;
    *) echo "usage: scripts/dist.sh" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build() {  # preset [cmake options...] -- targets...
    local preset=$1; shift
    local opts=()
    while [ "$1" != -- ]; do opts+=("$1"); shift; done
    shift
    cmake --preset "$preset" "${opts[@]}" > /dev/null
    cmake --build "build/$preset" -j2 --target "$@"
}
windows=(vesk scci2vesk vesk_test vesk_tray vesk_play)
build linux -- vesk vesk_play vesk_test vesk_sim
build win32 -- "${windows[@]}"
build win64 "-DVESK_DIST_X86=$PWD/build/win32/bin" -- "${windows[@]}"
rm -rf dist && mkdir -p dist
for p in linux win64; do
    rm -rf "build/$p/dist"
    (cd "build/$p" && cpack > cpack.log) || { tail -20 "build/$p/cpack.log"; exit 1; }
    cp build/$p/dist/vesk[-_]* dist/
done
echo "packages:"
ls -l dist/
