#!/bin/bash
# Runs a Windows program under Wine for the test suites.
#   wine-run.sh <program.exe> [args...]
# One Wine prefix per build directory (<build>/wine), made on first use
# without Mono/Gecko. A persistent wineserver keeps each run fast; it is
# warmed before first use, because ctest hangs on a cold persistent server.
# Programs get an Xvfb display of their own (message boxes, tray, dialogs).
# How Wine is started comes from wine-select.sh; a program this machine
# cannot run (32-bit on a kernel without 32-bit support) is not attempted:
# exit 77, which the suites register as a skip.
# Environment: VESK_WINEPREFIX overrides the prefix.
set -u
exe=$1; shift
. "$(dirname "${BASH_SOURCE[0]}")/wine-select.sh"
vesk_wine_select || exit 1
why=$(vesk_wine_runnable "$exe") || { echo "SKIP: $(basename "$exe"): $why"; exit 77; }
bindir=$(cd "$(dirname "$exe")" && pwd)
export WINEPREFIX=${VESK_WINEPREFIX:-$(dirname "$bindir")/wine}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEDEBUG=${WINEDEBUG:--all}

# The suites always get a display of their own, one per prefix, numbered from
# a hash of its path: an inherited DISPLAY may be a desktop the tests would
# click on, or name a server that is not there (then every window the tests
# make fails to open). A socket whose server has gone is replaced. Numbers
# from 1000 up: the test bed's displays (200-899) never collide with these.
n=$(( 1000 + $(printf '%s' "$WINEPREFIX" | cksum | cut -d' ' -f1) % 400 ))
export DISPLAY=:$n
xvfb_alive() {
  local pid
  [ -S "/tmp/.X11-unix/X$n" ] && pid=$(tr -d ' ' < "/tmp/.X$n-lock" 2>/dev/null) && kill -0 "$pid" 2>/dev/null
}
if ! xvfb_alive; then
  (flock 8
   if ! xvfb_alive; then
     rm -f "/tmp/.X11-unix/X$n" "/tmp/.X$n-lock"
     setsid Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 < /dev/null 8>&- &
     for _ in $(seq 100); do xvfb_alive && break; sleep 0.1; done
     xvfb_alive || echo "wine-run.sh: Xvfb did not start on :$n; windows will not open" >&2
   fi) 8>"/tmp/vesk-xvfb-$n.lock"
fi

mkdir -p "$(dirname "$WINEPREFIX")"
(flock 9
 if ! [ -f "$WINEPREFIX/.vesk-ready" ]; then
   wineboot -i >/dev/null 2>&1 < /dev/null 9>&-
   wineserver -w
   touch "$WINEPREFIX/.vesk-ready"
 fi
 # The server's socket lives under /tmp/wine-*/server-<dev>-<inode>/ (hex).
 server=$(printf 'server-%s-%x' "$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
 if ! compgen -G "/tmp/wine*/$server/socket" >/dev/null; then
   # The daemons must not inherit the lock descriptor, or they hold it forever.
   wineserver -p >/dev/null 2>&1 < /dev/null 9>&-
   wine cmd /c exit >/dev/null 2>&1 < /dev/null 9>&-
 fi) 9>"$WINEPREFIX.lock"

exec wine "$exe" "$@"
