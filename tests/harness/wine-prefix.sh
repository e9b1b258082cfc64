#!/bin/bash
# wine-prefix.sh BUILD_DIR: creates the build tree's Wine prefix once and
# registers the stand-ins the tests bring.
set -euo pipefail
build=$1
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec 9>"$build/wineprefix.lock"
flock 9
if [ ! -f "$WINEPREFIX/.talir-ready-2" ]; then
  # Wine's services live on after wineboot: they must not inherit the lock.
  wineboot -i >/dev/null 2>&1 9>&-
  # A crash prints its backtrace and ends the process; a dialog under Xvfb
  # would wait for a click until the case's time-out.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 9>&-
  wineserver -w
  touch "$WINEPREFIX/.talir-ready-2"
fi
