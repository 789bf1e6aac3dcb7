#!/bin/bash
# Installs whatever the build and the test suites need and is missing, from
# Debian's archive. Safe to run again: it does nothing when all is there.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

pkgs=(build-essential cmake ninja-build pkg-config
      g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
      zlib1g-dev libz-mingw-w64-dev
      libtoml11-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
      wine wine64 xvfb xauth x11-utils xdotool imagemagick iproute2 procps python3
      fonts-ipafont-gothic fontconfig)
# Packages (make dist): man pages from --help, the .deb's dependencies.
pkgs+=(help2man dpkg-dev)
# VGM rendering for the audio checks and the demo's pictures.
pkgs+=(libgme-dev sox)
# The user guide as HTML (scripts/render_guide.py).
pkgs+=(python3-markdown)
# The fuzz targets: clang, its libFuzzer and sanitizer runtimes (libclang-rt
# is only recommended by clang), and llvm-symbolizer for readable crash stacks.
pkgs+=(clang libclang-rt-14-dev llvm-14)
for p in "${pkgs[@]}"; do have "$p" || need+=("$p"); done
# 32-bit Wine for the x86 suite.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need+=(wine32:i386)
elif ! have wine32:i386; then
  need+=(wine32:i386)
fi

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${need[*]}; run this script as root (sudo $0)" >&2
  exit 1
fi
echo "installing: ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
