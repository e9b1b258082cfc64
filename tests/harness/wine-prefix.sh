#!/bin/bash
# wine-prefix.sh BUILD_DIR [PREFIX]: creates the build tree's Wine prefix
# (or another, PREFIX: a second user of the machine) once and registers the
# stand-ins the tests bring.
set -euo pipefail
build=$1
export WINEPREFIX=${2:-$build/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/.talir-ready-3" ]; then
  # Wine's services live on after wineboot: they must not inherit the lock.
  wineboot -i >/dev/null 2>&1 9>&-
  # A crash prints its backtrace and ends the process; a dialog under Xvfb
  # would wait for a click until the case's time-out.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 9>&-
  # Wine's own netsh and schtasks are builtins: the stand-ins below take
  # their place only when Wine is told to prefer a native program.
  for tool in netsh schtasks; do wine reg add 'HKCU\Software\Wine\DllOverrides' /v $tool.exe /d native /f; done \
    >/dev/null 2>&1 9>&-
  wineserver -w
  touch "$WINEPREFIX/.talir-ready-3"
fi
# The tools' stand-in where Windows keeps the tools, and nowhere else: the
# library must find them there. Also back in place after a case that moved
# one aside and died.
standin=$build/bin/standins/talir_standin.exe system=$WINEPREFIX/drive_c/windows/system32
for tool in route netsh schtasks; do
  [ ! -f "$standin" ] || cmp -s "$standin" "$system/$tool.exe" ||
    { cp "$standin" "$system/$tool.exe.new" && mv -f "$system/$tool.exe.new" "$system/$tool.exe"; }
done
